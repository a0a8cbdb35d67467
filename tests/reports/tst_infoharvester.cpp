#include "support/testmain.h"

#include <QJsonDocument>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtGui/private/qzipreader_p.h>

#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/appsettings.h"
#include "core/identity.h"
#include "reports/icrashevents.h"
#include "reports/idriverlist.h"
#include "reports/infoharvester.h"
#include "reports/journalcrashevents.h"
#include "support/heldopens.h"
#include "support/rescuewatchdog.h"

namespace {

QByteArray crashXml(const QString& time)
{
    return QStringLiteral("<Event><System><TimeCreated SystemTime=\"%1\"/></System></Event>")
        .arg(time)
        .toUtf8();
}

struct FakeCrashEvents : ICrashEvents
{
    QList<QByteArray> events;
    bool ok = true;
    bool query(const QString&, QList<QByteArray>& out, QString& error) override
    {
        out = events;
        error = ok ? QString() : QStringLiteral("no journal");
        return ok;
    }
};

// A driver list that may hold the report job until it is released.
struct FakeDriverList : IDriverList
{
    QByteArray csv = "\"Module Name\"\r\n\"loop\"\r\n";
    bool ok = true;
    bool hold = false;
    QSemaphore started, release;
    bool query(QByteArray& out, QString& error) override
    {
        started.release();
        if (hold)
            release.acquire();
        out = csv;
        error = ok ? QString() : QStringLiteral("refused");
        return ok;
    }
};

QStringList entriesOf(const QString& path)
{
    QStringList names;
    for (const QZipReader::FileInfo& info : QZipReader(path).fileInfoList())
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
    return file.open(QIODevice::WriteOnly) && file.resize(size) ? path : QString();
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
    QQmlEngine m_engine;
    QQuickWindow m_window;

    // A harvester in the QML engine whose crash events and driver list are the fakes.
    std::unique_ptr<InfoHarvester> harvester()
    {
        m_crashes = std::make_shared<FakeCrashEvents>();
        m_drivers = std::make_shared<FakeDriverList>();
        auto h = std::make_unique<InfoHarvester>();
        QQmlEngine::setContextForObject(h.get(), m_engine.rootContext());
        h->setCrashEvents(m_crashes);
        h->setDriverList(m_drivers, 20000);
        h->setBugReportPrefix(QStringLiteral("BugReport_"));
        h->setDecimalKilo(1000);
        return h;
    }

    // Fetches a screenshot URL as an Image element would.
    QImage fetch(const QUrl& url)
    {
        QSize size;
        auto* provider = static_cast<QQuickImageProvider*>(m_engine.imageProvider(url.host()));
        return provider ? provider->requestImage(url.path().mid(1), &size, QSize()) : QImage();
    }

    static QString commitAndWait(InfoHarvester& h)
    {
        QSignalSpy spy(&h, &InfoHarvester::newReport);
        h.commit();
        return spy.wait(20000) ? spy.first().first().toUrl().toLocalFile() : QString();
    }

private slots:
    void initTestCase()
    {
        ostra::applyIdentity();
        m_settings = std::make_unique<AppSettings>();
        m_window.resize(64, 48);
        m_window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_window));
    }

    void archiveHoldsEverythingInOrder()
    {
        for (const QString& database : { AppSettings::sessionDatabase(), AppSettings::recipesDatabase(),
                 AppSettings::historyDatabase(), AppSettings::hasBeenDatabase() })
            QVERIFY(!writeFile(database, 100).isEmpty());
        auto h = harvester();
        // Two events of one second: the later in the list wins.
        m_crashes->events = { crashXml("2024-01-15T10:20:30.123Z"), crashXml("2024-01-15T10:20:30.999Z"),
            crashXml("garbage"), crashXml("2023-12-31T23:59:59.000Z") };
        h->setNeedScrShot(true);
        h->setNeedAppData(true);
        // A raw file brings its state file only when asked to.
        const QUrl vrx = QUrl::fromLocalFile(writeFile(m_dir.filePath("pic.vrx"), 1000));
        QVERIFY(!writeFile(m_dir.filePath("pic.vrxs"), 5).isEmpty());
        h->setUserFile(vrx);
        QCOMPARE(h->files(), QStringList { "pic.vrx" });
        h->setAddVrxState(true);
        h->setUserFile(vrx);
        h->setScreen(m_window.contentItem());
        h->addFeedback("contact", "a@b.example");
        h->addFeedback("category", "Design");
        h->addFeedback("summary", "Too dark");
        // Two grabs under one name: the newer one is kept.
        m_window.setColor(Qt::red);
        const QUrl first = h->captureWindow(m_window.contentItem(), "shot");
        QVERIFY(!fetch(first).isNull());
        m_window.setColor(Qt::blue);
        const QUrl second = h->captureWindow(m_window.contentItem(), "shot");
        QVERIFY(first != second && !fetch(second).isNull());

        const QString path = commitAndWait(*h);
        const QStringList entries = entriesOf(path);
        QCOMPARE(entries.size(), 14);
        QVERIFY(entries.at(2).startsWith("UserFeedback_") && entries.at(2).endsWith(".txt"));
        QCOMPARE(entries.mid(0, 2) + entries.mid(3),
            (QStringList { "CommonInfo.json", "UserFeedback.json", "hardware.csv", "Crash.0.xml",
                "Crash.20231231T235959+0000.xml", "Crash.20240115T102030+0000.xml", "pic.vrx", "pic.vrxs",
                "Ostra.1.db", "Trans.1.db", "MetaH.1.db", "Uuids.1.db", "shot.png" }));
        QCOMPARE(entryOf(path, "Crash.20240115T102030+0000.xml"), m_crashes->events.at(1));
        QCOMPARE(entryOf(path, "pic.vrx").size(), 1000);
        QCOMPARE(QImage::fromData(entryOf(path, "shot.png")).pixelColor(5, 5), QColor(Qt::blue));
        const QStringList lines = QString::fromUtf8(entryOf(path, entries.at(2))).split('\n');
        QCOMPARE(lines.mid(0, 3), (QStringList { "a@b.example", "design", "Too dark" }));
        QCOMPARE(lines.at(9), "Report ID: " + QFileInfo(path).completeBaseName());
        // The build number is the project's version.
        QFile cmake(ostra::test::sourceDir() + "/CMakeLists.txt");
        QVERIFY(cmake.open(QIODevice::ReadOnly));
        const QString version = QRegularExpression("project\\(Ostra VERSION ([0-9.]+)")
                                    .match(QString::fromUtf8(cmake.readAll()))
                                    .captured(1);
        QVERIFY(!version.isEmpty());
        QCOMPARE(lines.at(3), "Build number: " + version);
        QCOMPARE(
            QJsonDocument::fromJson(entryOf(path, "UserFeedback.json")).object()["appVersion"].toString(),
            version);
    }

    void emptyFeedbackAndItsStamp()
    {
        // A zone half an hour off the hour and never on summer time.
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", "Asia/Kolkata");
        tzset();
        qputenv("OSTRA_API_TOKEN", "tok-123");
        qputenv("db_password", "pw-456");
        auto h = harvester();
        const QString path = commitAndWait(*h);
        qputenv("TZ", saved);
        tzset();
        const QString text = entriesOf(path).value(2);
        // Named by the local date and time of the report and the zone's offset.
        QVERIFY2(QRegularExpression("^UserFeedback_\\d{8}T\\d{6}\\+0530\\.txt$").match(text).hasMatch(),
            qPrintable(text));
        // Secrets of the environment stay out of the report.
        const QByteArray json = entryOf(path, "CommonInfo.json");
        QVERIFY(!json.contains("tok-123") && !json.contains("pw-456"));
        const QJsonObject env = QJsonDocument::fromJson(json).object()["envVars"].toObject();
        QCOMPARE(env["db_password"].toString(), "(hidden)");
        QCOMPARE(env["TZ"].toString(), "Asia/Kolkata");
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
        const QString path = writeFile(m_dir.filePath("big.bin"), size);
        auto h = harvester();
        h->setSizeLimitMb(limitMb);
        h->setDecimalKilo(kilo);
        QSignalSpy oversized(h.get(), &InfoHarvester::notifyOversized);
        h->setUserFile(QUrl::fromLocalFile(path));
        h->addUserFile(QFileInfo(path));
        QCOMPARE(h->files().size(), reported < 0 ? 2 : 0);
        QCOMPARE(oversized.count(), reported < 0 ? 0 : 2);
        if (reported >= 0)
            QCOMPARE(oversized.first(), (QVariantList { "big.bin", reported, limitMb }));
    }

    void failingSourcesLeaveTheirEntriesOut_data()
    {
        QTest::addColumn<int>("failing"); // 0 crash events, 1 driver list, 2 driver list hangs
        QTest::newRow("crash events fail") << 0;
        QTest::newRow("driver list fails") << 1;
        QTest::newRow("driver list times out") << 2;
    }

    void failingSourcesLeaveTheirEntriesOut()
    {
        QFETCH(int, failing);
        auto h = harvester();
        m_crashes->events = { crashXml("2024-01-15T10:20:30.123Z") };
        m_crashes->ok = failing != 0;
        m_drivers->ok = failing != 1;
        m_drivers->hold = failing == 2;
        h->setDriverList(m_drivers, 200);
        const QStringList entries = entriesOf(commitAndWait(*h));
        m_drivers->release.release();
        QCOMPARE(entries.contains("hardware.csv"), failing == 0);
        // Events read before a failure still count.
        QVERIFY(entries.contains("Crash.20240115T102030+0000.xml"));
    }

    void commitOnAPoolOfOneThread()
    {
        QThreadPool* pool = QThreadPool::globalInstance();
        const int threads = pool->maxThreadCount();
        pool->setMaxThreadCount(1);
        auto h = harvester();
        h->setNeedScrShot(true);
        QVERIFY(!fetch(h->captureWindow(m_window.contentItem(), "one")).isNull());
        QVERIFY(!fetch(h->captureWindow(m_window.contentItem(), "two")).isNull());
        h->addFeedback("summary", "first");
        const QString first = commitAndWait(*h);
        h->addFeedback("contact", "later");
        const QString second = commitAndWait(*h);
        pool->setMaxThreadCount(threads);
        QStringList shots = entriesOf(first).mid(4);
        shots.sort();
        QCOMPARE(shots, (QStringList { "one.png", "two.png" }));
        // The screenshots and the feedback went with the first report.
        QVERIFY(!second.isEmpty() && entriesOf(second).size() == 4);
        for (const QString& path : { first, second }) {
            const QJsonObject feedback = QJsonDocument::fromJson(entryOf(path, "UserFeedback.json")).object();
            QCOMPARE(feedback["reportKey"].toString(), QFileInfo(path).completeBaseName());
            QCOMPARE(feedback.contains("summary"), path == first);
            QCOMPARE(feedback.contains("contact"), path == second);
            QVERIFY(feedback.contains("installId"));
        }
    }

    void destructorWaitsForRunningJobs()
    {
        auto h = harvester();
        m_drivers->hold = true;
        const QDir folder = h->reportFolder();
        const QStringList before = folder.entryList({ "*.zip" });
        h->commit();
        QVERIFY(m_drivers->started.tryAcquire(1, 5000));
        std::thread releaser([drivers = m_drivers] {
            QThread::msleep(300);
            drivers->release.release();
        });
        h.reset();
        releaser.join();
        QStringList after = folder.entryList({ "*.zip" });
        for (const QString& name : before)
            after.removeOne(name);
        QCOMPARE(after.size(), 1);
        QVERIFY(entriesOf(folder.filePath(after.first())).contains("hardware.csv"));
    }

    // The report folder is read off the GUI thread (the cache may be on a network home
    // that hangs): while it hangs the event loop turns and nothing is announced; once it
    // answers the complete archives are announced by name and a leftover goes.
    void listingLeavesTheLoopTurning()
    {
        auto h = harvester();
        const QDir folder = h->reportFolder();
        QStringList expected = folder.entryList({ "BugReport_*.zip" }, QDir::Files) << "BugReport_a.zip"
                                                                                    << "BugReport_b.zip";
        expected.sort();
        for (const char* name : { "BugReport_b.zip", "BugReport_a.zip", "BugReport_c.zip.part" })
            QVERIFY(!writeFile(folder.filePath(name), 10).isEmpty());
        ostra::test::HeldOpens cache(folder.path());
        if (!cache.isValid())
            QSKIP("needs root to hold a folder's opens");
        cache.close();
        // Lets the folder go should the GUI thread wait for it, so that the test fails
        // instead of hanging.
        ostra::test::RescueWatchdog watchdog([&] { cache.open(); });
        QStringList announced;
        connect(h.get(), &InfoHarvester::newReport, this,
            [&](const QUrl& report) { announced << report.fileName(); });
        h->listReports();
        QTRY_VERIFY(cache.held() > 0);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(h->isListing() && announced.isEmpty());
        cache.open();
        QTRY_VERIFY(!h->isListing());
        QVERIFY(watchdog.end());
        QCOMPARE(announced, expected);
        QVERIFY(!QFile::exists(folder.filePath("BugReport_c.zip.part")));
        // Not archives: the cases that follow read every one announced.
        QVERIFY(QFile::remove(folder.filePath("BugReport_a.zip"))
            && QFile::remove(folder.filePath("BugReport_b.zip")));
    }

    // An archive is listed only once it is complete: one still being written (here held
    // by an attachment that is a pipe nobody writes yet) is not announced, and so never
    // uploaded and removed half written. A leftover of a run that ended while writing
    // goes; an archive that could not be written is not announced.
    void onlyCompleteArchivesAreAnnounced()
    {
        auto h = harvester();
        const QDir folder = h->reportFolder();
        const QString leftover = folder.filePath("BugReport_old.zip.part");
        QVERIFY(!writeFile(leftover, 10).isEmpty());
        const QString pipe = m_dir.filePath("slow.pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        h->addUserFile(QFileInfo(pipe));
        // However the test ends, the job is let go before the harvester waits for it.
        struct Unblock
        {
            QString pipe;
            ~Unblock()
            {
                const int fd = ::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            }
        } unblock { pipe };
        QSignalSpy announced(h.get(), &InfoHarvester::newReport);
        const QStringList before = folder.entryList(QDir::Files | QDir::Hidden);
        h->commit();
        // The archive job is inside the attachment.
        QTRY_VERIFY(folder.entryList(QDir::Files | QDir::Hidden).size() > before.size());
        QCOMPARE(m_drivers->started.available(), 1);
        h->listReports();
        QTRY_VERIFY(!h->isListing());
        QStringList listed;
        for (const QList<QVariant>& args : announced)
            listed << args.first().toUrl().toLocalFile();
        for (const QString& path : listed)
            QVERIFY2(QZipReader(path).status() == QZipReader::NoError
                    && entriesOf(path).contains("CommonInfo.json"),
                qPrintable(path));
        QVERIFY(!QFile::exists(leftover));
        announced.clear();

        const int writer = ::open(QFile::encodeName(pipe).constData(), O_WRONLY);
        QVERIFY(writer >= 0);
        QCOMPARE(::write(writer, "late", 4), 4);
        ::close(writer);
        QVERIFY(announced.wait(20000));
        const QString path = announced.first().first().toUrl().toLocalFile();
        QVERIFY(!listed.contains(path));
        QCOMPARE(entryOf(path, "slow.pipe"), QByteArray("late"));
        QVERIFY(!QFile::exists(path + ".part"));

        // A report folder that has become a file: nothing is written, nothing announced.
        announced.clear();
        const QString moved = folder.absolutePath() + ".moved";
        QVERIFY(QDir().rename(folder.absolutePath(), moved));
        QVERIFY(!writeFile(folder.absolutePath(), 1).isEmpty());
        h->setNeedAddenda(false);
        h->commit();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QVERIFY(QFile::remove(folder.absolutePath()));
        QVERIFY(QDir().rename(moved, folder.absolutePath()));
        QCOMPARE(announced.count(), 0);
    }

    void journalEntriesBecomeEvents()
    {
        const auto script = [this](const QString& name, const QByteArray& body) {
            QFile file(m_dir.filePath(name));
            file.open(QIODevice::WriteOnly);
            file.write("#!/bin/sh\n" + body + '\n');
            file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
            return file.fileName();
        };
        const QByteArray lines
            = R"({"COREDUMP_EXE":"/opt/x/ostra","__REALTIME_TIMESTAMP":"1705314030123456","MESSAGE":[60,98,62]}
{"COREDUMP_EXE":"/usr/bin/other","__REALTIME_TIMESTAMP":"1705314030123456"}
not json)";
        QList<QByteArray> events;
        QString error;
        QVERIFY(JournalCrashEvents(script("good.sh", "cat <<'EOF'\n" + lines + "\nEOF"))
                    .query("ostra", events, error));
        QCOMPARE(events.size(), 1);
        QVERIFY(events.first().contains("SystemTime=\"2024-01-15T10:20:30.123Z\""));
        QVERIFY(events.first().contains("&lt;b&gt;"));
        QVERIFY(!JournalCrashEvents(script("fail.sh", "exit 1")).query("ostra", events, error));
        QVERIFY(!JournalCrashEvents(script("slow.sh", "exec sleep 10"), 300).query("ostra", events, error));
        QCOMPARE(error, "journalctl timed out");
    }
};

OSTRA_TEST_MAIN(TestInfoHarvester)
#include "tst_infoharvester.moc"
