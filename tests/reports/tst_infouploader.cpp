#include "support/childprocess.h"
#include "support/filetree.h"
#include "support/localhttpserver.h"
#include "support/testmain.h"

#include <QEventLoop>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include "reports/boundedaccessmanager.h"
#include "reports/infouploader.h"
#include "reports/networkjob.h"

#include <fstream>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

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

// A gzip body of `megabytes` MiB of zeros, about a thousandth of that in size: one MiB
// compressed after a full flush is repeated, then the stream ends properly.
QByteArray gzipOfZeros(int megabytes)
{
    const QByteArray zeros(1 << 20, '\0');
    z_stream z {};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(1 << 20, '\0');
    const auto chunk = [&](int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.constData()));
        z.avail_in = uInt(flush == Z_FULL_FLUSH ? zeros.size() : 0);
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = uInt(out.size());
        deflate(&z, flush);
        return out.left(out.size() - int(z.avail_out));
    };
    QByteArray body = chunk(Z_FULL_FLUSH);
    const QByteArray repeated = chunk(Z_FULL_FLUSH);
    for (int i = 2; i < megabytes; ++i)
        body += repeated;
    body += chunk(Z_FINISH).left(2); // the last empty block, without zlib's own trailer
    deflateEnd(&z);
    const uLong one = crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(zeros.size()));
    uLong crc = 0;
    for (int i = 0; i < megabytes; ++i)
        crc = crc32_combine(crc, one, zeros.size());
    const quint32 trailer[2] = { quint32(crc), quint32(qint64(megabytes) << 20) };
    return body + QByteArray(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

// Child: fetches the URL through a bounded access manager with its address space capped
// at what it uses now plus 384 MiB, and prints how the reply ended.
int childMain(const QString& mode, const QStringList& args)
{
    if (mode != QLatin1String("fetch") || args.isEmpty())
        return 2;
    BoundedAccessManager manager;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(384) << 20);
    const struct rlimit rl = { limit, limit };
    setrlimit(RLIMIT_AS, &rl);
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(args.first())));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(ostra::test::kChildTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    std::printf("finished=%d exceeded=%d kept=%lld\n", int(reply->isFinished()),
        int(BoundedAccessManager::exceeded(reply)), qint64(BoundedAccessManager::bodyOf(reply).size()));
    std::fflush(stdout);
    return 0;
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

    // Failures in a row wait ever longer, whatever the server asks: a "Retry-After" of
    // 0 or a date without a "Date" to measure it against never bring the retry forward
    // of the back-off's step, and a failure that names no time does not wait for days.
    void failuresBackOff_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<bool>("dated");
        QTest::newRow("too many requests") << 429 << QByteArray() << true;
        QTest::newRow("too many requests, retry after 0") << 429 << QByteArray("0") << true;
        QTest::newRow("unavailable until a date, no Date header")
            << 503 << QByteArray("Sun, 06 Dec 2026 10:00:05 GMT") << false;
        QTest::newRow("unavailable, no time given") << 503 << QByteArray() << true;
    }
    void failuresBackOff()
    {
        QFETCH(int, code);
        QFETCH(QByteArray, retryAfter);
        QFETCH(bool, dated);
        const QByteArray name = QByteArray(QTest::currentDataTag()).toHex();
        const QByteArray path = "/slow/" + name;
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!retryAfter.isEmpty())
            headers.append({ "Retry-After", retryAfter });
        if (!dated)
            headers.append(qMakePair(QByteArray("Date"), QByteArray()));
        for (int i = 0; i < 5; ++i)
            QVERIFY(m_server.respond("GET", path, status(code, headers)));
        QVERIFY(m_server.respond("GET", path, status(200)));
        InfoUploader uploader;
        FakeBackend slow("slow", QString::fromLatin1(name), m_server.url());
        slow.setBackoff(Backoff { 10, 2, 100 });
        uploader.addBackend(&slow);
        QSignalSpy uploaded(&uploader, &InfoUploader::uploaded);
        QSignalSpy failed(&uploader, &InfoUploader::failed);
        uploader.upload(report("slow.zip"));
        QVERIFY(uploaded.wait(10000));
        QCOMPARE(slow.intervals, (QList<int> { 10, 30, 70, 100, 100, -1 }));
        // Every failure is told, with the report it concerns.
        QCOMPARE(failed.count(), 5);
        QCOMPARE(failed.first().first().toUrl(), report("slow.zip"));
        QCOMPARE(slow.retryInterval(), 0);
    }

    // A server that takes the request and never answers fails the step once the
    // transfer has been idle for the manager's time-out; the step waits for a retry.
    void silentServerTimesOut()
    {
        QVERIFY(m_server.respond("GET", "/mute/step", status(200, {}, 60000)));
        InfoUploader uploader;
        static_cast<BoundedAccessManager*>(uploader.accessManager())->setTransferTimeoutMs(300);
        FakeBackend mute("mute", "step", m_server.url());
        mute.setBackoff(Backoff { 60000, 2, 60000 });
        uploader.addBackend(&mute);
        uploader.upload(report("mute.zip"));
        QTRY_COMPARE_WITH_TIMEOUT(mute.finished.size(), 1, 20000);
        QCOMPARE(mute.finished.first().second, false);
        QVERIFY(mute.retryPending());
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
        QTest::newRow("earlier date waits a step")
            << 429 << QByteArray("Sun, 06 Dec 2026 09:59:00 GMT") << date << 10;
        QTest::newRow("garbage keeps back-off") << 429 << QByteArray("soon") << date << 10;
        QTest::newRow("other failure") << 503 << QByteArray() << date << 10;
        QTest::newRow("other failure, seconds") << 503 << QByteArray("7") << date << 7000;
        QTest::newRow("beyond the ceiling") << 503 << QByteArray("86400") << date << 600000;
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
        backend.setBackoff(Backoff { 10, 2, 600000 });
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

    // A small compressed reply that would inflate to gigabytes, and a plain one past the
    // bound, end as aborted replies within a capped address space; the bound keeps the
    // reply's body for its handler below it.
    void replyBodiesAreBounded_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<int>("megabytes");
        QTest::newRow("gzip bomb") << QByteArray("gzip") << 2048;
        QTest::newRow("plain, past the bound") << QByteArray() << 3;
    }
    void replyBodiesAreBounded()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(int, megabytes);
        const QByteArray path = "/big/" + QByteArray(QTest::currentDataTag()).toHex();
        LocalHttpServer::Response big;
        if (encoding.isEmpty()) {
            big.body = QByteArray(megabytes << 20, 'x');
        } else {
            big.body = gzipOfZeros(megabytes);
            big.headers.append({ "Content-Encoding", encoding });
        }
        QVERIFY(m_server.respond("GET", path, big));
        auto child = ostra::test::startSelf(QStringLiteral("fetch"), { m_server.url(path).toString() });
        QVERIFY(child->started());
        QVERIFY(child->finish());
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 0);
        QCOMPARE(child->out().trimmed(), QByteArray("finished=1 exceeded=1 kept=0"));
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

OSTRA_TEST_MAIN_WITH_CHILD(QGuiApplication, TestInfoUploader, childMain)
#include "tst_infouploader.moc"
