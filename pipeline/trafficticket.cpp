#include "pipeline/trafficticket.h"

#include <QFileInfo>

#include "pipeline/interfaces/iochannel.h"

TrafficTicket::TrafficTicket(
    int error, const QUrl& target, const Recipe& recipe, const QUuid& session, const Volume& volume)
    : error(error)
    , scope(IFileSink::scopeOf(error))
    , target(target.toLocalFile())
    , folder(QFileInfo(this->target).absolutePath())
    , recipe(recipe)
    , session(session)
    , volume(volume)
{ }

bool TrafficTicket::sameScope(const TrafficTicket& first, const TrafficTicket& other, bool withErrors)
{
    if (withErrors && first.error != other.error)
        return false;
    switch (first.scope) {
    case IFileSink::TargetScope:
        return first.target == other.target;
    case IFileSink::RecipeScope:
        return first.recipe == other.recipe;
    case IFileSink::FolderScope:
        return first.folder == other.folder;
    case IFileSink::VolumeScope:
        return first.volume == other.volume;
    case IFileSink::DeviceScope:
        return IOChannel(first.recipe) == IOChannel(other.recipe);
    case IFileSink::SessionScope:
        return first.session == other.session;
    case IFileSink::ProviderScope:
        return first.recipe.provider == other.recipe.provider;
    case IFileSink::GlobalScope:
        return true;
    default:
        return false;
    }
}
