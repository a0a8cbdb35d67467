#pragma once

#include "pipeline/ipipeline.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace ostra::test {

// A harvest whose answers the test sets.
struct Harvest : IHarvest
{
    bool isActive = false, isComplete = false, isRemovable = false;
    bool active() const override { return isActive; }
    bool complete() const override { return isComplete; }
    bool removable() const override { return isRemovable; }
};

// Writes down what a source asks of its pipeline, one line per call ("put <file> <skip><overwrite>",
// "complete <file>", "claim <uuid>", "released <file> <error>", ...); with `source` set it also
// fetches what is put to a target that does not exist yet, as the router does.
class RecordingPipeline : public IPipeline
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

    void setFront(IFileSink*) override { }
    void setRoute(QString key, IProvider*) override { calls << "route " + key; }
    void onVerified(QUrl, QUuid) override { }
    IHarvest* claimIndex(QString, QString, QUuid image, QModelIndex) override
    {
        calls << "claim " + image.toString();
        return &harvest;
    }
    void onClaimAll(QString, QString) override { calls << "claimAll"; }
    void setDate(QUuid, QDateTime) override { }
    void setBatch(bool) override { }
    void onObstacle(QUrl, Recipe, IFileSink::Error e) override { calls << QString("obstacle %1").arg(e); }
    void onChanLost(QString, QString, IFileSink::Error e) override { calls << QString("chanLost %1").arg(e); }
    void onRecovery(QString, QString) override { calls << "recovery"; }
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
    void setFree(QUuid, Recipe) override { }
    void setFree(QUuid) override { }
    void setLive(QUuid, bool) override { }
    bool hasMore(QUuid) override { return false; }
    void dismiss(QUuid) override { }
    void clarify(TrafficTicket, Arbiter) override { }
    bool hasFile(QUrl) override { return false; }
    bool hasRequests() override { return false; }
    void setLive(QUuid, IFileSink::Error) override { }
    void unblockChannel(Recipe) override { }
    void unblockVolume(Volume) override { }
    void revive(QUrl) override { }
    bool recall(QUrl) override { return false; }
    QList<QUuid> sessions() override { return {}; }
    QList<QUuid> sessions(TrafficTicket) override { return {}; }
    QList<QUrl> urls(QUuid, IFileSink::Error) override { return {}; }
    QList<QUrl> urls(Recipe) override { return {}; }
    ProgressModel* footprint() override { return nullptr; }
    ProgressModel* footprint(QUuid) override { return nullptr; }
    ProgressModel* footprint(QUrl) override { return nullptr; }
    QAbstractItemModel* model() override { return nullptr; }
    QList<QUrl> files(QUuid) override { return {}; }
    void start() override { }
    void touch() override { }
    void clear() override { }
};

} // namespace ostra::test
