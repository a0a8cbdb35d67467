#include "app/automationclient.h"
#include "app/logging.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QFileOpenEvent>
#include <QLocalSocket>
#include <QThread>
#include <QThreadPool>
#include <QUrl>

#include "app/automationhost.h"
#include "app/startuplock.h"
#include "app/typeregistration.h"
#include "core/appsettings.h"

AutomationClient::AutomationClient(QObject* parent)
    : AutomationClient(serverName(), parent)
{ }

AutomationClient::AutomationClient(const QString& serverName, QObject* parent)
    : QObject(parent)
    , m_serverPath(serverPath(serverName))
{
    if (parent)
        parent->installEventFilter(this);
}

QString AutomationClient::serverName()
{
    const QString name = AppSettings::localSocketPath();
    return name.isEmpty() ? QString::fromLatin1(ostra::applicationId) : name;
}

QString AutomationClient::preemptKeyword()
{
    return QStringLiteral("--preempt");
}

QString AutomationClient::serverPath(const QString& name)
{
    if (QDir::isAbsolutePath(name))
        return name;
    return QDir(ostra::StartupLock::runtimeFolder()).absoluteFilePath(name);
}

QByteArray AutomationClient::encode(const QStringList& message)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_6);
    stream << message;
    return bytes;
}

bool AutomationClient::command(QStringList& args)
{
    return send(args) == Result::Delivered;
}

AutomationClient::Result AutomationClient::send(QStringList& args)
{
    QStringList message;
    const bool preempt = !args.isEmpty() && args.first() == preemptKeyword();
    if (preempt) {
        message << preemptKeyword();
        args.removeFirst();
    } else {
        // The running instance has a working folder of its own.
        for (const QString& arg : qAsConst(args))
            message << (arg.isEmpty() ? arg : QFileInfo(arg).absoluteFilePath());
    }

    Result result = deliver(encode(message));
    if (result == Result::NotTaken) {
        // An instance that hangs up without saying it took the message either quits (it
        // stopped listening first: this start is the instance now and opens the files
        // itself) or is of an older kind that never answers (it still listens, and took
        // them; sending them again would open them twice).
        result = listening() ? Result::Delivered : Result::NoInstance;
    }
    if (result != Result::Delivered || !preempt)
        return result;

    QThread::msleep(preemptPauseMs);
    if (!waitUntilGone())
        qCWarning(lcApp, "The running instance is still listening at %s", qPrintable(m_serverPath));
    return Result::Preempted;
}

AutomationClient::Result AutomationClient::deliver(const QByteArray& bytes)
{
    QLocalSocket socket;
    socket.connectToServer(m_serverPath, QIODevice::ReadWrite);
    if (!socket.waitForConnected(connectTimeoutMs))
        return Result::NoInstance;

    // Only bytes the system took count: a socket that fails drops what it still holds.
    qint64 sent = 0;
    connect(&socket, &QLocalSocket::bytesWritten, this, [&sent](qint64 count) { sent += count; });
    bool failed = socket.write(bytes) != bytes.size();
    const QDeadlineTimer deadline(writeTimeoutMs);
    while (!failed && sent < bytes.size()) {
        if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime())))
            && (deadline.hasExpired() || socket.state() != QLocalSocket::ConnectedState))
            failed = sent < bytes.size();
    }
    if (failed) {
        if (socket.state() != QLocalSocket::ConnectedState) {
            socket.abort();
            return Result::NotTaken;
        }
        qCWarning(lcApp, "Can't hand the command line to the running instance at %s: %s",
            qPrintable(m_serverPath), qPrintable(socket.errorString()));
        socket.abort();
        return Result::Failed;
    }

    // The instance answers once it has handed the files on.
    const QDeadlineTimer answerDeadline(writeTimeoutMs);
    while (socket.bytesAvailable() == 0 && socket.state() == QLocalSocket::ConnectedState
        && !answerDeadline.hasExpired())
        socket.waitForReadyRead(int(qMax<qint64>(1, answerDeadline.remainingTime())));
    const QByteArray answer = socket.read(1);
    if (answer.size() == 1 && answer.at(0) == AutomationHost::takenReply) {
        socket.disconnectFromServer();
        return Result::Delivered;
    }
    if (socket.state() == QLocalSocket::ConnectedState) {
        qCWarning(lcApp, "The running instance at %s did not say it took the command line",
            qPrintable(m_serverPath));
        socket.abort();
        return Result::Failed;
    }
    return Result::NotTaken;
}

bool AutomationClient::listening() const
{
    // A connection that sends nothing is no command.
    QLocalSocket probe;
    probe.connectToServer(m_serverPath, QIODevice::WriteOnly);
    const bool connected = probe.waitForConnected(connectTimeoutMs);
    probe.abort();
    return connected;
}

bool AutomationClient::waitUntilGone() const
{
    const QDeadlineTimer deadline(preemptTimeoutMs);
    for (;;) {
        if (!listening())
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
}

bool AutomationClient::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::FileOpen)
        return QObject::eventFilter(watched, event);
    const auto* open = static_cast<QFileOpenEvent*>(event);
    QStringList files;
    if (!open->file().isEmpty())
        files << open->file();
    else if (!open->url().isEmpty())
        files << open->url().toLocalFile();
    // Handed to this instance's own host, which answers on this thread: the wait for that
    // answer is a pool thread's.
    if (!files.isEmpty()) {
        const QString server = m_serverPath;
        QThreadPool::globalInstance()->start(QRunnable::create([server, files] {
            QStringList args = files;
            AutomationClient client(server);
            client.command(args);
        }));
    }
    return true;
}
