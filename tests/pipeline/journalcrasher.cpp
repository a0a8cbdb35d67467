// A second process for the journal crash test: imports two sessions of the same files
// through the real journal, router and copy workers into a folder, resuming from the
// journal at every start, until every file is in place; then prints "tickets N".
// Usage: pipeline_journalcrasher JOURNAL ROOT [KILL_AT]; with KILL_AT the program kills
// itself right after that many completions journaled inside a scheduling pass.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
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
        if (inPass && killAt >= 0 && killAt-- == 0)
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString root = QString::fromLocal8Bit(argv[2]);
    if (argc > 3)
        killAt = atoi(argv[3]);
    SlowSource source;
    RecipeRouter router;
    CrashingLogger logger;
    logger.setDelegate(&router);
    logger.setDbConnString(QString::fromLocal8Bit(argv[1]));
    if (!logger.isOpen())
        return 3;
    IProvider::setPipeline(&source, &logger);
    logger.start();
    // A journaled file is already queued: its second put is refused.
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < crashfiles::kCount; ++i)
            logger.putRecipe(
                crashfiles::session(s), crashfiles::url(root, s, i), crashfiles::recipe(i), Arbiter());
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        // Done, or stuck on a ticket (the test then fails on the count).
        if ((router.hasRequests() && router.tickets()->count() == 0) || router.inFlightCount() > 0)
            return;
        std::printf("tickets %d\n", router.tickets()->count());
        app.quit();
    });
    poll.start(5);
    return app.exec();
}
