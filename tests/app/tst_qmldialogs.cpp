// The application's dialogs under Qt Quick Test (tests/app/dialogs): the pipeline's error
// and status dialogs over a real router, the patch and preset dialogs over a real preset
// folder, the export dialog against the real image service, and the report dialog; each
// readable and whole on the screen.
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQuickTest>

#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "core/resources.h"
#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "support/picturefiles.h"
#include "support/presetfiles.h"
#include "support/quickitems.h"
#include "support/screenchecks.h"
#include "support/testenvironment.h"

namespace {

// The readability checks of a window, for the QML tests.
class ScreenChecks : public QObject
{
    Q_OBJECT
public:
    // The faults a user would meet in the window (see readabilityFaults); texts named in
    // `mayElide` may be elided.
    Q_INVOKABLE QStringList faults(QObject* window, const QStringList& mayElide) const
    {
        const QStringList list = mayElide;
        return ostra::test::readabilityFaults(
            qobject_cast<QQuickWindow*>(window), QSet<QString>(list.begin(), list.end()));
    }
    // The same for what a popup shows over its (dimmed) window.
    Q_INVOKABLE QStringList popupFaults(QObject* popup) const
    {
        auto* content = popup ? popup->property("contentItem").value<QQuickItem*>() : nullptr;
        if (!content || !content->parentItem())
            return { QStringLiteral("no popup") };
        return ostra::test::readabilityFaults(content->window(), {}, 4.5, content->parentItem());
    }
    // A key pressed and released in a dialog that is a window of its own, as a user does
    // once it has the keyboard; false when it could not be made the active window. A
    // dialog closed just before hands the keyboard back to its owner a little later: the
    // dialog must still be the active window a moment after it became it.
    Q_INVOKABLE bool keyClick(QObject* window, int key) const
    {
        auto* target = qobject_cast<QQuickWindow*>(window);
        if (!target)
            return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (!ostra::test::activateWindow(target))
                continue;
            QTest::qWait(100);
            if (QGuiApplication::focusWindow() == target) {
                QTest::keyClick(target, Qt::Key(key));
                return true;
            }
        }
        return false;
    }
};

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
    Q_INVOKABLE void recall(const QVariant& t) { note(QStringLiteral("recall"), t); }
    Q_INVOKABLE void revive(const QVariant& t) { note(QStringLiteral("revive"), t); }
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

QUuid sessionUuid(int session)
{
    return QUuid(QStringLiteral("{00000000-0000-4000-8000-00000000000%1}").arg(session));
}

// A source whose files are already in place: the fixture completes them itself.
class IdleProvider : public IProvider
{
public:
    int capacity(QString) override { return 1; }
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink*) override { }
    Validator validator() override
    {
        return [](const QUrl&, const Recipe&) { return true; };
    }
    bool adopt(QUrl, Recipe) override { return false; }
    void fetch(QUrl, Recipe, Arbiter) override { }
    bool reclaim(QUrl, Recipe) override { return false; }
    void freeImage(Recipe, QUuid, QModelIndex) override { }
    void imageChanged(Recipe, QUuid, QModelIndex, IHarvest*) override { }
    bool isRaw(Recipe) override { return false; }
};

// Stands in for the library's session of folders: writes down what it is offered.
class HistoryFixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList offered MEMBER offered NOTIFY offeredChanged)
public:
    QStringList offered;
    // As the library's own: the files, and whether folders are walked.
    Q_INVOKABLE void offerAll(const QList<QUrl>& urls, bool recursive)
    {
        for (const QUrl& url : urls)
            offered << QFileInfo(url.toLocalFile()).fileName() + (recursive ? "/" : "");
        emit offeredChanged();
    }
    Q_INVOKABLE void clear()
    {
        offered.clear();
        emit offeredChanged();
    }

signals:
    void offeredChanged();
};

// A real router whose ticket record the pipeline dialogs' test fills.
class PipelineFixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject* router READ router CONSTANT)
public:
    RecipeRouter m_router;
    IdleProvider m_source;
    QTemporaryDir m_dir;
    PipelineFixture()
    {
        IProvider::setPipeline(&m_source, &m_router);
        m_router.setMounted(QStorageInfo::mountedVolumes());
    }
    QObject* router() { return &m_router; }
    Q_INVOKABLE QVariant session(int n) const { return QVariant::fromValue(sessionUuid(n)); }
    Q_INVOKABLE QUrl folder() const { return QUrl::fromLocalFile(m_dir.path()); }

    // An import of two files into the fixture's folder, finished.
    Q_INVOKABLE void finishImport(int session)
    {
        for (const char* name : { "a.jpg", "b.jpg" }) {
            Recipe r;
            r.provider = QStringLiteral("transfer");
            r.ioChannel = QStringLiteral("cam1");
            r.recipe = QJsonDocument(QJsonObject { { "file", name }, { "type", "jpg" } });
            r.fileSize = 3;
            const QString path = m_dir.filePath(QString::fromLatin1(name));
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write("abc");
            file.close();
            m_router.putRecipe(sessionUuid(session), QUrl::fromLocalFile(path), r, Arbiter(true, false));
            m_router.onComplete(QUrl::fromLocalFile(path), r);
        }
        m_router.start();
    }

    Q_INVOKABLE void file(int error, const QString& target, int session)
    {
        Recipe r;
        r.provider = QStringLiteral("transfer");
        r.ioChannel = QStringLiteral("cam1");
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

// The preset folder as the test sees it: files dropped in, and what the files say.
class PresetFixture : public QObject
{
    Q_OBJECT
public:
    QTemporaryDir dir;
    PresetFolder* folder = nullptr;

    Q_INVOKABLE void clear()
    {
        for (ImageProperties* preset : folder->presetList())
            folder->removePreset(preset);
    }
    // A preset file made a little later than the one before; false when the folder did
    // not list it in time.
    Q_INVOKABLE bool drop(const QString& fileName, const QString& name)
    {
        ostra::test::dropPreset(
            folder->folder() + "/" + fileName, name, 1000000000.0 + 1000 * folder->presetList().size());
        folder->rescan();
        // The folder is read on a thread of its own: the preset is listed when that is done.
        return QTest::qWaitFor([this] { return !folder->isScanning(); }, 20000);
    }
    Q_INVOKABLE QStringList onDisk() const { return ostra::test::presetsOnDisk(folder->folder()); }
    // The members a patch document holds: tone names, then geometry keys.
    Q_INVOKABLE QStringList patchKeys(QObject* properties) const
    {
        const QJsonObject top
            = QJsonDocument::fromJson(qobject_cast<ImageProperties*>(properties)->savePatch()).object();
        return top.value("colormetrics").toObject().keys() + top.value("geometry").toObject().keys();
    }
};

// Two generated pictures of one base name in two folders, and the folders exports go to.
class ExportFixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl first MEMBER m_first CONSTANT)
    Q_PROPERTY(QUrl second MEMBER m_second CONSTANT)
public:
    ExportFixture()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("a"));
        QDir(m_dir.path()).mkpath(QStringLiteral("b"));
        using ostra::test::PictureFiles;
        m_first = QUrl::fromLocalFile(
            PictureFiles::write(m_dir.filePath("a"), "IMG.7.vrx", PictureFiles::small(1)));
        m_second = QUrl::fromLocalFile(
            PictureFiles::write(m_dir.filePath("b"), "IMG.7.vrx", PictureFiles::small(2)));
    }
    // A new, empty folder for one test's exports.
    Q_INVOKABLE QUrl folder(const QString& name) { return QUrl::fromLocalFile(m_dir.filePath(name)); }
    // The names of the non-empty files in a folder.
    Q_INVOKABLE QStringList written(const QUrl& folder) const
    {
        QStringList names;
        for (const QFileInfo& info : QDir(folder.toLocalFile()).entryInfoList(QDir::Files, QDir::Name)) {
            if (info.size() > 0)
                names << info.fileName();
        }
        return names;
    }

private:
    QTemporaryDir m_dir;
    QUrl m_first;
    QUrl m_second;
};

class Setup : public QObject
{
    Q_OBJECT
public slots:
    void applicationAvailable()
    {
        ostra::test::useApplicationStyle();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        m_settings = new AppSettings(this);
        m_presets.folder = new PresetFolder(m_presets.dir.filePath("Presets"), this);
        m_settings->setPresetKeeper(m_presets.folder);
    }
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        ostra::initResources();
        QQmlContext* context = engine->rootContext();
        context->setContextProperty(QStringLiteral("recorder"), &m_recorder);
        context->setContextProperty(QStringLiteral("routerFixture"), &m_pipeline);
        context->setContextProperty(QStringLiteral("historyFixture"), &m_history);
        context->setContextProperty(QStringLiteral("presetFixture"), &m_presets);
        context->setContextProperty(QStringLiteral("exportFixture"), &m_exports);
        context->setContextProperty(QStringLiteral("screenChecks"), &m_screenChecks);
        // A file too large for the report to attach.
        QFile big(m_folder.filePath(QStringLiteral("big.bin")));
        if (big.open(QIODevice::WriteOnly))
            big.resize(3 * 1024 * 1024);
        context->setContextProperty(QStringLiteral("bigFile"), QUrl::fromLocalFile(big.fileName()));
    }

private:
    QTemporaryDir m_folder;
    AppSettings* m_settings = nullptr;
    Recorder m_recorder;
    PipelineFixture m_pipeline;
    HistoryFixture m_history;
    PresetFixture m_presets;
    ExportFixture m_exports;
    ScreenChecks m_screenChecks;
};

} // namespace

int main(int argc, char** argv)
{
    ostra::test::TestEnvironment environment;
    Setup setup;
    const QByteArray dir = QFile::encodeName(ostra::test::sourceDir() + QStringLiteral("/tests/app/dialogs"));
    return quick_test_main_with_setup(argc, argv, "dialogs", dir.constData(), &setup);
}

#include "tst_qmldialogs.moc"
