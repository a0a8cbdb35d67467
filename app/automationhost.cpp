#include "app/automationhost.h"
#include "app/logging.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

#include "app/automationclient.h"

#include <sys/stat.h>

namespace {

// How often the host looks whether its server still listens.
constexpr int kServerCheckMs = 1000;

bool isSocket(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Identity of the file at `path` (0, 0 when there is none).
std::pair<quint64, quint64> fileId(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return { 0, 0 };
    return { quint64(info.st_dev), quint64(info.st_ino) };
}

} // namespace

AutomationHost::AutomationHost(QQuickItem* parent)
    : QQuickItem(parent)
    , m_server(new QLocalServer(this))
{
    m_serverPath = AutomationClient::serverPath(AutomationClient::serverName());

    connect(m_server, &QLocalServer::newConnection, this, &AutomationHost::newConnection);
    connect(this, &AutomationHost::command, this, &AutomationHost::execute);
    m_server->setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption);
    m_server->setMaxPendingConnections(m_maxConnections);
    m_listening = listen(true) == Listen::Listening;
    m_evictRetry = new QTimer(this);
    m_evictRetry->setSingleShot(true);
    m_evictRetry->setInterval(evictIdleMs);
    connect(m_evictRetry, &QTimer::timeout, this, &AutomationHost::newConnection);
    m_serverCheck = new QTimer(this);
    connect(m_serverCheck, &QTimer::timeout, this, &AutomationHost::checkServer);
    m_serverCheck->start(kServerCheckMs);
    // What arrives once the event loop has ended would reach no window.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            &AutomationHost::stopListening);
}

void AutomationHost::stopListening()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_serverCheck->stop();
    m_evictRetry->stop();
    // Connections not taken yet go with the server; closing it removes its socket, so the next
    // start finds no instance and opens its files itself.
    if (m_listening && isListening())
        m_server->close();
    m_listening = false;
    const QList<QLocalSocket*> reading = m_pending.keys();
    for (QLocalSocket* socket : reading) {
        m_pending[socket].timer->stop();
        m_pending[socket].idle->stop();
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_pending.clear();
    m_heldBytes = 0;
    for (Outgoing& message : m_outbox) {
        if (message.sender) {
            message.sender->abort();
            message.sender->deleteLater();
        }
    }
    m_outbox.clear();
}

bool AutomationHost::isListening() const
{
    // A server that closed itself after a failed accept() still says it listens; but it
    // removed its socket file.
    return m_server->isListening() && m_socketId.second != 0 && fileId(m_serverPath) == m_socketId;
}

void AutomationHost::checkServer()
{
    if (m_stopped || isListening())
        return;
    if (!m_listening) {
        // Another instance had the name: it is taken over once that one has gone (quit after
        // a "--preempt" that came while it was busy, or crashed). Asking costs the other one
        // a connection that sends nothing, which it ignores.
        if (listen(false) == Listen::Listening) {
            m_listening = true;
            qCInfo(lcApp, "Listening at %s now that the other instance has gone", qPrintable(m_serverPath));
        }
        return;
    }
    // The server closed itself (a failed accept(), such as one out of file descriptors, does
    // that and removes the socket): without listening again the next start would run as a
    // second instance. Closing it for good removes the socket file once more, so not when
    // another instance has made one meanwhile.
    if (fileId(m_serverPath).second != 0) {
        qCWarning(lcApp, "The hand-off server had closed and %s is taken now", qPrintable(m_serverPath));
        m_listening = false;
        return;
    }
    m_server->close();
    switch (listen(true)) {
    case Listen::Listening:
        qCWarning(lcApp, "The hand-off server had closed; listening again at %s", qPrintable(m_serverPath));
        break;
    case Listen::InUse:
        m_listening = false; // another instance has the name now
        break;
    case Listen::Failed:
        break; // tried again at the next check
    }
}

AutomationHost::~AutomationHost()
{
    // The sockets are children of the server; only their timers need no callback.
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
        it.key()->disconnect(this);
    m_pending.clear();
}

AutomationHost::Listen AutomationHost::listen(bool tell)
{
    // Listening replaces whatever file has the name, so look first: a socket nobody
    // answers on is left over from an instance that died and goes; a live one, or
    // anything that is not a socket, stays and this host does not listen.
    if (QFileInfo(m_serverPath).exists() || QFileInfo(m_serverPath).isSymLink()) {
        bool stale = false;
        if (isSocket(m_serverPath)) {
            QLocalSocket probe;
            probe.connectToServer(m_serverPath, QIODevice::WriteOnly);
            stale = !probe.waitForConnected(AutomationClient::connectTimeoutMs)
                && probe.error() == QLocalSocket::ConnectionRefusedError;
            probe.abort();
        }
        const bool gone = !QFileInfo(m_serverPath).exists() && !QFileInfo(m_serverPath).isSymLink();
        if (!gone && (!stale || !QLocalServer::removeServer(m_serverPath))) {
            if (tell)
                qCWarning(lcApp, "Can't listen at %s: it is in use", qPrintable(m_serverPath));
            return Listen::InUse;
        }
    }
    if (m_server->listen(m_serverPath)) {
        m_socketId = fileId(m_serverPath);
        return Listen::Listening;
    }
    if (tell)
        qCWarning(
            lcApp, "Can't listen at %s: %s", qPrintable(m_serverPath), qPrintable(m_server->errorString()));
    return Listen::Failed;
}

void AutomationHost::setMessageLimits(qint64 maxBytes, int maxMs)
{
    m_maxBytes = maxBytes;
    m_maxMs = maxMs;
}

void AutomationHost::setConnectionLimits(int maxConnections, qint64 maxTotalBytes)
{
    m_maxConnections = qMax(1, maxConnections);
    m_maxTotalBytes = maxTotalBytes;
    m_server->setMaxPendingConnections(m_maxConnections);
}

void AutomationHost::newConnection()
{
    // Past the bound, connections wait in the server's queue (and, once that is full, in
    // the system's) until one being read is done.
    for (;;) {
        if (m_pending.size() >= m_maxConnections) {
            // Others wait: the connection idle longest makes room, or one soon will.
            if (!m_server->hasPendingConnections() || evictIdle())
                break;
            m_evictRetry->start();
            break;
        }
        QLocalSocket* socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        Pending& pending = m_pending[socket];
        pending.quiet.start();
        pending.timer = new QTimer(socket);
        pending.timer->setSingleShot(true);
        connect(pending.timer, &QTimer::timeout, this, [this, socket] {
            qCWarning(lcApp, "A hand-off message did not end in time; keeping what arrived");
            finish(socket);
        });
        pending.timer->start(m_maxMs);
        pending.idle = new QTimer(socket);
        pending.idle->setSingleShot(true);
        connect(pending.idle, &QTimer::timeout, this, [this, socket] { finish(socket); });
        pending.idle->start(idleMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { finish(socket); });
        readFrom(socket);
        if (socket->state() == QLocalSocket::UnconnectedState)
            finish(socket);
    }
}

bool AutomationHost::evictIdle()
{
    QLocalSocket* idlest = nullptr;
    qint64 longest = -1;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        const qint64 quiet = it->quiet.elapsed();
        if (quiet > longest) {
            longest = quiet;
            idlest = it.key();
        }
    }
    if (!idlest || longest < evictIdleMs)
        return false;
    qCDebug(lcApp, "An idle hand-off connection makes room for another");
    finish(idlest);
    return true;
}

void AutomationHost::readFrom(QLocalSocket* socket)
{
    auto it = m_pending.find(socket);
    if (it == m_pending.end())
        return;
    const qint64 room = qMin(m_maxBytes - it->bytes.size(), m_maxTotalBytes - m_heldBytes);
    if (room > 0) {
        const qint64 before = it->bytes.size();
        it->bytes += socket->read(room);
        m_heldBytes += it->bytes.size() - before;
        if (it->bytes.size() > before) {
            it->quiet.restart();
            it->idle->start(idleMs);
        }
    }
    if (socket->bytesAvailable() > 0) {
        it->overflow = true;
        finish(socket);
    } else if (whole(*it)) {
        // The sender waits for the answer and does not hang up first.
        finish(socket);
    }
}

bool AutomationHost::whole(Pending& pending)
{
    const QByteArray& bytes = pending.bytes;
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    if (!pending.counted) {
        if (bytes.size() < 4)
            return false;
        pending.left = qFromBigEndian<quint32>(data);
        pending.counted = true;
    }
    // Walks only what arrived since the last call.
    while (pending.left > 0 && bytes.size() - pending.next >= 4) {
        const quint32 length = qFromBigEndian<quint32>(data + pending.next);
        const qint64 size = length == 0xffffffffu ? 4 : 4 + qint64(length);
        if (bytes.size() - pending.next < size)
            break;
        pending.next += size;
        --pending.left;
    }
    return pending.left == 0;
}

void AutomationHost::answerTaken(QLocalSocket* socket)
{
    // A sender of the older kind has hung up already; the answer is then lost, harmlessly.
    socket->write(&takenReply, 1);
    socket->flush();
    socket->abort();
    socket->deleteLater();
}

void AutomationHost::finish(QLocalSocket* socket)
{
    auto it = m_pending.find(socket);
    if (it == m_pending.end())
        return;
    if (!it->overflow) {
        const qint64 room = qMin(m_maxBytes - it->bytes.size(), m_maxTotalBytes - m_heldBytes);
        if (room > 0)
            it->bytes += socket->read(room);
        it->overflow = socket->bytesAvailable() > 0;
    }
    it->timer->stop();
    it->idle->stop();
    const bool overflow = it->overflow;
    const bool taken = !overflow && whole(*it);
    const QByteArray bytes = std::move(it->bytes);
    m_pending.erase(it);
    m_heldBytes = 0;
    for (const Pending& p : qAsConst(m_pending))
        m_heldBytes += p.bytes.size();

    socket->disconnect(this);
    // A connection waiting in the queue may be read now.
    QTimer::singleShot(0, this, &AutomationHost::newConnection);
    if (bytes.isEmpty()) {
        // Nothing was sent: an instance looking whether this one listens, no start.
        socket->abort();
        socket->deleteLater();
        return;
    }

    const QStringList args = decode(bytes, maxEntries + 1, true);
    if (overflow)
        qCWarning(lcApp, "A hand-off message exceeded %lld bytes; keeping its first %d entries",
            static_cast<long long>(qMin(m_maxBytes, m_maxTotalBytes)), int(qMin(args.size(), maxEntries)));
    if (args.size() > maxEntries)
        qCWarning(lcApp, "A hand-off message holds more than %d entries; keeping the first ones", maxEntries);
    const int queued = m_outbox.size();
    emit command(args.mid(0, maxEntries));
    if (!taken || m_stopped) {
        // Cut short, or the host quits while handing it on: what arrived is used, but the
        // sender is not told it was taken.
        socket->abort();
        socket->deleteLater();
        return;
    }
    // Queued behind other messages, or not handed on whole in one go: answered with its
    // last slice.
    if (m_outbox.size() > queued) {
        m_outbox.last().sender = socket;
        return;
    }
    answerTaken(socket);
    if (!args.isEmpty() && args.first() == AutomationClient::preemptKeyword())
        stopListening();
}

QStringList AutomationHost::decode(const QByteArray& bytes, int maxEntries, bool skipEmpty)
{
    QStringList result;
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 size = bytes.size();
    if (size < 4)
        return result;
    const quint32 count = qFromBigEndian<quint32>(data);
    // Every string takes at least its four length bytes.
    result.reserve(int(qMin<qint64>(qMin<qint64>(count, maxEntries), (size - 4) / 4)));
    qint64 pos = 4;
    for (quint32 i = 0; i < count && result.size() < maxEntries; ++i) {
        if (size - pos < 4)
            break;
        const quint32 length = qFromBigEndian<quint32>(data + pos);
        pos += 4;
        if (length == 0xffffffffu || (skipEmpty && length == 0)) {
            if (!skipEmpty)
                result << QString();
            continue;
        }
        if (length % 2 != 0 || length > size - pos)
            break;
        QString text(int(length / 2), Qt::Uninitialized);
        QChar* out = text.data();
        for (quint32 c = 0; c < length / 2; ++c)
            out[c] = QChar(qFromBigEndian<quint16>(data + pos + 2 * c));
        pos += length;
        result << text;
    }
    return result;
}

void AutomationHost::execute(QStringList args)
{
    if (args.isEmpty())
        return;
    if (args.first() == AutomationClient::preemptKeyword()) {
        emit suicide();
        return;
    }
    const bool idle = m_outbox.isEmpty();
    Outgoing message;
    for (const QString& arg : qAsConst(args))
        if (!arg.isEmpty())
            message.locations << QUrl::fromLocalFile(arg);
    if (message.locations.isEmpty())
        return;
    m_outbox << message;
    // The first slice goes at once, the rest one per turn of the event loop, so a long list
    // never holds the window up.
    if (idle)
        handOnSlice();
}

void AutomationHost::handOnSlice()
{
    if (m_outbox.isEmpty())
        return;
    Outgoing& message = m_outbox.first();
    const int left = message.locations.size() - message.sent;
    // No slice of one location unless the message had one: the window opens a single
    // picture by itself.
    const int n = left <= sliceSize + 1 ? left : sliceSize;
    const QList<QUrl> slice = message.locations.mid(message.sent, n);
    const bool continuing = message.sent > 0;
    message.sent += n;
    QPointer<QLocalSocket> done;
    if (message.sent >= message.locations.size()) {
        done = message.sender;
        m_outbox.removeFirst();
    }
    if (!m_outbox.isEmpty())
        QTimer::singleShot(0, this, &AutomationHost::handOnSlice);
    m_continuing = continuing;
    emit locations(slice);
    m_continuing = false;
    if (done)
        answerTaken(done);
}
