#include "support/testmain.h"
#include "support/tlsproxy.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtGui/private/qzipwriter_p.h>

#include <algorithm>

#include "reports/amazonbackend.h"
#include "reports/digestbackend.h"
#include "reports/infouploader.h"
#include "reports/zendeskbackend.h"

using ostra::test::LocalHttpServer;
using ostra::test::TlsProxy;

namespace {

const QString kDomain = QStringLiteral("s3.us-west-2.amazonaws.com");
const QString kStoreHost = QStringLiteral("ostra-reports.") + kDomain;
const QString kTicketHost = QStringLiteral("quelt.zendesk.com");
const QByteArray kTickets("/api/v2/requests.json");
constexpr qint64 kYears = 3 * 366 * 86400;

QString makeReport(const QString& folder, const QString& contact)
{
    const QString path = folder + QStringLiteral("/BugReport_+(1)!.zip");
    QZipWriter zip(path);
    const QJsonObject feedback { { "installId", "inst-7" }, { "contact", contact }, { "category", "Design" },
        { "appVersion", "2.3.0.579" } };
    zip.addFile(QStringLiteral("UserFeedback.json"), QJsonDocument(feedback).toJson());
    zip.addFile(QStringLiteral("UserFeedback.txt"), QByteArray("It crashed \xc3\xa9"));
    zip.addFile(QStringLiteral("payload.bin"), QByteArray(200000, 'x'));
    zip.close();
    return path;
}

} // namespace

// Reports go through the whole chain to a local object store (which checks every
// signature with botocore) and ticket service, both reached over TLS through a proxy.
class TestReportUpload : public QObject
{
    Q_OBJECT
private slots:
    void reportIsStoredThenTicketed_data()
    {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<bool>("ours");
        QTest::addColumn<bool>("rightSecret");
        QTest::addColumn<int>("tickets");
        QTest::newRow("ticket, 422 then anonymous") << "jane@example.org" << false << true << 2;
        QTest::newRow("our own staff") << "staff@quelt.com" << true << true << 0;
        QTest::newRow("bad signature refused") << "jane@example.org" << false << false << 0;
    }
    void reportIsStoredThenTicketed()
    {
        QFETCH(QString, contact);
        QFETCH(bool, ours);
        QFETCH(bool, rightSecret);
        QFETCH(int, tickets);

        LocalHttpServer::Options options;
        // The client's clock is years behind the store's: only the date step makes the
        // signature's time stamps acceptable.
        options.clockOffsetSecs = kYears;
        options.accessKey = AmazonBackend::accessKeyId();
        options.secretKey = rightSecret ? AmazonBackend::secretAccessKey() : QByteArray("another secret");
        TlsProxy proxy({ kDomain, kStoreHost, kTicketHost }, options);
        QVERIFY(proxy.isReady());
        QVERIFY(proxy.server.respond("GET", "/", { 200, {}, {}, 0 }));
        QVERIFY(proxy.server.respond("PUT", "/inst-7/BugReport_+(1)!.zip", { 200, {}, {}, 0 }));
        QVERIFY(proxy.server.respond("POST", kTickets, { 422, {}, "{}", 0 }));
        QVERIFY(proxy.server.respond("POST", kTickets, { 201, {}, "{}", 0 }));

        QTemporaryDir folder;
        const QString report = makeReport(folder.path(), contact);
        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();

        InfoUploader uploader;
        uploader.setAutoRemove(true);
        DigestBackend digest;
        AmazonBackend amazon;
        ZendeskBackend zendesk;
        amazon.setDomain(kDomain);
        amazon.setBucket(QStringLiteral("ostra-reports"));
        amazon.setRegion(QStringLiteral("us-west-2"));
        zendesk.setDomain(kTicketHost);
        zendesk.setAuthor(QStringLiteral("Anonymous customer"));
        zendesk.setHeader(QStringLiteral("Feedback: Type ${category} Version: ${appVersion} ${missing}"));
        if (ours) {
            zendesk.setOurs({ QString::fromLatin1(
                QCryptographicHash::hash("quelt.com", QCryptographicHash::Md5).toHex()) });
        }
        zendesk.setBackoff({ 20, 2, 1000 });
        uploader.setBackends({ &digest, &amazon, &zendesk });
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        uploader.upload(QUrl::fromLocalFile(report));

        if (!rightSecret) {
            QTRY_COMPARE(proxy.requests("PUT").size(), 1);
            QTRY_VERIFY(amazon.retryPending());
            QTest::qWait(200);
            QCOMPARE(uploaded.size(), 0);
            QVERIFY(proxy.requests("POST").isEmpty());
            QVERIFY(QFile::exists(report));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(uploaded.size(), 1, 15000);
        QTRY_VERIFY(!QFile::exists(report));

        const QList<LocalHttpServer::Request> all = proxy.server.requests();
        const auto put = proxy.requests("PUT");
        QCOMPARE(put.size(), 1);
        QVERIFY(put.first().tls);
        QCOMPARE(put.first().body, bytes);
        const auto posts = proxy.requests("POST");
        QCOMPARE(posts.size(), tickets);
        if (tickets) {
            // The ticket goes once the store holds the report; after the 422 it is sent
            // again, without the e-mail address.
            const auto is = [](const char* method) {
                return [method](const LocalHttpServer::Request& r) { return r.method == method; };
            };
            QVERIFY(std::any_of(all.begin(), std::find_if(all.begin(), all.end(), is("POST")), is("PUT")));
            const QJsonObject first = QJsonDocument::fromJson(posts[0].body).object()["request"].toObject();
            const QJsonObject second = QJsonDocument::fromJson(posts[1].body).object()["request"].toObject();
            QCOMPARE(first["requester"].toObject()["email"].toString(), contact);
            QVERIFY(!second["requester"].toObject().contains("email"));
            QCOMPARE(first["subject"].toString(),
                QStringLiteral("Feedback: Type Design Version: 2.3.0.579 ${missing}"));
            QCOMPARE(first["comment"].toObject()["body"].toString(), QStringLiteral("It crashed \u00e9"));
            QCOMPARE(first["comment"].toObject()["data"].toObject()["public"], QJsonValue(false));
        }
        QTest::qWait(100);
        QCOMPARE(uploaded.size(), 1);
    }

    void answersThatStoreNothing_data()
    {
        QTest::addColumn<QByteArray>("method"); // the request answered so
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("location");
        const QByteArray page = "https://" + kStoreHost.toLatin1() + "/elsewhere";
        QTest::newRow("report moved to a page (302)") << QByteArray("PUT") << 302 << page;
        QTest::newRow("report seen elsewhere (303)") << QByteArray("PUT") << 303 << page;
        QTest::newRow("report answered with choices (300)") << QByteArray("PUT") << 300 << QByteArray();
        QTest::newRow("ticket moved (301)")
            << QByteArray("POST") << 301 << "https://" + kTicketHost.toLatin1() + "/elsewhere";
    }

    // An upload is done only when the server took it: a redirection that the client does not
    // follow, or follows by fetching a page instead of sending the report or the ticket
    // again, stores nothing. The step waits for its retry, and the report stays on disk.
    void answersThatStoreNothing()
    {
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(QByteArray, location);
        LocalHttpServer::Options options;
        options.accessKey = AmazonBackend::accessKeyId();
        options.secretKey = AmazonBackend::secretAccessKey();
        TlsProxy proxy({ kDomain, kStoreHost, kTicketHost }, options);
        QVERIFY(proxy.isReady());
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!location.isEmpty())
            headers.append({ "Location", location });
        QVERIFY(proxy.server.respond("GET", "/", { 200, {}, {}, 0 }));
        QVERIFY(proxy.server.respond("GET", "/elsewhere", { 200, {}, "<html>moved</html>", 0 }));
        const LocalHttpServer::Response stored { 200, {}, {}, 0 };
        const LocalHttpServer::Response ticketed { 201, {}, "{}", 0 };
        const LocalHttpServer::Response redirected { status, headers, {}, 0 };
        QVERIFY(proxy.server.respond(
            "PUT", "/inst-7/BugReport_+(1)!.zip", method == "PUT" ? redirected : stored));
        QVERIFY(proxy.server.respond("POST", kTickets, method == "POST" ? redirected : ticketed));

        QTemporaryDir folder;
        const QString report = makeReport(folder.path(), QStringLiteral("jane@example.org"));
        InfoUploader uploader;
        uploader.setAutoRemove(true);
        DigestBackend digest;
        AmazonBackend amazon;
        ZendeskBackend zendesk;
        amazon.setDomain(kDomain);
        amazon.setBucket(QStringLiteral("ostra-reports"));
        amazon.setRegion(QStringLiteral("us-west-2"));
        zendesk.setDomain(kTicketHost);
        uploader.setBackends({ &digest, &amazon, &zendesk });
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        uploader.upload(QUrl::fromLocalFile(report));

        NetworkBackend& answered = method == "PUT" ? static_cast<NetworkBackend&>(amazon) : zendesk;
        QTRY_VERIFY_WITH_TIMEOUT(answered.retryPending(), 15000);
        QVERIFY(!proxy.requests(method).isEmpty());
        if (method == "PUT")
            QVERIFY(proxy.requests("POST").isEmpty()); // no ticket for a report not stored
        QTest::qWait(200);
        QCOMPARE(uploaded.size(), 0);
        QVERIFY(QFile::exists(report));
    }
};

OSTRA_TEST_MAIN(TestReportUpload)
#include "tst_reportupload.moc"
