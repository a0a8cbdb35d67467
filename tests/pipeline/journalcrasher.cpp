// A second process for the journal crash test: imports two sessions of the same files
// through the real journal, router and copy workers into a folder, resuming from the
// journal at every start, until every file is in place; then prints "tickets N".
// Usage: pipeline_journalcrasher JOURNAL ROOT [KILL_AT [group]]; with KILL_AT the program
// kills itself right after that many completions journaled inside a scheduling pass or a
// group of local copies; with "group", counting only the completions of local copies made
// in groups (journaled together, their sources told to delete nothing before).

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSet>
#include <QStandardItemModel>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"

#include "journalcrashfiles.h"

namespace {

int killAt = -1;
bool inPass = false;
bool groupsOnly = false;
QSet<QUrl> fetched; // targets that the source wrote: the others were copied locally

// Dies inside an open pass transaction once its count of completions is reached.
class CrashingLogger : public RecipeLogger
{
public:
    void setBatch(bool open) override
    {
        RecipeLogger::setBatch(open);
        inPass = open;
    }
    void onComplete(QUrl target, Recipe recipe) override
    {
        RecipeLogger::onComplete(target, recipe);
        // Files under 1 KiB are copied at once inside the pass, the others by the volume's
        // copy thread, in groups.
        const bool grouped = !fetched.contains(target) && recipe.fileSize >= 1024;
        if (inPass && killAt >= 0 && (!groupsOnly || grouped) && killAt-- == 0)
            std::raise(SIGKILL);
    }
};

// Writes each file in small steps through a temporary name, as a camera session does;
// the small files arrive at once, inside the pass that asked for them.
class SlowSource : public IProvider
{
public:
    IFileSink* sink = nullptr;
    int capacity(QString) override { return 2; }
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink* pipeline) override { sink = pipeline; }
    Validator validator() override
    {
        return [](const QUrl& url, const Recipe& r) {
            return crashfiles::read(url.toLocalFile()) == crashfiles::content(r);
        };
    }
    bool adopt(QUrl, Recipe) override { return false; }
    void fetch(QUrl target, Recipe recipe, Arbiter) override
    {
        fetched.insert(target);
        const QString part = target.toLocalFile() + QStringLiteral(".part");
        const QByteArray bytes = crashfiles::content(recipe);
        auto* file = new QFile(part);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(part));
        if (bytes.size() < 1024) {
            file->write(bytes);
            finish(file, target, recipe);
            return;
        }
        auto* timer = new QTimer;
        QObject::connect(timer, &QTimer::timeout, [=] {
            file->write(bytes.mid(int(file->pos()), 4096));
            if (file->pos() < bytes.size())
                return;
            timer->deleteLater();
            finish(file, target, recipe);
        });
        timer->start(1);
    }
    bool reclaim(QUrl, Recipe) override { return false; }
    void freeImage(Recipe, QUuid, QModelIndex) override { }
    void imageChanged(Recipe, QUuid, QModelIndex, IHarvest*) override { }
    bool isRaw(Recipe r) override { return r.recipe.object().value("type").toString() == "vrx"; }

private:
    void finish(QFile* file, const QUrl& target, const Recipe& recipe)
    {
        file->close();
        if (!QFile::rename(file->fileName(), target.toLocalFile()))
            qFatal("cannot rename %s", qPrintable(file->fileName()));
        delete file;
        sink->onComplete(target, recipe);
    }
};

// A camera over a folder: fetches its files slowly, as SlowSource does, has the image
// service's verification stand in as a delayed check of the copy's content, and deletes
// a picture's files some time after it is told to. Pictures are claimed as a camera
// session claims them once listed.
class CameraSource : public IProvider
{
public:
    QString root;
    IFileSink* sink = nullptr;
    int pendingChecks = 0;
    int pendingDeletes = 0;
    QSet<int> verified;
    QSet<QUuid> freed;
    QStandardItemModel items { crashfiles::kCount / 2, 1 };

    int capacity(QString) override { return 2; }
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink* pipeline) override { sink = pipeline; }
    Validator validator() override
    {
        return [](const QUrl& url, const Recipe& r) {
            return crashfiles::read(url.toLocalFile()) == crashfiles::content(r);
        };
    }
    bool adopt(QUrl, Recipe) override { return false; }
    void fetch(QUrl target, Recipe recipe, Arbiter) override
    {
        const int i = recipe.recipe.object().value("file").toInt();
        const QByteArray bytes = crashfiles::read(crashfiles::cameraPath(root, i));
        if (bytes != crashfiles::content(recipe)) {
            QTimer::singleShot(0, [=] { sink->onObstacle(target, recipe, IFileSink::SrcLost); });
            return;
        }
        const QString part = target.toLocalFile() + QStringLiteral(".part");
        auto* file = new QFile(part);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(part));
        auto* timer = new QTimer;
        QObject::connect(timer, &QTimer::timeout, [=] {
            file->write(bytes.mid(int(file->pos()), 8192));
            if (file->pos() < bytes.size())
                return;
            timer->deleteLater();
            file->close();
            if (!QFile::rename(file->fileName(), target.toLocalFile()))
                qFatal("cannot rename %s", qPrintable(file->fileName()));
            delete file;
            sink->onComplete(target, recipe);
        });
        timer->start(1);
    }
    bool reclaim(QUrl, Recipe) override { return false; }
    void freeImage(Recipe, QUuid image, QModelIndex) override
    {
        freed.insert(image);
        ++pendingDeletes;
        QTimer::singleShot(3, [=] {
            --pendingDeletes;
            for (int i = 0; i < crashfiles::kCount; ++i) {
                if (crashfiles::cameraRecipe(i).imageUuid == image)
                    QFile::remove(crashfiles::cameraPath(root, i));
            }
        });
    }
    void imageChanged(Recipe, QUuid, QModelIndex, IHarvest*) override { }
    bool isRaw(Recipe r) override { return r.recipe.object().value("type").toString() == "vrx"; }

    // The image service's check of a raw copy, a little later.
    void check(QUrl target, Recipe recipe, bool sabotage)
    {
        ++pendingChecks;
        QTimer::singleShot(2, [=] {
            --pendingChecks;
            if (crashfiles::read(target.toLocalFile()) != crashfiles::content(recipe))
                return;
            const int i = recipe.recipe.object().value("file").toInt();
            sink->onVerified(target, recipe.imageUuid);
            verified.insert(i);
            // Only while the picture is still whole on the camera: removing a copy of a
            // picture already deleted there would lose it by the test's hand.
            if (sabotage && crashfiles::sabotaged(i) && !verified.contains(i ^ 1)
                && !freed.contains(recipe.imageUuid) && QFileInfo::exists(crashfiles::cameraPath(root, i))
                && QFileInfo::exists(crashfiles::cameraPath(root, i ^ 1)))
                QFile::remove(target.toLocalFile());
        });
    }

    // Lists the pictures still on the camera and claims them, as a camera session does.
    void claim()
    {
        for (int k = 0; k < crashfiles::kCount / 2; ++k) {
            if (QFileInfo::exists(crashfiles::cameraPath(root, 2 * k))
                || QFileInfo::exists(crashfiles::cameraPath(root, 2 * k + 1))) {
                // As a session does: a picture that is removable when listed goes at once.
                const QUuid image = crashfiles::cameraRecipe(2 * k).imageUuid;
                IHarvest* harvest = sink->claimIndex("transfer", "cam", image, items.index(k, 0));
                if (harvest && harvest->removable())
                    freeImage(Recipe(), image, items.index(k, 0));
            }
        }
        sink->onClaimAll("transfer", "cam");
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString root = QString::fromLocal8Bit(argv[2]);
    if (argc > 3)
        killAt = atoi(argv[3]);
    groupsOnly = argc > 4 && qstrcmp(argv[4], "group") == 0;
    // Camera modes: "earlier" imports the camera's files into folder "a"; "free" into
    // folder "b", deleting them on the camera once verified; "unmount" as "free", with
    // copies going away after their verification.
    const QString mode = qEnvironmentVariable("OSTRA_CRASH_CAMERA");
    SlowSource slow;
    CameraSource camera;
    camera.root = root;
    IProvider& source = mode.isEmpty() ? static_cast<IProvider&>(slow) : camera;
    RecipeRouter router;
    router.setMounted(QStorageInfo::mountedVolumes());
    CrashingLogger logger;
    logger.setDelegate(&router);
    logger.setDbConnString(QString::fromLocal8Bit(argv[1]));
    if (!logger.isOpen())
        return 3;
    IProvider::setPipeline(&source, &logger);
    if (!mode.isEmpty()) {
        QObject::connect(&logger, &IFileSink::needValidate,
            [&](QUrl target, Recipe recipe) { camera.check(target, recipe, mode == "unmount"); });
    }
    logger.start();
    if (mode.isEmpty()) {
        // A journaled file is already queued: its second put is refused.
        for (int s = 0; s < 2; ++s) {
            for (int i = 0; i < crashfiles::kCount; ++i)
                logger.putRecipe(
                    crashfiles::session(s), crashfiles::url(root, s, i), crashfiles::recipe(i), Arbiter());
        }
    } else {
        camera.claim();
        const int s = mode == "earlier" ? 0 : 1;
        logger.setBatch(true);
        for (int i = 0; i < crashfiles::kCount; ++i) {
            if (QFileInfo::exists(crashfiles::cameraPath(root, i)))
                logger.putRecipe(crashfiles::session(s), crashfiles::url(root, s, i),
                    crashfiles::cameraRecipe(i), Arbiter());
        }
        if (s == 1)
            logger.setFree(crashfiles::session(s));
        logger.setBatch(false);
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        // Done, or stuck on a ticket (the test then fails on the count).
        if ((router.hasRequests() && router.tickets()->count() == 0) || router.inFlightCount() > 0
            || logger.replaying() || router.checksPending() || router.passPending()
            || camera.pendingChecks > 0 || camera.pendingDeletes > 0)
            return;
        std::printf("tickets %d\n", router.tickets()->count());
        app.quit();
    });
    poll.start(5);
    return app.exec();
}
