#include "pipeline/ticketsrecord.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QStorageInfo>

#include "pipeline/foldermaker.h"

namespace {

bool sameTicket(const TrafficTicket& a, const TrafficTicket& b)
{
    return a.error == b.error && a.scope == b.scope && a.target == b.target && a.folder == b.folder
        && a.recipe == b.recipe && a.session == b.session && a.volume == b.volume;
}

QUrl localUrl(const QString& path)
{
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
}

} // namespace

TicketsRecord::TicketsRecord(QObject* parent)
    : QObject(parent)
{ }

const TrafficTicket& TicketsRecord::current() const
{
    return m_tickets.isEmpty() ? m_default : m_tickets.first();
}

QUrl TicketsRecord::target() const
{
    return localUrl(current().target);
}

QUrl TicketsRecord::folder() const
{
    return localUrl(current().folder);
}

QUrl TicketsRecord::volume() const
{
    return localUrl(current().volume.rootPath);
}

QString TicketsRecord::targetName() const
{
    return QFileInfo(current().target).fileName();
}

QString TicketsRecord::folderName() const
{
    return QFileInfo(current().folder).fileName();
}

QString TicketsRecord::volumeName() const
{
    return current().volume.rootPath;
}

qlonglong TicketsRecord::targetSize() const
{
    return current().target.isEmpty() ? 0 : QFileInfo(current().target).size();
}

qlonglong TicketsRecord::targetFree() const
{
    if (current().folder.isEmpty())
        return 0;
    // The folder may be gone: its nearest existing parent is on the same volume.
    QString existing = current().folder;
    while (!QFileInfo(existing).isDir() && QFileInfo(existing).path() != existing)
        existing = QFileInfo(existing).path();
    return QStorageInfo(existing).bytesAvailable();
}

qlonglong TicketsRecord::recipeSize() const
{
    return current().recipe.fileSize;
}

bool TicketsRecord::targetExists() const
{
    return !current().target.isEmpty() && QFileInfo::exists(current().target);
}

bool TicketsRecord::folderExists() const
{
    return !current().folder.isEmpty() && QFileInfo(current().folder).isDir();
}

bool TicketsRecord::isEstimate() const
{
    return current().recipe.estimate;
}

bool TicketsRecord::localScope() const
{
    return current().localScope();
}

bool TicketsRecord::driveScope() const
{
    return current().driveScope();
}

QString TicketsRecord::subsystem() const
{
    return current().recipe.provider;
}

int TicketsRecord::error() const
{
    return current().error;
}

QString TicketsRecord::errorType() const
{
    const char* key = QMetaEnum::fromType<IFileSink::Error>().valueToKey(current().error);
    return key ? QString::fromLatin1(key) : QString::number(current().error);
}

void TicketsRecord::mkdirs()
{
    if (!current().folder.isEmpty())
        makeFolderOf(current().folder);
}

TrafficTicket TicketsRecord::resolve(bool toSameSet, bool toAllSets)
{
    if (m_tickets.isEmpty())
        return m_default;
    const int countBefore = m_tickets.size();
    TrafficTicket taken = m_tickets.takeFirst();
    if (toAllSets)
        taken.scope = IFileSink::GlobalScope;
    else if (toSameSet)
        taken.scope = IFileSink::SessionScope;
    for (int i = m_tickets.size() - 1; i >= 0; --i) {
        if (TrafficTicket::sameScope(taken, m_tickets.at(i), true))
            m_tickets.removeAt(i);
    }
    emit currentChanged();
    if (m_tickets.size() != countBefore)
        emit countChanged();
    return taken;
}

TrafficTicket TicketsRecord::resolve(bool toSameSet)
{
    return resolve(toSameSet, false);
}

TrafficTicket TicketsRecord::resolve()
{
    return resolve(false, false);
}

void TicketsRecord::file(const TrafficTicket& ticket, bool channelError)
{
    const bool hadFirst = !m_tickets.isEmpty();
    const TrafficTicket firstBefore = current();
    const int countBefore = m_tickets.size();
    int replaced = -1;
    if (channelError) {
        for (int i = 0; i < m_tickets.size(); ++i) {
            // Only another channel ticket: a question about one file stays open.
            if (m_tickets.at(i).scope != IFileSink::DeviceScope
                || !TrafficTicket::sameScope(ticket, m_tickets.at(i), false))
                continue;
            if (replaced < 0) {
                m_tickets[i] = ticket;
                replaced = i;
            } else {
                m_tickets.removeAt(i--);
            }
        }
    }
    if (replaced < 0)
        m_tickets.append(ticket);
    announce(firstBefore, hadFirst, countBefore);
}

void TicketsRecord::dropChannel(const IOChannel& channel)
{
    const bool hadFirst = !m_tickets.isEmpty();
    const TrafficTicket firstBefore = current();
    const int countBefore = m_tickets.size();
    for (int i = m_tickets.size() - 1; i >= 0; --i) {
        const TrafficTicket& t = m_tickets.at(i);
        if (t.scope == IFileSink::DeviceScope && IOChannel(t.recipe) == channel)
            m_tickets.removeAt(i);
    }
    announce(firstBefore, hadFirst, countBefore);
}

void TicketsRecord::announce(const TrafficTicket& firstBefore, bool hadFirst, int countBefore)
{
    if (hadFirst != !m_tickets.isEmpty() || (hadFirst && !sameTicket(firstBefore, m_tickets.first())))
        emit currentChanged();
    if (countBefore != m_tickets.size())
        emit countChanged();
}
