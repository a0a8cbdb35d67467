#pragma once

#include "pipeline/reciperouter.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace ostra::test {

// A harvest whose answers the test sets.
struct Harvest : IHarvest
{
    bool isRemovable = false;
    bool active() const override { return false; }
    bool complete() const override { return false; }
    bool removable() const override { return isRemovable; }
};

// An idle router that writes down what a source asks of it, one line per call ("put <file>
// <skip><overwrite>", "claim <uuid>", "released <file> <error>", ...); with `source` set it
// also fetches what is put to a target that does not exist yet, as the running router does.
class RecordingPipeline : public RecipeRouter
{
public:
    QStringList calls;
    Harvest harvest;
    IProvider* source = nullptr;

    QStringList named(const QString& prefix) const { return calls.filter(QRegularExpression("^" + prefix)); }
    static QString fileOf(const Recipe& r)
    {
        return r.recipe["file"].toString() + "." + r.recipe["type"].toString();
    }

    void setRoute(QString key, IProvider*) override { calls << "route " + key; }
    IHarvest* claimIndex(QString, QString, QUuid image, QModelIndex) override
    {
        calls << "claim " + image.toString();
        return &harvest;
    }
    void onClaimAll(QString, QString) override { calls << "claimAll"; }
    void onObstacle(QUrl, Recipe, IFileSink::Error e) override { calls << QString("obstacle %1").arg(e); }
    void onChanLost(QString, QString, IFileSink::Error e) override { calls << QString("chanLost %1").arg(e); }
    void onProgress(QUrl, Recipe, ProgressRatio) override { }
    void onComplete(QUrl, Recipe r) override { calls << "complete " + fileOf(r); }
    void onReleased(Recipe r, IFileSink::Error e) override
    {
        calls << QString("released %1 %2").arg(fileOf(r)).arg(e);
    }
    bool putRecipe(QUuid, QUrl url, Recipe r, Arbiter a) override
    {
        calls << QString("put %1 %2%3").arg(fileOf(r)).arg(a.skip).arg(a.overwrite);
        if (source && !QFileInfo::exists(url.toLocalFile()))
            QMetaObject::invokeMethod(
                this, [=] { source->fetch(url, r, a); }, Qt::QueuedConnection);
        return true;
    }
};

} // namespace ostra::test
