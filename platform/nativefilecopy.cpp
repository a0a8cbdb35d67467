#include "platform/nativefilecopy.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class SystemFileCalls : public IFileCalls
{
public:
    ssize_t copyFileRange(int in, int out, size_t length) override
    {
        return ::copy_file_range(in, nullptr, out, nullptr, length, 0);
    }
    ssize_t read(int fd, void* buffer, size_t length) override { return ::read(fd, buffer, length); }
    ssize_t write(int fd, const void* buffer, size_t length) override { return ::write(fd, buffer, length); }
    int fsync(int fd) override { return ::fsync(fd); }
};

// Errors after which read and write may still succeed where copy_file_range did not.
bool kernelCannotCopyRange(int error)
{
    return error == ENOSYS || error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOTSUP
        || error == EPERM || error == EBADF || error == ETXTBSY;
}

constexpr size_t kChunk = size_t(1) << 20;

} // namespace

IFileCalls& systemFileCalls()
{
    static SystemFileCalls calls;
    return calls;
}

NativeFileCopy::NativeFileCopy(IFileCalls& calls)
    : m_calls(calls)
{ }

bool NativeFileCopy::copy(const QString& source, const QString& target)
{
    m_error = 0;
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);

    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        m_error = errno;
        return false;
    }
    struct stat st;
    if (::fstat(in, &st) != 0)
        m_error = errno;
    else if (!S_ISREG(st.st_mode))
        m_error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (m_error != 0) {
        ::close(in);
        errno = m_error;
        return false;
    }

    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        // Nothing of ours to remove: the target, if any, belongs to someone else.
        m_error = errno;
        ::close(in);
        errno = m_error;
        return false;
    }

    bool ok = fill(in, out, st.st_size);
    if (ok && ::fchmod(out, st.st_mode & 07777 & ~(S_ISUID | S_ISGID)) != 0) {
        m_error = errno;
        ok = false;
    }
    if (ok) {
        const struct timespec times[2] = { st.st_atim, st.st_mtim };
        if (::futimens(out, times) != 0) {
            m_error = errno;
            ok = false;
        }
    }
    if (ok && m_calls.fsync(out) != 0) {
        m_error = errno;
        ok = false;
    }
    if (::close(out) != 0 && ok) {
        m_error = errno;
        ok = false;
    }
    ::close(in);
    if (!ok) {
        ::unlink(to.constData());
        errno = m_error;
    }
    return ok;
}

bool NativeFileCopy::fill(int in, int out, off_t size)
{
    bool first = true;
    off_t copied = 0;
    for (;;) {
        const ssize_t n = m_calls.copyFileRange(in, out, kChunk);
        if (n > 0) {
            first = false;
            // A whole chunk: more is likely to come, and the disk starts on this one.
            if (size_t(n) == kChunk)
                m_calls.startWriteback(out, copied, n);
            copied += n;
            continue;
        }
        if (n == 0) {
            // Some file systems report no data for files whose size they only learn by
            // reading (pseudo files); read those the plain way.
            if (first && size == 0)
                return readWriteFrom(in, out);
            return true;
        }
        if (errno == EINTR)
            continue;
        if (kernelCannotCopyRange(errno))
            return readWriteFrom(in, out);
        m_error = errno;
        return false;
    }
}

bool NativeFileCopy::readWriteFrom(int in, int out)
{
    std::vector<char> buffer(kChunk);
    off_t copied = ::lseek(out, 0, SEEK_CUR);
    for (;;) {
        const ssize_t got = m_calls.read(in, buffer.data(), kChunk);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            return false;
        }
        ssize_t written = 0;
        while (written < got) {
            const ssize_t put = m_calls.write(out, buffer.data() + written, size_t(got - written));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                m_error = errno;
                return false;
            }
            if (put == 0) {
                m_error = ENOSPC;
                return false;
            }
            written += put;
        }
        if (size_t(got) == kChunk)
            m_calls.startWriteback(out, copied, got);
        copied += got;
    }
}
