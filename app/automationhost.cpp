#include "app/automationhost.h"
#include "app/logging.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

#include "app/automationclient.h"

#include <sys/stat.h>

namespace {

bool isSocket(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode);
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
    listen();
}

AutomationHost::~AutomationHost()
{
    // The sockets are children of the server; only their timers need no callback.
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
        it.key()->disconnect(this);
    m_pending.clear();
}

void AutomationHost::listen()
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
            qCWarning(lcApp, "Can't listen at %s: it is in use", qPrintable(m_serverPath));
            return;
        }
    }
    m_listening = m_server->listen(m_serverPath);
    if (!m_listening)
        qCWarning(
            lcApp, "Can't listen at %s: %s", qPrintable(m_serverPath), qPrintable(m_server->errorString()));
}

void AutomationHost::setMessageLimits(qint64 maxBytes, int maxMs)
{
    m_maxBytes = maxBytes;
    m_maxMs = maxMs;
}

void AutomationHost::newConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        Pending& pending = m_pending[socket];
        pending.timer = new QTimer(socket);
        pending.timer->setSingleShot(true);
        connect(pending.timer, &QTimer::timeout, this, [this, socket] {
            qCWarning(lcApp, "A hand-off message did not end in time; keeping what arrived");
            finish(socket);
        });
        pending.timer->start(m_maxMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { finish(socket); });
        readFrom(socket);
        if (socket->state() == QLocalSocket::UnconnectedState)
            finish(socket);
    }
}

void AutomationHost::readFrom(QLocalSocket* socket)
{
    auto it = m_pending.find(socket);
    if (it == m_pending.end())
        return;
    const qint64 room = m_maxBytes - it->bytes.size();
    if (room > 0)
        it->bytes += socket->read(room);
    if (socket->bytesAvailable() > 0) {
        it->overflow = true;
        finish(socket);
    }
}

void AutomationHost::finish(QLocalSocket* socket)
{
    auto it = m_pending.find(socket);
    if (it == m_pending.end())
        return;
    if (!it->overflow) {
        const qint64 room = m_maxBytes - it->bytes.size();
        if (room > 0)
            it->bytes += socket->read(room);
        it->overflow = socket->bytesAvailable() > 0;
    }
    it->timer->stop();
    const QByteArray bytes = std::move(it->bytes);
    const bool overflow = it->overflow;
    m_pending.erase(it);

    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();

    const QStringList args = decode(bytes);
    if (overflow)
        qCWarning(lcApp, "A hand-off message exceeded %lld bytes; keeping its first %d entries",
            static_cast<long long>(m_maxBytes), args.size());
    emit command(args);
}

QStringList AutomationHost::decode(const QByteArray& bytes)
{
    QStringList result;
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 size = bytes.size();
    if (size < 4)
        return result;
    const quint32 count = qFromBigEndian<quint32>(data);
    // Every string takes at least its four length bytes.
    result.reserve(int(qMin<qint64>(count, (size - 4) / 4)));
    qint64 pos = 4;
    for (quint32 i = 0; i < count; ++i) {
        if (size - pos < 4)
            break;
        const quint32 length = qFromBigEndian<quint32>(data + pos);
        pos += 4;
        if (length == 0xffffffffu) {
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
    QList<QUrl> urls;
    urls.reserve(args.size());
    for (const QString& arg : qAsConst(args))
        urls << QUrl::fromLocalFile(arg);
    emit locations(urls);
}
