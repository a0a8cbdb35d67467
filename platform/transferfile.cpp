#include "platform/transferfile.h"

#include "platform/logging.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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
    m_fd = ::open(QFile::encodeName(m_temporary).constData(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    m_openResult = m_fd >= 0 ? PortableDevice::kOk : resultOf(errno);
    if (m_fd < 0)
        qCWarning(lcPlatform) << "Cannot create" << m_temporary << strerror(errno);
    return m_fd >= 0;
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
    if (m_fd < 0)
        return false;
    bool ok = m_calls.fsync(m_fd) == 0;
    ok = ::close(m_fd) == 0 && ok;
    m_fd = -1;
    if (ok
        && ::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_target).constData())
            != 0) {
        qCWarning(lcPlatform) << "Cannot rename" << m_temporary << "to" << m_target << strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(QFile::encodeName(m_temporary).constData());
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
    ::close(m_fd);
    m_fd = -1;
    ::unlink(QFile::encodeName(m_temporary).constData());
}
