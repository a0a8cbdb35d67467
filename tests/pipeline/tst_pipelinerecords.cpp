#include "support/testmain.h"

#include <QJsonObject>
#include <QSignalSpy>

#include "pipeline/ipipeline.h"

namespace {

Recipe recipe(const QString& file, qint64 size, bool estimate = false, const QString& channel = "cam1")
{
    Recipe r;
    r.provider = QStringLiteral("transfer");
    r.ioChannel = channel;
    r.recipe = QJsonDocument(QJsonObject { { "file", file }, { "type", "vrx" } });
    r.imageUuid = QUuid(QStringLiteral("{6f1c8c2e-1111-4222-8333-444455556666}"));
    r.fileSize = size;
    r.estimate = estimate;
    return r;
}

// Answers the ticket operations' questions from fixed tables and writes down every call.
class RecordingPipeline : public IPipeline
{
public:
    QStringList calls;
    QList<QUuid> reached;
    QList<QUrl> byRecipe;
    QList<QUrl> bySession;

    void setFront(IFileSink*) override { }
    void setRoute(QString, IProvider*) override { }
    void onVerified(QUrl, QUuid) override { }
    IHarvest* claimIndex(QString, QString, QUuid, QModelIndex) override { return nullptr; }
    void onClaimAll(QString, QString) override { }
    void setDate(QUuid, QDateTime) override { }
    void setBatch(bool open) override { calls << QStringLiteral("batch %1").arg(open); }
    void onObstacle(QUrl, Recipe, IFileSink::Error) override { }
    void onChanLost(QString, QString, IFileSink::Error) override { }
    void onRecovery(QString, QString) override { }
    void onProgress(QUrl, Recipe, ProgressRatio) override { }
    void onComplete(QUrl, Recipe) override { }
    void onReleased(Recipe, IFileSink::Error) override { }
    bool putRecipe(QUuid, QUrl, Recipe, Arbiter) override { return true; }
    void setFree(QUuid, Recipe) override { }
    void setFree(QUuid) override { }
    void setLive(QUuid s, bool live) override
    {
        calls << QStringLiteral("live %1 %2").arg(s.toString()).arg(live);
    }
    bool hasMore(QUuid) override { return false; }
    void dismiss(QUuid) override { }
    void clarify(TrafficTicket t, Arbiter a) override
    {
        calls << QStringLiteral("clarify %1 %2 %3").arg(t.target).arg(a.skip).arg(a.overwrite);
    }
    bool hasFile(QUrl) override { return false; }
    bool hasRequests() override { return false; }
    void setLive(QUuid s, IFileSink::Error e) override
    {
        calls << QStringLiteral("error %1 %2").arg(s.toString()).arg(int(e));
    }
    void unblockChannel(Recipe r) override { calls << "unblock channel " + r.ioChannel; }
    void unblockVolume(Volume v) override { calls << "unblock volume " + v.rootPath; }
    void revive(QUrl url) override { calls << "revive " + url.toLocalFile(); }
    bool recall(QUrl url) override
    {
        calls << "recall " + url.toLocalFile();
        return true;
    }
    QList<QUuid> sessions() override { return reached; }
    QList<QUuid> sessions(TrafficTicket) override { return reached; }
    QList<QUrl> urls(QUuid, IFileSink::Error) override { return bySession; }
    QList<QUrl> urls(Recipe) override { return byRecipe; }
    ProgressModel* footprint() override { return nullptr; }
    ProgressModel* footprint(QUuid) override { return nullptr; }
    ProgressModel* footprint(QUrl) override { return nullptr; }
    QAbstractItemModel* model() override { return nullptr; }
    QList<QUrl> files(QUuid) override { return {}; }
    void start() override { }
    void touch() override { }
    void clear() override { }

    using IPipeline::recall;
    using IPipeline::revive;
    using IPipeline::setLive;
};

TrafficTicket ticket(int error, int scope = -1)
{
    TrafficTicket t(error, QUrl::fromLocalFile("/lib/2026/a.vrx"), recipe("a.vrx", 10),
        QUuid(QStringLiteral("{00000000-0000-4000-8000-000000000001}")), Volume("/lib", "/dev/sdb1"));
    if (scope >= 0)
        t.scope = scope;
    return t;
}

} // namespace

class TestPipelineRecords : public QObject
{
    Q_OBJECT
private slots:
    void recipesCompareByEffectiveSize_data()
    {
        QTest::addColumn<Recipe>("a");
        QTest::addColumn<Recipe>("b");
        QTest::addColumn<bool>("equal");
        QTest::newRow("estimates of other sizes") << recipe("a", 100, true) << recipe("a", 7, true) << true;
        QTest::newRow("estimate counts as 0") << recipe("a", 100, true) << recipe("a", 0) << true;
        QTest::newRow("estimate and exact") << recipe("a", 100, true) << recipe("a", 100) << false;
        QTest::newRow("exact sizes differ") << recipe("a", 100) << recipe("a", 101) << false;
        QTest::newRow("exact sizes agree") << recipe("a", 100) << recipe("a", 100) << true;
        QTest::newRow("other file") << recipe("a", 100) << recipe("b", 100) << false;
        QTest::newRow("other channel") << recipe("a", 100) << recipe("a", 100, false, "cam2") << false;
    }

    void recipesCompareByEffectiveSize()
    {
        QFETCH(Recipe, a);
        QFETCH(Recipe, b);
        QFETCH(bool, equal);
        QCOMPARE(a == b, equal);
        if (equal)
            QCOMPARE(qHash(a, 5), qHash(b, 5));
    }

    void sameScope_data()
    {
        QTest::addColumn<TrafficTicket>("first");
        QTest::addColumn<TrafficTicket>("other");
        QTest::addColumn<bool>("withErrors");
        QTest::addColumn<bool>("same");
        TrafficTicket elsewhere(IFileSink::NoSpace, QUrl::fromLocalFile("/lib/2025/b.vrx"),
            recipe("b", 3, false, "cam2"), QUuid::createUuid(), Volume("/lib", "/dev/sdb1"));
        QTest::newRow("no scope never") << ticket(0) << ticket(0) << false << false;
        QTest::newRow("global always") << ticket(1, IFileSink::GlobalScope) << elsewhere << false << true;
        QTest::newRow("errors differ")
            << ticket(IFileSink::NoWrite, IFileSink::GlobalScope) << elsewhere << true << false;
        QTest::newRow("same volume") << ticket(IFileSink::NoSpace) << elsewhere << true << true;
        QTest::newRow("other folder") << ticket(IFileSink::NoWrite) << elsewhere << false << false;
        QTest::newRow("other channel") << ticket(IFileSink::IOError) << elsewhere << false << false;
        QTest::newRow("provider") << ticket(1, IFileSink::ProviderScope) << elsewhere << false << true;
        QTest::newRow("combination takes the widest")
            << ticket(IFileSink::Present | IFileSink::NoSpace) << elsewhere << false << true;
        TrafficTicket moved = ticket(IFileSink::NoSpace);
        moved.volume.device = "/dev/sdc1"; // another card in the same mount point
        QTest::newRow("other device") << ticket(IFileSink::NoSpace) << moved << true << false;
    }

    void sameScope()
    {
        QFETCH(TrafficTicket, first);
        QFETCH(TrafficTicket, other);
        QFETCH(bool, withErrors);
        QFETCH(bool, same);
        QCOMPARE(TrafficTicket::sameScope(first, other, withErrors), same);
    }

    void ticketDecisionsReachThePipeline_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<TrafficTicket>("ticket");
        QTest::addColumn<bool>("withSessions");
        QTest::addColumn<QStringList>("calls");
        const QString s = QStringLiteral("{00000000-0000-4000-8000-0000000000aa}");
        QTest::newRow("recall no scope")
            << "recall" << ticket(0) << false << QStringList { "batch 1", "batch 0" };
        QTest::newRow("recall target")
            << "recall" << ticket(IFileSink::Present) << true << QStringList { "recall /lib/2026/a.vrx" };
        QTest::newRow("recall recipe") << "recall" << ticket(IFileSink::SrcLost) << true
                                       << QStringList { "recall /r/1.vrx", "recall /r/2.vrx" };
        QTest::newRow("recall folder") << "recall" << ticket(IFileSink::NoWrite) << true
                                       << QStringList { "batch 1", "recall /s/1.vrx", "batch 0" };
        QTest::newRow("revive volume") << "revive" << ticket(IFileSink::NoSpace) << true
                                       << QStringList { "unblock volume /lib", "error " + s + " 16" };
        QTest::newRow("revive channel, no session")
            << "revive" << ticket(IFileSink::IOError) << false
            << QStringList { "unblock channel cam1", "revive /r/1.vrx", "revive /r/2.vrx" };
        QTest::newRow("hold") << "onHold" << ticket(IFileSink::NoSpace) << true
                              << QStringList { "live " + s + " 0" };
        QTest::newRow("policy") << "setPolicy" << ticket(IFileSink::Present) << true
                                << QStringList { "clarify /lib/2026/a.vrx 1 0" };
    }

    void ticketDecisionsReachThePipeline()
    {
        QFETCH(QString, operation);
        QFETCH(TrafficTicket, ticket);
        QFETCH(bool, withSessions);
        QFETCH(QStringList, calls);
        RecordingPipeline pipeline;
        if (withSessions)
            pipeline.reached << QUuid(QStringLiteral("{00000000-0000-4000-8000-0000000000aa}"));
        pipeline.byRecipe = { QUrl::fromLocalFile("/r/1.vrx"), QUrl::fromLocalFile("/r/2.vrx") };
        pipeline.bySession = { QUrl::fromLocalFile("/s/1.vrx") };
        // Through the meta-object, as the dialogs call them.
        if (operation == "setPolicy")
            QVERIFY(QMetaObject::invokeMethod(
                &pipeline, "setPolicy", Q_ARG(TrafficTicket, ticket), Q_ARG(bool, true), Q_ARG(bool, false)));
        else
            QVERIFY(
                QMetaObject::invokeMethod(&pipeline, qPrintable(operation), Q_ARG(TrafficTicket, ticket)));
        QCOMPARE(pipeline.calls, calls);
    }
};

OSTRA_TEST_MAIN_CORE(TestPipelineRecords)
#include "tst_pipelinerecords.moc"
