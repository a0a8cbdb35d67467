#pragma once

// What the transfer benchmarks share: a durable copy done where it is called, and a source
// that answers each fetch with such a copy on its next turn of the event loop.

#include "pipeline/filecopy.h"
#include "pipeline/ifilesink.h"
#include "pipeline/iprovider.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QMetaObject>
#include <QObject>

namespace bench {

inline bool copyNow(const QString& source, const QString& target)
{
    FileCopy copy;
    const QFileInfo info(source);
    copy.source = source;
    copy.size = info.size();
    copy.modified = info.lastModified();
    copy.target = target;
    copy.appendix = QStringLiteral(".transfer");
    bool ok = false;
    QObject::connect(
        &copy, &FileCopy::onCopied, [&ok](QString, Recipe, Volume, bool success) { ok = success; });
    copy.copy();
    return ok;
}

class InstantSource : public QObject, public IProvider
{
public:
    IFileSink* sink = nullptr;

    int capacity(QString) override { return 4; }
    QString routeKey() override { return QStringLiteral("transfer"); }
    void attach(IFileSink* pipeline) override { sink = pipeline; }
    Validator validator() override
    {
        return [](const QUrl&, const Recipe&) { return true; };
    }
    bool adopt(QUrl, Recipe) override { return false; }
    void fetch(QUrl target, Recipe recipe, Arbiter) override
    {
        QMetaObject::invokeMethod(
            this,
            [this, target, recipe] {
                if (!copyNow(recipe.recipe.object().value("file").toString(), target.toLocalFile()))
                    qFatal("copy failed");
                sink->onComplete(target, recipe);
            },
            Qt::QueuedConnection);
    }
    bool reclaim(QUrl, Recipe) override { return false; }
    void freeImage(Recipe, QUuid, QModelIndex) override { }
    void imageChanged(Recipe, QUuid, QModelIndex, IHarvest*) override { }
    bool isRaw(Recipe) override { return true; }
};

} // namespace bench
