#include "platform/transferfile.h"

#include "platform/logging.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

PortableDevice::Result resultOf(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return PortableDevice::kDiskFull;
    case EROFS:
    case EACCES:
    case EPERM:
        return PortableDevice::kWriteProtected;
    case ENOENT:
    case ENOTDIR:
        return PortableDevice::kNotFound;
    default:
        return PortableDevice::kFailed;
    }
}

} // namespace

bool TransferFile::open(const QString& target)
{
    discard();
    m_target = target;
    m_temporary = target + QStringLiteral(".transfer");
    m_written = 0;
    m_writebackFrom = 0;
    const QByteArray temporary = QFile::encodeName(m_temporary);
    // The temporary file is ours once locked and still under its name: a copy that held
    // it may have renamed or removed it between our open and our lock.
    for (int attempt = 0; attempt < 8; ++attempt) {
        m_fd = ::open(temporary.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            m_openResult = resultOf(errno);
            qCWarning(lcPlatform) << "Cannot create" << m_temporary << strerror(errno);
            return false;
        }
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(m_fd);
            m_fd = -1;
            m_openResult = error == EWOULDBLOCK ? PortableDevice::kAlreadyExists : resultOf(error);
            qCWarning(lcPlatform) << "Cannot take" << m_temporary
                                  << (error == EWOULDBLOCK ? "another copy writes it" : strerror(error));
            return false;
        }
        struct stat held, named;
        if (::fstat(m_fd, &held) == 0 && ::stat(temporary.constData(), &named) == 0
            && held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            break;
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0 || ::ftruncate(m_fd, 0) != 0) {
        m_openResult = m_fd < 0 ? PortableDevice::kAlreadyExists : resultOf(errno);
        qCWarning(lcPlatform) << "Cannot take" << m_temporary;
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_openResult = PortableDevice::kOk;
    return true;
}

PortableDevice::Result TransferFile::write(const char* data, qint64 length)
{
    while (length > 0) {
        const ssize_t n = m_calls.write(m_fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const PortableDevice::Result result = resultOf(errno);
            return result == PortableDevice::kNotFound ? PortableDevice::kFailed : result;
        }
        if (n == 0)
            return PortableDevice::kDiskFull;
        data += n;
        length -= n;
        m_written += n;
    }
    // A large file goes to the disk as it comes, so the sync at its end waits for less.
    constexpr qint64 kWritebackStep = qint64(1) << 20;
    if (m_written - m_writebackFrom >= kWritebackStep) {
        m_calls.startWriteback(m_fd, off_t(m_writebackFrom), off_t(m_written - m_writebackFrom));
        m_writebackFrom = m_written;
    }
    return PortableDevice::kOk;
}

bool TransferFile::commit()
{
    if (!place())
        return false;
    syncFolder();
    return true;
}

bool TransferFile::place()
{
    m_placeResult = PortableDevice::kFailed;
    if (m_fd < 0)
        return false;
    const QByteArray temporary = QFile::encodeName(m_temporary);
    const QByteArray target = QFile::encodeName(m_target);
    bool ok = m_calls.fsync(m_fd) == 0;
    // Renamed while still locked: no other copy takes the file between its sync and its
    // rename.
    if (ok && !m_replaceTarget) {
        if (m_calls.renameNoReplace(temporary.constData(), target.constData()) != 0) {
            m_placeResult = errno == EEXIST ? PortableDevice::kAlreadyExists : PortableDevice::kFailed;
            qCWarning(lcPlatform) << "Cannot rename" << m_temporary << "to" << m_target << strerror(errno);
            ok = false;
        }
    } else if (ok && ::rename(temporary.constData(), target.constData()) != 0) {
        qCWarning(lcPlatform) << "Cannot rename" << m_temporary << "to" << m_target << strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.constData());
    // Synced before: a close that reports an error loses nothing.
    ::close(m_fd);
    m_fd = -1;
    if (ok)
        m_placeResult = PortableDevice::kOk;
    return ok;
}

bool TransferFile::syncFolder()
{
    return m_calls.syncFolder(QFile::encodeName(folder()).constData()) == 0;
}

QString TransferFile::folder() const
{
    return QFileInfo(m_target).absolutePath();
}

void TransferFile::discard()
{
    if (m_fd < 0)
        return;
    // Removed while still locked: never a file another copy took since.
    ::unlink(QFile::encodeName(m_temporary).constData());
    ::close(m_fd);
    m_fd = -1;
}
