#include "app/startuplock.h"
#include "app/logging.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace ostra {

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
        if (wait || errno != EWOULDBLOCK)
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

bool StartupLock::acquire()
{
    if (lock(false))
        return true;
    if (m_fd < 0)
        return false;
    qCDebug(lcApp, "Waiting for another start to finish");
    return lock(true);
}

void StartupLock::release()
{
    if (!m_held)
        return;
    ::flock(m_fd, LOCK_UN);
    m_held = false;
}

} // namespace ostra
