#include "support/filetree.h"
#include "support/localhttpserver.h"
#include "support/testmain.h"

#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <climits>

#include "reports/infouploader.h"
#include "reports/networkjob.h"

using ostra::test::LocalHttpServer;

namespace {

// A back-end that plans the given steps, depends on the given keys, and runs each step
// as a GET of /<key>/<step name> on the local server.
class FakeBackend : public NetworkBackend
{
    Q_OBJECT
public:
    // Plans the one step /<key>/<step> and depends on `dependencies`.
    FakeBackend(
        const QString& key, const QString& step, const QUrl& server, const QVariantList& dependencies = {})
        : m_key(key)
        , m_step { key, step }
        , m_dependencies(dependencies)
        , m_server(server)
    { }

    QVariant key() const override { return m_key; }

    QVariantList planRoute(EvidenceTrace& state) override
    {
        ++plans;
        state.addStep(m_step);
        return m_dependencies;
    }

    bool accept(EvidenceTrace& state, const osm::Step&) override
    {
        return !retryPending() && (maxRuns < 0 || jobs.size() < maxRuns)
            && (waitFor.isEmpty() || state.isRouteDone(waitFor));
    }

    osm::Job* execute(EvidenceTrace& state, const osm::Step& step) override
    {
        QUrl url = m_server;
        url.setPath(QLatin1Char('/') + m_key + QLatin1Char('/') + step.value(1).toString());
        QNetworkRequest request(url);
        osm::Step stamped = step;
        if (!stampKey.isEmpty())
            stamped[0] = stampKey;
        stampRoute(request, state.key(), stamped);
        QNetworkReply* reply = networker->accessManager()->get(request);
        jobs << new NetworkJob(reply);
        return jobs.last();
    }

    void onNetworkResponseFinished(QNetworkReply* reply) override
    {
        onReplyFinished(reply,
            [this](EvidenceTrace&, const osm::Step& step, bool ok) { finished << qMakePair(step, ok); });
        intervals << (retryPending() ? retryInterval() : -1);
    }

    int plans = 0;
    int maxRuns = -1;
    osm::Step waitFor;
    QString stampKey;
    QList<QPair<osm::Step, bool>> finished;
    QList<int> intervals;
    QList<QPointer<NetworkJob>> jobs;

private:
    QString m_key;
    osm::Step m_step;
    QVariantList m_dependencies;
    QUrl m_server;
};

LocalHttpServer::Response status(int code, QList<QPair<QByteArray, QByteArray>> headers = {}, int delayMs = 0)
{
    return LocalHttpServer::Response { code, std::move(headers), {}, delayMs };
}

} // namespace

class TestInfoUploader : public QObject
{
    Q_OBJECT
private:
    LocalHttpServer m_server;
    QTemporaryDir m_dir;
    QUrl report(const QString& name) const { return QUrl::fromLocalFile(m_dir.filePath(name)); }

private slots:
    void initTestCase() { QVERIFY(m_server.start()); }

    void dependentStepsRunInRouteOrderAndAnnounceOnce()
    {
        QVERIFY(m_server.respond("GET", "/alpha/one", status(200)));
        QVERIFY(m_server.respond("GET", "/beta/two", status(200)));
        const int before = m_server.requests().size();
        InfoUploader uploader;
        // alpha depends on beta and on a key that has no back-end; beta waits for alpha.
        FakeBackend alpha("alpha", "one", m_server.url(), { "ghost", "beta" });
        FakeBackend beta("beta", "two", m_server.url(), { "alpha" });
        beta.waitFor = { "alpha" };
        alpha.setMaster(&uploader);
        beta.setMaster(&uploader);
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);

        QVERIFY(ostra::test::writeTreeFile(report("a.zip").toLocalFile()));
        uploader.setAutoRemove(true);
        uploader.upload(report("a.zip"));
        uploader.upload(report("a.zip"));
        QCOMPARE(alpha.plans, 1);
        QCOMPARE(beta.plans, 1);
        QVERIFY(uploaded.wait(10000));
        QTest::qWait(50);
        QCOMPARE(uploaded.count(), 1);
        QStringList paths;
        for (const auto& request : m_server.requests().mid(before))
            paths << request.path;
        QCOMPARE(paths, (QStringList { "/alpha/one", "/beta/two" }));
        QVERIFY(!uploader.findState(report("a.zip")));
        QVERIFY(!QFile::exists(report("a.zip").toLocalFile()));
    }

    void emptyRouteIsAnnouncedOnceDespiteAnotherRethink()
    {
        InfoUploader uploader;
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        uploader.upload(report("empty.zip"));
        // A rethink of every state comes before the queued removal.
        uploader.setNetworkAccessible(1);
        uploader.retry();
        QTest::qWait(50);
        QCOMPARE(uploaded.count(), 1);
        QVERIFY(uploader.stateKeys().isEmpty());
    }

    void tooManyRequestsBacksOff()
    {
        const QByteArray path = "/slow/step";
        for (int i = 0; i < 5; ++i)
            QVERIFY(m_server.respond("GET", path, status(429)));
        QVERIFY(m_server.respond("GET", path, status(200)));
        InfoUploader uploader;
        FakeBackend slow("slow", "step", m_server.url());
        slow.setBackoff(Backoff { 10, 2, 100 });
        uploader.addBackend(&slow);
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        uploader.upload(report("slow.zip"));
        QVERIFY(uploaded.wait(10000));
        QCOMPARE(slow.intervals, (QList<int> { 10, 30, 70, 100, 100, -1 }));
        QCOMPARE(slow.retryInterval(), 0);
    }

    void retryAfterIsHonoured_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<QByteArray>("date");
        QTest::addColumn<int>("expected");
        const QByteArray date = "Sun, 06 Dec 2026 10:00:00 GMT";
        QTest::newRow("seconds") << 429 << QByteArray("120") << date << 120000;
        QTest::newRow("later date") << 429 << QByteArray("Sun, 06 Dec 2026 10:00:05 GMT") << date << 5000;
        QTest::newRow("earlier date") << 429 << QByteArray("Sun, 06 Dec 2026 09:59:00 GMT") << date << 0;
        QTest::newRow("garbage keeps back-off") << 429 << QByteArray("soon") << date << 10;
        QTest::newRow("other failure") << 503 << QByteArray() << date << INT_MAX;
        QTest::newRow("other failure, seconds") << 503 << QByteArray("7") << date << 7000;
    }

    void retryAfterIsHonoured()
    {
        QFETCH(int, code);
        QFETCH(QByteArray, retryAfter);
        QFETCH(QByteArray, date);
        QFETCH(int, expected);
        const QByteArray name = QByteArray(QTest::currentDataTag()).toHex();
        const QByteArray path = "/retry/" + name;
        QList<QPair<QByteArray, QByteArray>> headers { { "Date", date } };
        if (!retryAfter.isEmpty())
            headers.append({ "Retry-After", retryAfter });
        QVERIFY(m_server.respond("GET", path, status(code, headers)));
        InfoUploader uploader;
        FakeBackend backend("retry", QString::fromLatin1(name), m_server.url());
        backend.setBackoff(Backoff { 10, 2, INT_MAX });
        backend.maxRuns = 1;
        uploader.addBackend(&backend);
        uploader.upload(report("retry.zip"));
        QTRY_COMPARE(backend.intervals.size(), 1);
        QCOMPARE(backend.intervals.first(), expected);
        QCOMPARE(backend.finished.first().second, false);
        // The step waits for the timer: planned again, not running.
        EvidenceTrace* state = uploader.findState(report("retry.zip"));
        QVERIFY(state);
        QVERIFY(!state->isRouteDone({}));
        QVERIFY(state->jobs.empty() || !state->jobs.begin()->second);
    }

    void cancelAllWithRepliesInFlight()
    {
        QVERIFY(m_server.respond("GET", "/held/step", status(200, {}, 1500)));
        InfoUploader uploader;
        FakeBackend held("held", "step", m_server.url());
        uploader.addBackend(&held);
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        const int before = m_server.requests().size();
        uploader.upload(report("one.zip"));
        uploader.upload(report("two.zip"));
        QVERIFY(m_server.waitForRequests(before + 2));
        uploader.cancelAll();
        QVERIFY(uploader.stateKeys().isEmpty());
        // The aborted replies come back through the router and find no state.
        QTRY_VERIFY(held.jobs.size() == 2 && !held.jobs.at(0) && !held.jobs.at(1));
        QTest::qWait(100);
        QVERIFY(held.finished.isEmpty());
        QCOMPARE(uploaded.count(), 0);
        // The same report may be uploaded again afterwards.
        uploader.upload(report("one.zip"));
        QCOMPARE(held.plans, 3);
    }

    void jobOutlivesItsDeletedReply()
    {
        QVERIFY(m_server.respond("GET", "/orphan/step", status(200)));
        InfoUploader uploader;
        FakeBackend orphan("orphan", "step", m_server.url());
        // Its replies name a back-end that does not exist: the router deletes them unread.
        orphan.stampKey = QStringLiteral("nobody");
        uploader.addBackend(&orphan);
        uploader.upload(report("orphan.zip"));
        QTRY_VERIFY(!orphan.jobs.isEmpty() && orphan.jobs.first() && !orphan.jobs.first()->reply());
        QVERIFY(orphan.finished.isEmpty());
        uploader.cancelAll();
        QTRY_VERIFY(!orphan.jobs.first());
    }
};

OSTRA_TEST_MAIN(TestInfoUploader)
#include "tst_infouploader.moc"
