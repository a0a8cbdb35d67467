#include "support/testmain.h"
#include "support/tlsproxy.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "core/appsettings.h"
#include "reports/uppdate.h"

using ostra::test::LocalHttpServer;
using ostra::test::TlsProxy;

namespace {

const QString kHost = QStringLiteral("updates.quelt.com");

QByteArray feed(const QStringList& versions)
{
    QByteArray xml = "<Updates><ApplicationName>x</ApplicationName>"
                     "<PackageUpdate><Name>com.quelt.other</Name><Version>9.0</Version></PackageUpdate>";
    for (const QString& version : versions)
        xml += "<PackageUpdate><Name>com.quelt.ostra</Name><Version>" + version.toLatin1()
            + "</Version></PackageUpdate>";
    return xml + "</Updates>";
}

} // namespace

// The checker against a local update feed (over TLS through the application proxy)
// and a stand-in maintenance tool with its resource file.
class TestUppdate : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_app;

    // Installs the tool's resource file, built with rcc, and the tool, a script that
    // records its arguments.
    bool installTool()
    {
        const auto write = [&](const QString& name, const QByteArray& bytes) {
            QDir().mkpath(QFileInfo(m_app.filePath(name)).path());
            QFile file(m_app.filePath(name));
            return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
        };
        if (!write(QStringLiteral("installer-config/config.xml"),
                "<Installer><Name>x</Name><RemoteRepositories><Repository><Url>"
                "https://updates.quelt.com/ostra/linux</Url></Repository></RemoteRepositories></Installer>")
            || !write(QStringLiteral("tool.qrc"),
                "<RCC><qresource prefix=\"/\"><file>installer-config/config.xml</file></qresource></RCC>")
            || !write(QStringLiteral("maintenancetool.exe"),
                "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$(dirname \"$0\")/args.tmp\"\n"
                "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args.txt\"\n"))
            return false;
        QProcess rcc;
        rcc.setWorkingDirectory(m_app.path());
        rcc.start(QStringLiteral("rcc"), { "-binary", "tool.qrc", "-o", "maintenancetool.dat" });
        return rcc.waitForFinished(20000) && rcc.exitCode() == 0
            && QFile::setPermissions(m_app.filePath(QStringLiteral("maintenancetool.exe")),
                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

private slots:
    void initTestCase() { QVERIFY(installTool()); }

    void feedIsCompared_data()
    {
        QTest::addColumn<bool>("force");
        QTest::addColumn<QStringList>("available");
        QTest::addColumn<int>("nothing");
        QTest::newRow("newer, then equal") << false << QStringList { "2.3.1" } << 1;
        QTest::newRow("forced") << true << QStringList { "2.3.1", "2.3.0.579.0" } << 0;
    }
    void feedIsCompared()
    {
        QFETCH(bool, force);
        QFETCH(QStringList, available);
        QFETCH(int, nothing);
        TlsProxy proxy({ kHost });
        QVERIFY(proxy.isReady());
        QVERIFY(proxy.server.respond(
            "GET", "/ostra/linux/Updates.xml", { 200, {}, feed({ "2.3.1", "2.3.0.579.0" }), 0 }));
        Uppdate update(QDir(m_app.path()));
        update.setRepoHead(QStringLiteral("Updates.xml"));
        update.setForceUpdate(force);
        QSignalSpy versions(&update, &Uppdate::versionAvailable);
        QSignalSpy none(&update, &Uppdate::nothingAvailable);
        QSignalSpy errors(&update, &Uppdate::checkUpdateError);
        update.checkForUpdates(true);
        QTRY_COMPARE(versions.size() + none.size(), 2);
        QStringList got;
        for (const QList<QVariant>& args : versions)
            got << args.first().toString();
        QCOMPARE(got, available);
        QCOMPARE(none.size(), nothing);
        QCOMPARE(errors.size(), 0);
        // Every reply is let go.
        auto* manager = update.findChild<QNetworkAccessManager*>();
        QTRY_VERIFY(update.findChildren<QNetworkReply*>().isEmpty()
            && manager->findChildren<QNetworkReply*>().isEmpty());
    }

    // A failed handshake is asked again once, over TLS again (never in plain text), and
    // then answers with an error.
    void failedHandshakeIsRetriedOnceAndNotDowngraded()
    {
        TlsProxy proxy({ kHost }, LocalHttpServer::Options(), false);
        QVERIFY(proxy.isReady());
        QVERIFY(proxy.server.respond("GET", "/ostra/linux/Updates.xml", { 200, {}, feed({ "9.0" }), 0 }));
        Uppdate update(QDir(m_app.path()));
        update.setRepoHead(QStringLiteral("Updates.xml"));
        QSignalSpy errors(&update, &Uppdate::checkUpdateError);
        QSignalSpy retries(&update, &Uppdate::retry);
        update.checkForUpdates(true);
        QTRY_COMPARE(errors.size(), 1);
        QTRY_COMPARE(proxy.requests("HANDSHAKE-FAILED").size(), 2);
        QTest::qWait(300);
        QCOMPARE(retries.size(), 1);
        QCOMPARE(retries.first().first().toUrl().scheme(), QStringLiteral("https"));
        QVERIFY(proxy.requests("GET").isEmpty());
        QCOMPARE(proxy.requests("CONNECT").size(), 2);
        QCOMPARE(errors.size(), 1);
    }

    // A check asked for by the user answers in every case; one in the background stays
    // silent unless there is a version to offer.
    void everyUserCheckAnswers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("totalMs");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("status");
        const int ample = 30000;
        QTest::newRow("not a feed") << QByteArray("<html><body>Gateway</body></html>") << 0 << ample << ample
                                    << "did not send an update feed" << 200;
        // The body of an answer that is no success is not the feed, whatever it holds.
        QTest::newRow("moved, a feed in its body")
            << feed({ "9.0" }) << 0 << ample << ample << "did not send an update feed" << 301;
        QTest::newRow("choices, a feed in its body")
            << feed({ "9.0" }) << 0 << ample << ample << "did not send an update feed" << 300;
        QTest::newRow("broken feed") << feed({ "9.0" }).left(120) << 0 << ample << ample
                                     << "did not send an update feed" << 200;
        QTest::newRow("feed without this application")
            << feed({}) << 0 << ample << ample << "does not list this application" << 200;
        QTest::newRow("too large") << QByteArray(3 << 20, ' ') + feed({ "9.0" }) << 0 << ample << ample
                                   << "too large" << 200;
        QTest::newRow("no answer, idle bound")
            << feed({ "9.0" }) << 60000 << 300 << 60000 << "did not answer in time" << 200;
        QTest::newRow("no answer, whole check's bound")
            << feed({ "9.0" }) << 60000 << 60000 << 500 << "did not answer in time" << 200;
    }
    void everyUserCheckAnswers()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, delayMs);
        QFETCH(int, idleMs);
        QFETCH(int, totalMs);
        QFETCH(QString, reason);
        QFETCH(int, status);
        TlsProxy proxy({ kHost });
        QVERIFY(proxy.isReady());
        QList<QPair<QByteArray, QByteArray>> headers;
        if (status == 301)
            headers.append({ "Location", "https://" + kHost.toLatin1() + "/elsewhere" });
        QVERIFY(proxy.server.respond("GET", "/ostra/linux/Updates.xml", { status, headers, body, delayMs }));
        Uppdate update(QDir(m_app.path()));
        update.setRepoHead(QStringLiteral("Updates.xml"));
        update.setTimeoutMs(idleMs, totalMs);
        QSignalSpy versions(&update, &Uppdate::versionAvailable);
        QSignalSpy none(&update, &Uppdate::nothingAvailable);
        QSignalSpy errors(&update, &Uppdate::checkUpdateError);
        update.checkForUpdates(false);
        update.checkForUpdates(true);
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 20000);
        QVERIFY2(errors.first().first().toString().contains(reason),
            qPrintable(errors.first().first().toString()));
        // The background check has ended too, silently.
        QTRY_VERIFY(update.findChildren<QNetworkReply*>().isEmpty()
            && update.findChild<QNetworkAccessManager*>()->findChildren<QNetworkReply*>().isEmpty());
        QCOMPARE(errors.size(), 1);
        QCOMPARE(versions.size() + none.size(), 0);
    }

    // The channel: the setting, else the maintenance tool's, else the build's; never one
    // that is not https, which is not asked for either.
    void channelHasAHomeAndIsHttpsOnly()
    {
        QTemporaryDir bare;
        const QUrl tool(QStringLiteral("https://updates.quelt.com/ostra/linux"));
        QCOMPARE(Uppdate::defaultChannel().scheme(), QStringLiteral("https"));
        {
            Uppdate update(QDir(bare.path()));
            QCOMPARE(update.channel(), Uppdate::defaultChannel());
            QVERIFY(update.hasChannel());
        }
        AppSettings settings;
        const QUrl mine(QStringLiteral("https://updates.quelt.com/ostra/beta"));
        settings.setValue(QStringLiteral("UpdateChannel"), mine.toString());
        QCOMPARE(Uppdate(QDir(m_app.path())).channel(), mine);
        settings.setValue(
            QStringLiteral("UpdateChannel"), QStringLiteral("http://updates.quelt.com/ostra/beta"));
        QCOMPARE(Uppdate(QDir(m_app.path())).channel(), tool);
        QCOMPARE(Uppdate(QDir(bare.path())).channel(), Uppdate::defaultChannel());
        settings.remove(QStringLiteral("UpdateChannel"));
        QCOMPARE(Uppdate(QDir(m_app.path())).channel(), tool);

        Uppdate update(QDir(m_app.path()));
        update.setChannel(QUrl(QStringLiteral("http://updates.quelt.com/plain")));
        QCOMPARE(update.channel(), tool);
        QSignalSpy errors(&update, &Uppdate::checkUpdateError);
        update.request(QUrl(QStringLiteral("http://127.0.0.1:9/Updates.xml")), true);
        QCOMPARE(errors.size(), 1);
        QVERIFY(errors.first().first().toString().contains("https"));
        QVERIFY(update.findChild<QNetworkAccessManager*>()->findChildren<QNetworkReply*>().isEmpty());
    }

    void notAccessibleIsAnErrorForTheUserOnly()
    {
        Uppdate update(QDir(m_app.path()));
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        update.findChild<QNetworkAccessManager*>()->setNetworkAccessible(
            QNetworkAccessManager::NotAccessible);
        QT_WARNING_POP
        QSignalSpy errors(&update, &Uppdate::checkUpdateError);
        update.checkForUpdates(false);
        QCOMPARE(errors.size(), 0);
        update.checkForUpdates(true);
        QCOMPARE(errors.size(), 1);
    }

    void toolStartsDetachedForUpdating()
    {
        Uppdate update(QDir(m_app.path()));
        QVERIFY(update.retrieveUpdates());
        QFile args(m_app.filePath(QStringLiteral("args.txt")));
        QTRY_VERIFY(args.exists());
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), QByteArray("--updater\n"));
    }
};

OSTRA_TEST_MAIN(TestUppdate)
#include "tst_uppdate.moc"
