#include "support/testmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimeZone>
#include <QtGui/private/qzipreader_p.h>

#include <ctime>
#include <memory>
#include <thread>

#include "core/appsettings.h"
#include "core/identity.h"
#include "reports/icrashevents.h"
#include "reports/idriverlist.h"
#include "reports/infoharvester.h"
#include "reports/journalcrashevents.h"
#include "reports/kernelmodulelist.h"

namespace {

QByteArray crashXml(const QString& systemTime)
{
    const QString time = systemTime.isEmpty()
        ? QString()
        : QStringLiteral("<TimeCreated SystemTime=\"%1\"/>").arg(systemTime);
    return QStringLiteral("<Event><System>%1</System><EventData><Data>%2</Data></EventData></Event>")
        .arg(time, systemTime)
        .toUtf8();
}

struct FakeCrashEvents : ICrashEvents
{
    QList<QByteArray> events;
    bool ok = true;
    QString askedFor;
    bool query(const QString& executableName, QList<QByteArray>& out, QString& error) override
    {
        askedFor = executableName;
        out = events;
        if (!ok)
            error = QStringLiteral("no journal");
        return ok;
    }
};

// A driver list that may hold the report job until it is released.
struct FakeDriverList : IDriverList
{
    QByteArray csv = "\"Module Name\",\"Size\"\r\n\"loop\",\"32768\"\r\n";
    bool ok = true;
    bool hold = false;
    QSemaphore started;
    QSemaphore release;
    bool query(QByteArray& out, QString& error) override
    {
        started.release();
        if (hold)
            release.acquire();
        out = csv;
        if (!ok)
            error = QStringLiteral("refused");
        return ok;
    }
};

QStringList entriesOf(const QString& path)
{
    QZipReader zip(path);
    QStringList names;
    for (const QZipReader::FileInfo& info : zip.fileInfoList())
        names << info.filePath;
    return names;
}

QByteArray entryOf(const QString& path, const QString& name)
{
    return QZipReader(path).fileData(name);
}

QString writeFile(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return {};
    return path;
}

} // namespace

class TestInfoHarvester : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<AppSettings> m_settings;
    QTemporaryDir m_dir;
    std::shared_ptr<FakeCrashEvents> m_crashes;
    std::shared_ptr<FakeDriverList> m_drivers;

    // A harvester whose crash events and driver list are the fakes.
    std::unique_ptr<InfoHarvester> harvester()
    {
        m_crashes = std::make_shared<FakeCrashEvents>();
        m_drivers = std::make_shared<FakeDriverList>();
        auto h = std::make_unique<InfoHarvester>();
        h->setCrashEvents(m_crashes);
        h->setDriverList(m_drivers, 20000);
        h->setBugReportPrefix(QStringLiteral("BugReport_"));
        h->setSizeLimitMb(10);
        h->setDecimalKilo(1000);
        return h;
    }

    static QString commitAndWait(InfoHarvester& h)
    {
        QSignalSpy spy(&h, &InfoHarvester::newReport);
        h.commit();
        if (!spy.wait(20000))
            return {};
        return spy.first().first().toUrl().toLocalFile();
    }

private slots:
    void initTestCase()
    {
        ostra::applyIdentity();
        m_settings = std::make_unique<AppSettings>();
    }

    void archiveHoldsEverythingInOrder()
    {
        for (const QString& database : { AppSettings::sessionDatabase(), AppSettings::recipesDatabase(),
                 AppSettings::historyDatabase(), AppSettings::hasBeenDatabase() })
            QVERIFY(!writeFile(database, 100).isEmpty());
        const QString attached = writeFile(m_dir.filePath(QStringLiteral("notes.txt")), 1000);

        QQmlEngine engine;
        QQuickWindow window;
        window.resize(64, 48);
        window.setColor(Qt::red);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto h = harvester();
        QQmlEngine::setContextForObject(h.get(), engine.rootContext());
        m_crashes->events = { crashXml("2024-01-15T10:20:30.123Z"), crashXml("2024-01-15T10:20:30.999Z"),
            crashXml(QString()), crashXml("2023-12-31T23:59:59.000Z") };
        h->setNeedScrShot(true);
        h->setNeedAppData(true);
        h->setUserFile(QUrl::fromLocalFile(attached));
        h->setScreen(window.contentItem());
        h->addFeedback(QStringLiteral("contact"), QStringLiteral("a@b.example"));
        h->addFeedback(QStringLiteral("category"), QStringLiteral("Design"));
        h->addFeedback(QStringLiteral("summary"), QStringLiteral("Too dark"));

        // Two grabs under one name keep the newer one.
        const QUrl first = h->captureWindow(window.contentItem(), QStringLiteral("shot"));
        const QUrl second = h->captureWindow(window.contentItem(), QStringLiteral("shot"));
        QVERIFY(first != second);
        QCOMPARE(first.scheme(), QStringLiteral("image"));
        QQuickImageProvider* provider = static_cast<QQuickImageProvider*>(engine.imageProvider("shot"));
        QSize size;
        QVERIFY(!provider->requestImage(first.path().mid(1), &size, QSize()).isNull());
        window.setColor(Qt::blue);
        QTest::qWait(50);
        QVERIFY(!provider->requestImage(second.path().mid(1), &size, QSize()).isNull());
        QCOMPARE(size, window.size() * window.devicePixelRatio());

        const QString path = commitAndWait(*h);
        QVERIFY(!path.isEmpty());
        QVERIFY(QFileInfo(path).fileName().startsWith(QLatin1String("BugReport_")));
        QCOMPARE(m_crashes->askedFor, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
        const QStringList entries = entriesOf(path);
        QCOMPARE(entries.size(), 13);
        QCOMPARE(entries.mid(0, 2), (QStringList { "CommonInfo.json", "UserFeedback.json" }));
        QVERIFY(entries.at(2).startsWith("UserFeedback_") && entries.at(2).endsWith(".txt"));
        QCOMPARE(entries.mid(3),
            (QStringList { "hardware.csv", "Crash.0.xml", "Crash.20231231T235959+0000.xml",
                "Crash.20240115T102030+0000.xml", "notes.txt", "Ostra.1.db", "Trans.1.db", "MetaH.1.db",
                "Uuids.1.db", "shot.png" }));
        QCOMPARE(entryOf(path, "hardware.csv"), m_drivers->csv);
        QCOMPARE(entryOf(path, "Crash.20240115T102030+0000.xml"), m_crashes->events.at(1));
        QCOMPARE(entryOf(path, "notes.txt").size(), 1000);
        QImage shot = QImage::fromData(entryOf(path, "shot.png"), "PNG");
        QCOMPARE(shot.pixelColor(5, 5), QColor(Qt::blue));

        const QStringList lines = QString::fromUtf8(entryOf(path, entries.at(2))).split('\n');
        QCOMPARE(lines.size(), 11);
        QCOMPARE(lines.mid(0, 3), (QStringList { "a@b.example", "design", "Too dark" }));
        QCOMPARE(lines.at(9), "Report ID: " + QFileInfo(path).completeBaseName());
        QCOMPARE(lines.at(10), QString());

        const QJsonObject common = QJsonDocument::fromJson(entryOf(path, "CommonInfo.json")).object();
        for (const char* key : { "sysInfo", "envVars", "storage", "guiInfo", "userCfg" })
            QVERIFY2(common.contains(QLatin1String(key)), key);
        QVERIFY(!common["guiInfo"]["screens"].toArray().isEmpty());
        QVERIFY(common["userCfg"].toObject().contains("SessionDatabase"));
    }

    void feedbackStampAndLines_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("Berlin") << QByteArray("Europe/Berlin");
        QTest::newRow("UTC") << QByteArray("UTC");
    }

    void feedbackStampAndLines()
    {
        QFETCH(QByteArray, zone);
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
        auto h = harvester();
        const QString path = commitAndWait(*h);
        qputenv("TZ", saved);
        tzset();
        const int offset = QTimeZone(zone).offsetFromUtc(QDateTime::currentDateTime()) / 60;
        const QString expected = QString::asprintf(
            "%c%02d%02d.txt", offset < 0 ? '-' : '+', qAbs(offset) / 60, qAbs(offset) % 60);
        const QString text = entriesOf(path).value(2);
        QVERIFY2(text.endsWith(expected), qPrintable(text));
        // No feedback: the first three lines are empty, ten lines in all.
        const QStringList lines = QString::fromUtf8(entryOf(path, text)).split('\n');
        QCOMPARE(lines.size(), 11);
        QCOMPARE(lines.mid(0, 3), (QStringList { "", "", "" }));
        QVERIFY(lines.at(3).startsWith("Build number: "));
    }

    void secretsStayOutOfTheEnvironment()
    {
        qputenv("OSTRA_API_TOKEN", "tok-123");
        qputenv("db_password", "pw-456");
        qputenv("OSTRA_PLAIN", "visible");
        auto h = harvester();
        const QString path = commitAndWait(*h);
        const QByteArray json = entryOf(path, "CommonInfo.json");
        QVERIFY(!json.contains("tok-123") && !json.contains("pw-456"));
        const QJsonObject env = QJsonDocument::fromJson(json).object()["envVars"].toObject();
        QCOMPARE(env["OSTRA_API_TOKEN"].toString(), "(hidden)");
        QCOMPARE(env["db_password"].toString(), "(hidden)");
        QCOMPARE(env["OSTRA_PLAIN"].toString(), "visible");
    }

    void sizeLimit_data()
    {
        QTest::addColumn<int>("limitMb");
        QTest::addColumn<int>("kilo");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("reported"); // -1: accepted
        QTest::newRow("at the limit") << 10 << 1000 << 10000000LL << -1;
        QTest::newRow("one byte over") << 10 << 1000 << 10000001LL << 10;
        QTest::newRow("binary megabytes") << 10 << 1024 << 10485761LL << 10;
        QTest::newRow("zero kilo counts as 1000") << 10 << 0 << 10000001LL << 10;
        QTest::newRow("limit past 32 bits") << 3000 << 1000 << 10000001LL << -1;
    }

    void sizeLimit()
    {
        QFETCH(int, limitMb);
        QFETCH(int, kilo);
        QFETCH(qint64, size);
        QFETCH(int, reported);
        const QString path = writeFile(m_dir.filePath(QStringLiteral("big.bin")), size);
        auto h = harvester();
        h->setSizeLimitMb(limitMb);
        h->setDecimalKilo(kilo);
        QSignalSpy oversized(h.get(), &InfoHarvester::notifyOversized);
        h->setUserFile(QUrl::fromLocalFile(path));
        h->addUserFile(QFileInfo(path));
        if (reported < 0) {
            QCOMPARE(h->files(), (QStringList { "big.bin", "big.bin" }));
            QVERIFY(oversized.isEmpty());
        } else {
            QVERIFY(!h->hasFiles());
            QCOMPARE(oversized.count(), 2);
            QCOMPARE(oversized.first(), (QVariantList { "big.bin", reported, limitMb }));
        }
    }

    void vrxBringsItsStateFile()
    {
        const QString vrx = writeFile(m_dir.filePath(QStringLiteral("pic.vrx")), 10);
        QVERIFY(!writeFile(m_dir.filePath(QStringLiteral("pic.vrxs")), 5).isEmpty());
        auto h = harvester();
        h->setUserFile(QUrl::fromLocalFile(vrx));
        QCOMPARE(h->files(), QStringList { "pic.vrx" });
        h->setAddVrxState(true);
        h->setUserFile(QUrl::fromLocalFile(vrx));
        QCOMPARE(h->files(), (QStringList { "pic.vrx", "pic.vrxs" }));
        const QStringList entries = entriesOf(commitAndWait(*h));
        QVERIFY(entries.contains("pic.vrx") && entries.contains("pic.vrxs"));
        h->setNeedAddenda(false);
        QVERIFY(!h->hasFiles());
    }

    void failingSourcesLeaveTheirEntriesOut_data()
    {
        QTest::addColumn<bool>("crashesFail");
        QTest::addColumn<bool>("driversFail");
        QTest::addColumn<bool>("driversHang");
        QTest::newRow("crash events fail") << true << false << false;
        QTest::newRow("driver list fails") << false << true << false;
        QTest::newRow("driver list times out") << false << false << true;
    }

    void failingSourcesLeaveTheirEntriesOut()
    {
        QFETCH(bool, crashesFail);
        QFETCH(bool, driversFail);
        QFETCH(bool, driversHang);
        auto h = harvester();
        m_crashes->events = { crashXml("2024-01-15T10:20:30.123Z") };
        m_crashes->ok = !crashesFail;
        m_drivers->ok = !driversFail;
        m_drivers->hold = driversHang;
        h->setDriverList(m_drivers, 200);
        const QStringList entries = entriesOf(commitAndWait(*h));
        m_drivers->release.release();
        QCOMPARE(entries.contains("hardware.csv"), !driversFail && !driversHang);
        // Events read before a failure still count.
        QVERIFY(entries.contains("Crash.20240115T102030+0000.xml"));
        QVERIFY(m_drivers->started.tryAcquire(1, 5000));
    }

    void commitOnAPoolOfOneThread()
    {
        QThreadPool* pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        pool->setMaxThreadCount(1);
        QQmlEngine engine;
        QQuickWindow window;
        window.resize(32, 32);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto h = harvester();
        QQmlEngine::setContextForObject(h.get(), engine.rootContext());
        h->setNeedScrShot(true);
        for (const QString& name : { QStringLiteral("one"), QStringLiteral("two") }) {
            const QUrl url = h->captureWindow(window.contentItem(), name);
            QSize size;
            static_cast<QQuickImageProvider*>(engine.imageProvider(name))
                ->requestImage(url.path(), &size, {});
        }
        const QString first = commitAndWait(*h);
        const QString second = commitAndWait(*h);
        pool->setMaxThreadCount(threads);
        QVERIFY(entriesOf(first).contains("one.png") && entriesOf(first).contains("two.png"));
        QVERIFY(!second.isEmpty() && second != first);
        // The screenshots went with the first report.
        QVERIFY(!entriesOf(second).contains("one.png"));
    }

    void secondCommitHasOnlyNewFeedback()
    {
        auto h = harvester();
        QSignalSpy spy(h.get(), &InfoHarvester::newReport);
        h->addFeedback(QStringLiteral("summary"), QStringLiteral("first"));
        h->commit();
        h->addFeedback(QStringLiteral("contact"), QStringLiteral("later"));
        h->commit();
        QTRY_COMPARE(spy.count(), 2);
        QMap<QString, QVariantMap> byFirstKey;
        for (const QList<QVariant>& report : spy) {
            const QString path = report.first().toUrl().toLocalFile();
            const QVariantMap feedback
                = QJsonDocument::fromJson(entryOf(path, "UserFeedback.json")).object().toVariantMap();
            QCOMPARE(feedback.value("reportKey").toString(), QFileInfo(path).completeBaseName());
            byFirstKey.insert(feedback.contains("summary") ? "first" : "second", feedback);
        }
        QCOMPARE(byFirstKey.keys(), (QStringList { "first", "second" }));
        QCOMPARE(byFirstKey["first"].size(), 8);
        QCOMPARE(byFirstKey["second"].size(), 8);
        QCOMPARE(byFirstKey["second"].value("contact").toString(), "later");
        QVERIFY(!byFirstKey["first"].contains("contact"));
        QCOMPARE(byFirstKey["second"].value("installId").toString(),
            AppSettings::installationUid().toString(QUuid::WithoutBraces));
    }

    void destructorWaitsForRunningJobs()
    {
        auto h = harvester();
        m_drivers->hold = true;
        const QDir folder = h->reportFolder();
        const QStringList before = folder.entryList({ "*.zip" }, QDir::Files);
        h->commit();
        QVERIFY(m_drivers->started.tryAcquire(1, 5000));
        std::thread releaser([drivers = m_drivers] {
            QThread::msleep(300);
            drivers->release.release();
        });
        h.reset();
        releaser.join();
        const QStringList after = folder.entryList({ "*.zip" }, QDir::Files);
        QCOMPARE(after.size(), before.size() + 1);
        for (const QString& name : after) {
            if (!before.contains(name))
                QVERIFY(entriesOf(folder.filePath(name)).contains("hardware.csv"));
        }
    }

    void listReportsAnnouncesArchives()
    {
        auto h = harvester();
        const int count = h->reportFolder().entryList({ "BugReport_*.zip" }, QDir::Files).size();
        QVERIFY(count > 0);
        QSignalSpy spy(h.get(), &InfoHarvester::newReport);
        h->listReports();
        QCOMPARE(spy.count(), count);
    }

    void captureWithoutEngineIsRefused()
    {
        auto h = harvester();
        QQuickWindow window;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Can't capture the window"));
        QVERIFY(h->captureWindow(window.contentItem(), QStringLiteral("shot")).isEmpty());
    }

    void journalEntriesBecomeEvents()
    {
        const QByteArray lines
            = "{\"COREDUMP_EXE\":\"/opt/ostra/ostra\",\"__REALTIME_TIMESTAMP\":\"1705314030123456\","
              "\"COREDUMP_SIGNAL_NAME\":\"SIGSEGV\",\"MESSAGE\":[60,98,62]}\n"
              "{\"COREDUMP_EXE\":\"/usr/bin/other\",\"__REALTIME_TIMESTAMP\":\"1705314030123456\"}\n"
              "not json\n";
        QFile json(m_dir.filePath(QStringLiteral("journal.json")));
        QVERIFY(json.open(QIODevice::WriteOnly) && json.write(lines) == lines.size());
        json.close();
        const auto script = [this](const QString& name, const QString& body) {
            QFile file(m_dir.filePath(name));
            file.open(QIODevice::WriteOnly);
            file.write("#!/bin/sh\n" + body.toUtf8() + '\n');
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            return file.fileName();
        };
        QList<QByteArray> events;
        QString error;
        JournalCrashEvents good(script("good.sh", "cat '" + json.fileName() + "'"));
        QVERIFY(good.query(QStringLiteral("ostra"), events, error));
        QCOMPARE(events.size(), 1);
        QVERIFY(events.first().contains("SystemTime=\"2024-01-15T10:20:30.123Z\""));
        QVERIFY(events.first().contains("&lt;b&gt;") && events.first().contains("SIGSEGV"));

        JournalCrashEvents failing(script("fail.sh", "exit 1"));
        QVERIFY(!failing.query(QStringLiteral("ostra"), events, error));
        JournalCrashEvents slow(script("slow.sh", "exec sleep 10"), 300);
        QVERIFY(!slow.query(QStringLiteral("ostra"), events, error));
        QCOMPARE(error, QStringLiteral("journalctl timed out"));
        JournalCrashEvents missing(m_dir.filePath(QStringLiteral("no-such-tool")));
        QVERIFY(!missing.query(QStringLiteral("ostra"), events, error));
    }

    void kernelModulesBecomeCsv()
    {
        QFile modules(m_dir.filePath(QStringLiteral("modules")));
        QVERIFY(modules.open(QIODevice::WriteOnly));
        modules.write("loop 32768 0 - Live 0x0000000000000000\n"
                      "nf_nat 49152 2 nft_chain_nat,xt_MASQUERADE, Live 0x0000000000000000\n");
        modules.close();
        QByteArray csv;
        QString error;
        QVERIFY(KernelModuleList(modules.fileName()).query(csv, error));
        QCOMPARE(csv,
            QByteArray("\"Module Name\",\"Size\",\"Instances\",\"Used By\",\"State\",\"Address\"\r\n"
                       "\"loop\",\"32768\",\"0\",\"\",\"Live\",\"0x0000000000000000\"\r\n"
                       "\"nf_nat\",\"49152\",\"2\",\"nft_chain_nat,xt_MASQUERADE\",\"Live\","
                       "\"0x0000000000000000\"\r\n"));
        QVERIFY(!KernelModuleList(m_dir.filePath(QStringLiteral("none"))).query(csv, error));
        QVERIFY(!error.isEmpty());
    }
};

OSTRA_TEST_MAIN(TestInfoHarvester)
#include "tst_infoharvester.moc"
