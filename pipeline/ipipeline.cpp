#include "pipeline/ipipeline.h"

IPipeline::IPipeline(QObject* parent)
    : IFileSink(parent)
{ }

void IPipeline::setPolicy(TrafficTicket ticket, bool skip, bool overwrite)
{
    clarify(ticket, Arbiter(skip, overwrite));
}

void IPipeline::onHold(TrafficTicket ticket)
{
    const QList<QUuid> reached = sessions(ticket);
    for (const QUuid& session : reached)
        setLive(session, false);
}

void IPipeline::revive(TrafficTicket ticket)
{
    const QList<QUuid> reached = sessions(ticket);
    // The block that the ticket stands for goes with it, also when the answer was widened
    // to the session or to all files: a channel or a volume left blocked moves nothing.
    if (ticket.scope == VolumeScope || (ticket.error & (IFileSink::NoSpace | IFileSink::NoDrive)))
        unblockVolume(ticket.volume);
    if (ticket.scope == DeviceScope || (ticket.error & (IFileSink::IOPause | IFileSink::IOError)))
        unblockChannel(ticket.recipe);
    if (reached.isEmpty()) {
        if (ticket.scope == TargetScope) {
            revive(QUrl::fromLocalFile(ticket.target));
        } else {
            const QList<QUrl> targets = urls(ticket.recipe);
            for (const QUrl& url : targets)
                revive(url);
        }
        return;
    }
    for (const QUuid& session : reached)
        setLive(session, IFileSink::Error(ticket.error));
}

void IPipeline::recall(TrafficTicket ticket)
{
    if (ticket.scope == TargetScope) {
        recall(QUrl::fromLocalFile(ticket.target));
        return;
    }
    if (ticket.scope == RecipeScope) {
        const QList<QUrl> targets = urls(ticket.recipe);
        for (const QUrl& url : targets)
            recall(url);
        return;
    }
    setBatch(true);
    const QList<QUuid> reached = sessions(ticket);
    for (const QUuid& session : reached) {
        const QList<QUrl> targets = urls(session, IFileSink::Error(ticket.error));
        for (const QUrl& url : targets)
            recall(url);
    }
    setBatch(false);
}
