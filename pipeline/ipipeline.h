#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QUrl>
#include <QUuid>

#include "core/progressmodel.h"
#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/arbiter.h"
#include "pipeline/interfaces/volume.h"
#include "pipeline/trafficticket.h"

// A transfer pipeline: requests in, scheduling, and the user's decisions on tickets.
// The scheduler and the journal implement every operation, in this order.
class IPipeline : public IFileSink
{
    Q_OBJECT
    Q_PROPERTY(QAbstractItemModel* model READ model NOTIFY modelChanged)
    Q_PROPERTY(ProgressModel* progressModel READ footprint CONSTANT)
public:
    explicit IPipeline(QObject* parent = nullptr);

    // 14-39.
    // False when the file was not queued.
    virtual bool putRecipe(QUuid session, QUrl url, Recipe recipe, Arbiter arbiter) = 0;
    virtual void setFree(QUuid session, Recipe recipe) = 0;
    virtual void setFree(QUuid session) = 0;
    Q_INVOKABLE virtual void setLive(QUuid session, bool live) = 0;
    Q_INVOKABLE virtual bool hasMore(QUuid session) = 0;
    Q_INVOKABLE virtual void dismiss(QUuid session) = 0;
    virtual void clarify(TrafficTicket ticket, Arbiter arbiter) = 0;
    virtual bool hasFile(QUrl file) = 0;
    virtual bool hasRequests() = 0;
    // Whether files of that source and channel (a camera) are still to be copied, or wait
    // for a decision: the source must stay connected for them.
    virtual bool hasRequests(QString provider, QString ioChannel) = 0;
    virtual void setLive(QUuid session, IFileSink::Error error) = 0;
    virtual void unblockChannel(Recipe recipe) = 0;
    virtual void unblockVolume(Volume volume) = 0;
    virtual void revive(QUrl url) = 0;
    // True when the request is withdrawn (its journal row may go).
    virtual bool recall(QUrl url) = 0;
    virtual QList<QUuid> sessions() = 0;
    virtual QList<QUuid> sessions(TrafficTicket ticket) = 0;
    virtual QList<QUrl> urls(QUuid session, IFileSink::Error error) = 0;
    virtual QList<QUrl> urls(Recipe recipe) = 0;
    Q_INVOKABLE virtual ProgressModel* footprint() = 0;
    Q_INVOKABLE virtual ProgressModel* footprint(QUuid session) = 0;
    Q_INVOKABLE virtual ProgressModel* footprint(QUrl path) = 0;
    virtual QAbstractItemModel* model() = 0;
    Q_INVOKABLE virtual QList<QUrl> files(QUuid session) = 0;
    Q_INVOKABLE virtual void start() = 0;
    Q_INVOKABLE virtual void touch() = 0;
    Q_INVOKABLE virtual void clear() = 0;

    // The user's decision on a ticket: clarify with skip and overwrite.
    Q_INVOKABLE void setPolicy(TrafficTicket ticket, bool skip, bool overwrite);
    // Holds every session the ticket reaches.
    Q_INVOKABLE void onHold(TrafficTicket ticket);
    // Makes the requests the ticket reaches live again.
    Q_INVOKABLE void revive(TrafficTicket ticket);
    // Withdraws the requests the ticket reaches.
    Q_INVOKABLE void recall(TrafficTicket ticket);

signals:
    void modelChanged();
};

Q_DECLARE_METATYPE(IPipeline*)
