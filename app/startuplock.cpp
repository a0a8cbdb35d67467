#include "app/startuplock.h"
#include "app/logging.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ostra {

namespace {
// How often a waiting start looks whether the lock is free.
constexpr qint64 kPollMs = 100;
} // namespace

QString StartupLock::runtimeFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

StartupLock::StartupLock(const QString& name)
    : m_path(QDir(runtimeFolder()).absoluteFilePath(name + QStringLiteral(".lock")))
{ }

StartupLock::~StartupLock()
{
    release();
    if (m_fd >= 0)
        ::close(m_fd);
}

bool StartupLock::open()
{
    if (m_fd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(m_path);
    do {
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        qCWarning(lcApp, "Can't open the start-up lock %s: %s", path.constData(), std::strerror(errno));
        return false;
    }
    return true;
}

bool StartupLock::lock(bool wait)
{
    if (m_held)
        return true;
    if (!open())
        return false;
    int rc;
    do {
        rc = ::flock(m_fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        m_busy = errno == EWOULDBLOCK;
        if (wait || !m_busy)
            qCWarning(lcApp, "Can't take the start-up lock %s: %s", qPrintable(m_path), std::strerror(errno));
        return false;
    }
    m_held = true;
    return true;
}

bool StartupLock::tryAcquire()
{
    return lock(false);
}

bool StartupLock::acquire(int timeoutMs)
{
    if (lock(false))
        return true;
    if (m_fd < 0 || !m_busy)
        return false;
    qCDebug(lcApp, "Waiting for another start to finish");
    // A start that hangs before its window listens keeps the lock for as long as it lives:
    // the wait for it is bounded, so later starts still come up.
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QThread::msleep(ulong(qBound<qint64>(1, deadline.remainingTime(), kPollMs)));
        if (lock(false))
            return true;
        if (!m_busy)
            return false;
    }
    qCWarning(lcApp, "Another start has held the start-up lock %s for %d s; going on without it",
        qPrintable(m_path), (timeoutMs + 999) / 1000);
    return false;
}

void StartupLock::release()
{
    if (!m_held)
        return;
    ::flock(m_fd, LOCK_UN);
    m_held = false;
}

} // namespace ostra
