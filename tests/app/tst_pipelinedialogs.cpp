// The pipeline dialogs under Qt Quick Test: their texts and buttons per error, and what
// each button hands to the pipeline.
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>

#include "app/typeregistration.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "support/testenvironment.h"

namespace {

// Stands in for the journal in front of the router: writes down every decision.
class Recorder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList calls MEMBER calls NOTIFY callsChanged)
public:
    QStringList calls;

    Q_INVOKABLE void setPolicy(const QVariant& t, bool skip, bool overwrite)
    {
        note(QStringLiteral("setPolicy %1 %2").arg(skip).arg(overwrite), t);
    }
    Q_INVOKABLE void onHold(const QVariant& t) { note(QStringLiteral("onHold"), t); }
    Q_INVOKABLE void recall(const QVariant& t) { note(QStringLiteral("recall"), t); }
    Q_INVOKABLE void revive(const QVariant& t) { note(QStringLiteral("revive"), t); }
    Q_INVOKABLE void dismiss(const QVariant& session)
    {
        note(QStringLiteral("dismiss ") + session.toString(), {});
    }
    Q_INVOKABLE QList<QUrl> files(const QVariant&) { return {}; }
    Q_INVOKABLE void touch() { note(QStringLiteral("touch"), {}); }
    Q_INVOKABLE void clear()
    {
        calls.clear();
        emit callsChanged();
    }

signals:
    void callsChanged();

private:
    void note(const QString& call, const QVariant& t)
    {
        calls << (t.canConvert<TrafficTicket>()
                ? call + QStringLiteral(" scope %1").arg(t.value<TrafficTicket>().scope)
                : call);
        emit callsChanged();
    }
};

// A source that never answers: its files stay queued.
class StillSource : public IProvider
{
public:
    int capacity(QString) override { return 0; }
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink*) override { }
    Validator validator() override
    {
        return [](const QUrl&, const Recipe&) { return true; };
    }
    bool adopt(QUrl, Recipe) override { return false; }
    void fetch(QUrl, Recipe, Arbiter) override { }
    bool reclaim(QUrl, Recipe) override { return true; }
    void freeImage(Recipe, QUuid, QModelIndex) override { }
    void imageChanged(Recipe, QUuid, QModelIndex, IHarvest*) override { }
    bool isRaw(Recipe) override { return true; }
};

QUuid sessionUuid(int session)
{
    return QUuid(QStringLiteral("{00000000-0000-4000-8000-00000000000%1}").arg(session));
}

Recipe recipeOf(const QString& file, qint64 size)
{
    Recipe r;
    r.provider = QStringLiteral("transfer");
    r.ioChannel = QStringLiteral("cam1");
    r.recipe = QJsonDocument(QJsonObject { { "file", file } });
    r.fileSize = size;
    return r;
}

// A real router whose ticket record and sessions the test fills.
class Fixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject* router READ router CONSTANT)
public:
    RecipeRouter m_router;
    StillSource m_source;
    Fixture() { IProvider::setPipeline(&m_source, &m_router); }
    QObject* router() { return &m_router; }

    Q_INVOKABLE bool put(int session, const QString& path, qint64 size)
    {
        return m_router.putRecipe(
            sessionUuid(session), QUrl::fromLocalFile(path), recipeOf(path, size), Arbiter());
    }
    Q_INVOKABLE void block(const QString& path, int error)
    {
        m_router.onObstacle(QUrl::fromLocalFile(path), Recipe(), IFileSink::Error(error));
    }

    Q_INVOKABLE void file(int error, const QString& target, int session)
    {
        Recipe r = recipeOf(QStringLiteral("a.vrx"), 1234);
        r.estimate = true;
        m_router.tickets()->file(TrafficTicket(error, QUrl::fromLocalFile(target), r, sessionUuid(session),
                                     Volume(QStringLiteral("/media/u/Z40"), "sdb1")),
            false);
    }
    Q_INVOKABLE void clear()
    {
        while (m_router.tickets()->count() > 0)
            m_router.tickets()->resolve();
    }
};

class Setup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
    }
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("recorder"), &m_recorder);
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), &m_fixture);
    }

private:
    Recorder m_recorder;
    Fixture m_fixture;
};

} // namespace

int main(int argc, char** argv)
{
    ostra::test::TestEnvironment environment;
    Setup setup;
    const QByteArray dir = QFile::encodeName(ostra::test::sourceDir() + QStringLiteral("/tests/app/qml"));
    return quick_test_main_with_setup(argc, argv, "pipelinedialogs", dir.constData(), &setup);
}

#include "tst_pipelinedialogs.moc"
