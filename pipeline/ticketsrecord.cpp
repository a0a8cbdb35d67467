#include "pipeline/ticketsrecord.h"

#include <QFileInfo>
#include <QMetaEnum>
#include <QStorageInfo>

#include "core/replytarget.h"
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
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

TicketsRecord::~TicketsRecord()
{
    // A read held by a volume that hangs ends on its own and tells no one.
    m_replies->close();
}

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
    const Facts* read = facts();
    return read ? read->size : 0;
}

qlonglong TicketsRecord::targetFree() const
{
    const Facts* read = facts();
    return read ? read->free : -1;
}

qlonglong TicketsRecord::recipeSize() const
{
    return current().recipe.fileSize;
}

bool TicketsRecord::targetExists() const
{
    const Facts* read = facts();
    return read && read->targetExists;
}

bool TicketsRecord::folderExists() const
{
    const Facts* read = facts();
    return read && read->folderExists;
}

const TicketsRecord::Facts* TicketsRecord::facts() const
{
    const TrafficTicket& ticket = current();
    return m_facts.read && m_facts.target == ticket.target && m_facts.folder == ticket.folder ? &m_facts
                                                                                              : nullptr;
}

void TicketsRecord::currentMoved()
{
    emit currentChanged();
    emit factsChanged();
    readFacts();
}

void TicketsRecord::readFacts()
{
    const TrafficTicket& ticket = current();
    if (ticket.target.isEmpty() && ticket.folder.isEmpty())
        return;
    if (m_reading) {
        m_readAgain = true;
        return;
    }
    // The task owns what it uses: it may outlive this object.
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    const std::function<void(const QString&)> hook = m_readHook;
    Facts wanted;
    wanted.target = ticket.target;
    wanted.folder = ticket.folder;
    m_reading = m_reads.start([this, replies, hook, wanted]() mutable {
        Facts read = wanted;
        if (hook)
            hook(read.folder.isEmpty() ? read.target : read.folder);
        if (!read.target.isEmpty()) {
            const QFileInfo target(read.target);
            read.targetExists = target.exists();
            read.size = read.targetExists ? target.size() : 0;
        }
        if (!read.folder.isEmpty()) {
            read.folderExists = QFileInfo(read.folder).isDir();
            // The folder may be gone: its nearest existing parent is on the same volume.
            QString existing = read.folder;
            while (!QFileInfo(existing).isDir() && QFileInfo(existing).path() != existing)
                existing = QFileInfo(existing).path();
            read.free = QStorageInfo(existing).bytesAvailable();
        }
        read.read = true;
        replies->post([this, read] {
            m_reading = false;
            m_facts = read;
            if (facts())
                emit factsChanged();
            // The current ticket moved on while this was read.
            if (std::exchange(m_readAgain, false) || !facts())
                readFacts();
        });
    });
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
    currentMoved();
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
        currentMoved();
    if (countBefore != m_tickets.size())
        emit countChanged();
}
