#pragma once

// A source driven by the test and a router over a real temporary folder.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>
#include <memory>

#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "support/filetree.h"

namespace routertest {

using ostra::test::writeTreeFile;

// Records what the router asks; files arrive only when the test delivers them.
class FakeProvider : public IProvider
{
public:
    struct Fetch
    {
        QUrl url;
        Recipe recipe;
        Arbiter arbiter;
    };

    int cap = 1;
    bool verifyAnswer = false;
    bool reclaimAnswer = true;
    IFileSink* sink = nullptr;
    QList<Fetch> fetches;
    QList<QUrl> reclaims;
    QList<QUuid> freed;
    std::function<void(QUuid)> onFree; // called as the source is told to delete an image

    int capacity(QString) override { return cap; }
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink* pipeline) override { sink = pipeline; }
    bool verify(QUrl, Recipe) override { return verifyAnswer; }
    Validator validator() override
    {
        return [](const QUrl& url, const Recipe& r) {
            return r.estimate || QFileInfo(url.toLocalFile()).size() == r.fileSize;
        };
    }
    bool adopt(QUrl, Recipe) override { return false; }
    void fetch(QUrl target, Recipe recipe, Arbiter arbiter) override
    {
        fetches.append({ target, recipe, arbiter });
    }
    bool reclaim(QUrl target, Recipe) override
    {
        reclaims << target;
        return reclaimAnswer;
    }
    void freeImage(Recipe, QUuid image, QModelIndex) override
    {
        freed << image;
        if (onFree)
            onFree(image);
    }
    void imageChanged(Recipe, QUuid, QModelIndex, IHarvest*) override { }
    bool isRaw(Recipe recipe) override { return recipe.recipe.object().value("type").toString() == "vrx"; }

    // The file of a fetch arrives under a temporary name and takes its place with one
    // rename, as a source does; then the source reports it.
    void deliver(int i)
    {
        const Fetch f = fetches.at(i);
        const QByteArray path = QFile::encodeName(f.url.toLocalFile());
        QFile file(QFile::decodeName(path + "~"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(int(f.recipe.fileSize), 'x')) >= 0);
        file.close();
        QVERIFY(std::rename((path + "~").constData(), path.constData()) == 0);
        sink->onComplete(f.url, f.recipe);
    }
    void deliver(const QUrl& url)
    {
        for (int i = 0; i < fetches.size(); ++i)
            if (fetches.at(i).url == url)
                return deliver(i);
        QFAIL("never fetched");
    }
};

inline Recipe recipe(const QString& file, qint64 size, const QString& type = QStringLiteral("vrx"))
{
    Recipe r;
    r.provider = QStringLiteral("transfer");
    r.ioChannel = QStringLiteral("cam1");
    r.recipe = QJsonDocument(QJsonObject { { "file", file }, { "type", type } });
    r.imageUuid = QUuid::createUuidV5(QUuid(), file);
    r.fileSize = size;
    return r;
}

inline QUuid session(int n)
{
    return QUuid(QStringLiteral("{00000000-0000-4000-8000-%1}").arg(n, 12, 10, QLatin1Char('0')));
}

// Lets every queued pass and signal run.
inline void settle()
{
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
}

// Lets every queued pass, with its questions to the file system (asked off the GUI
// thread), and every signal run.
inline void settle(RecipeRouter& router)
{
    for (int round = 0; round < 50; ++round) {
        QTRY_VERIFY(!router.passPending() && !router.checksPending());
        settle();
        if (!router.passPending() && !router.checksPending())
            return;
    }
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Fixture
{
    QTemporaryDir dir;
    FakeProvider source;
    std::unique_ptr<RecipeRouter> router = std::make_unique<RecipeRouter>();
    int maxInFlight = 0;

    // `mounted`: the router is given the mounted volumes (else it waits for them).
    explicit Fixture(bool mounted = true)
    {
        IProvider::setPipeline(&source, router.get());
        if (mounted)
            router->setMounted(QStorageInfo::mountedVolumes());
        QObject::connect(router.get(), &RecipeRouter::inFlightCountChanged, router.get(),
            [this] { maxInFlight = qMax(maxInFlight, router->inFlightCount()); });
        router->start();
    }
    void settle() { routertest::settle(*router); }
    QString path(const QString& relative) const { return dir.filePath(relative); }
    QUrl url(const QString& relative) const { return QUrl::fromLocalFile(path(relative)); }
    bool put(int s, const QString& relative, const Recipe& r, Arbiter a = Arbiter())
    {
        return router->putRecipe(session(s), url(relative), r, a);
    }
    // Fetches, delivers and completes one file.
    void imported(int s, const QString& relative, const Recipe& r)
    {
        const int before = source.fetches.size();
        QVERIFY(put(s, relative, r));
        QTRY_COMPARE(source.fetches.size(), before + 1);
        source.deliver(before);
        settle();
    }
};

} // namespace routertest
