#include "core/threadedwatcher.h"

#include <QFileSystemWatcher>
#include <QThread>

#include "core/replytarget.h"

namespace {
// How long the owner's end waits for an ask of the disk under way.
constexpr unsigned long kAnsweredWithinMs = 200;
} // namespace

// The watcher itself, made on the watching thread, with the serial number of the ask each
// of its paths came from (so that a change told of a path asked for again is not mistaken
// for the new watch's).
struct ThreadedWatcher::Side : public QObject
{
    QFileSystemWatcher* watcher = nullptr;
    QHash<QString, quint64> serials;
    std::shared_ptr<ReplyTarget> replies;
    ThreadedWatcher* owner;

    Side(std::shared_ptr<ReplyTarget> r, ThreadedWatcher* o)
        : replies(std::move(r))
        , owner(o)
    { }

    QFileSystemWatcher& theWatcher()
    {
        if (!watcher) {
            watcher = new QFileSystemWatcher(this);
            connect(watcher, &QFileSystemWatcher::directoryChanged, this,
                [this](const QString& path) { tell(path, true); });
            connect(watcher, &QFileSystemWatcher::fileChanged, this,
                [this](const QString& path) { tell(path, false); });
        }
        return *watcher;
    }

    void tell(const QString& path, bool directory)
    {
        const bool still
            = directory ? watcher->directories().contains(path) : watcher->files().contains(path);
        const quint64 serial = serials.value(path);
        if (!still)
            serials.remove(path);
        ThreadedWatcher* o = owner;
        replies->post([o, path, serial, still, directory] { o->onChanged(path, serial, still, directory); });
    }
};

ThreadedWatcher::ThreadedWatcher(QObject* parent)
    : QObject(parent)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

ThreadedWatcher::~ThreadedWatcher()
{
    m_replies->close();
    if (!m_thread)
        return;
    connect(m_thread, &QThread::finished, m_side, &QObject::deleteLater);
    // Should the thread outlive the wait below, it goes once it ends (a later delete of it
    // here drops this).
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->quit();
    // Nothing asked of the disk, or an ask answered at once: the thread ends now. One held on
    // the disk ends once the watch it asks for is answered (which may never come), its
    // watcher with it; nobody waits for it longer.
    if (m_asking == 0 || m_thread->wait(kAnsweredWithinMs)) {
        m_thread->wait();
        delete m_thread;
    }
}

void ThreadedWatcher::start()
{
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("FolderWatch"));
    m_side = new Side(m_replies, this);
    m_side->moveToThread(m_thread);
    m_thread->start();
}

bool ThreadedWatcher::addPath(const QString& path)
{
    if (path.isEmpty() || m_paths.contains(path))
        return false;
    if (!m_thread)
        start();
    const quint64 serial = ++m_serial;
    m_paths.insert(path, serial);
    ++m_asking;
    Side* side = m_side;
    QMetaObject::invokeMethod(
        side,
        [this, side, path, serial] {
            const bool ok = side->theWatcher().addPath(path);
            if (ok)
                side->serials.insert(path, serial);
            side->replies->post([this, path, serial, ok] { onAdded(path, serial, ok); });
        },
        Qt::QueuedConnection);
    return true;
}

void ThreadedWatcher::removePath(const QString& path)
{
    if (!m_paths.remove(path))
        return;
    Side* side = m_side;
    QMetaObject::invokeMethod(
        side,
        [side, path] {
            side->serials.remove(path);
            if (side->watcher)
                side->watcher->removePath(path);
        },
        Qt::QueuedConnection);
}

void ThreadedWatcher::removePaths(const QStringList& paths)
{
    for (const QString& path : paths)
        removePath(path);
}

void ThreadedWatcher::onAdded(const QString& path, quint64 serial, bool ok)
{
    --m_asking;
    const auto it = m_paths.find(path);
    if (it == m_paths.end() || it.value() != serial)
        return; // removed, or asked for again, since
    if (!ok)
        m_paths.erase(it);
    emit added(path, ok);
}

void ThreadedWatcher::onChanged(const QString& path, quint64 serial, bool stillWatched, bool directory)
{
    const auto it = m_paths.find(path);
    if (it == m_paths.end() || it.value() != serial)
        return; // of a watch removed since
    if (!stillWatched)
        m_paths.erase(it);
    if (directory)
        emit directoryChanged(path);
    else
        emit fileChanged(path);
}
