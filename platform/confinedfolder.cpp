#include "platform/confinedfolder.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(const char* what, const QString& name)
{
    return QStringLiteral("%1 %2: %3")
        .arg(QLatin1String(what), name, QString::fromLocal8Bit(std::strerror(errno)));
}

// Opens the folder `name` inside `parent` without following a link; on `device` only.
int openFolderAt(int parent, const QString& name, quint64 device, bool create, QString* error)
{
    const QByteArray native = QFile::encodeName(name);
    if (create && ::mkdirat(parent, native.constData(), 0755) != 0 && errno != EEXIST) {
        *error = errnoText("cannot make", name);
        return -1;
    }
    const int fd = ::openat(parent, native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = errnoText("cannot open folder", name);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || quint64(st.st_dev) != device) {
        *error = QStringLiteral("%1 is not a folder of the volume").arg(name);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

ConfinedFolder::ConfinedFolder(ConfinedFolder&& other) noexcept
    : m_fd(other.m_fd)
    , m_device(other.m_device)
{
    other.m_fd = -1;
}

ConfinedFolder& ConfinedFolder::operator=(ConfinedFolder&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        m_device = other.m_device;
        other.m_fd = -1;
    }
    return *this;
}

ConfinedFolder::~ConfinedFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

quint64 ConfinedFolder::deviceOf(const QString& root)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(root);
    if (root.isEmpty() || ::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    return quint64(st.st_dev);
}

ConfinedFolder ConfinedFolder::open(
    const QString& root, const QString& name, quint64 device, bool create, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (root.isEmpty() || name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String("..")
        || name == QLatin1String(".")) {
        *error = QStringLiteral("no folder");
        return ConfinedFolder();
    }
    const QByteArray native = QFile::encodeName(root);
    const int rootFd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        *error = errnoText("cannot open", root);
        return ConfinedFolder();
    }
    struct stat st;
    if (::fstat(rootFd, &st) != 0 || quint64(st.st_dev) != device) {
        *error = QStringLiteral("%1 is no longer the volume").arg(root);
        ::close(rootFd);
        return ConfinedFolder();
    }
    const int fd = openFolderAt(rootFd, name, device, create, error);
    ::close(rootFd);
    return fd < 0 ? ConfinedFolder() : ConfinedFolder(fd, device);
}

bool ConfinedFolder::write(
    const QString& relativePath, const QByteArray& bytes, QString* error, IFileCalls& calls) const
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (m_fd < 0) {
        *error = QStringLiteral("no folder");
        return false;
    }
    QStringList parts = relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : qAsConst(parts)) {
        if (part == QLatin1String("..") || part == QLatin1String(".")) {
            *error = QStringLiteral("%1 leaves the folder").arg(relativePath);
            return false;
        }
    }
    if (parts.isEmpty()) {
        *error = QStringLiteral("no file name");
        return false;
    }
    const QString fileName = parts.takeLast();
    int folder = ::dup(m_fd);
    if (folder < 0) {
        *error = errnoText("cannot duplicate", relativePath);
        return false;
    }
    for (const QString& part : qAsConst(parts)) {
        const int next = openFolderAt(folder, part, m_device, true, error);
        ::close(folder);
        if (next < 0)
            return false;
        folder = next;
    }
    const QByteArray native = QFile::encodeName(fileName);
    // No O_TRUNC: the file is checked before anything of it changes. O_NONBLOCK keeps a
    // planted FIFO from blocking the open.
    const int fd = ::openat(
        folder, native.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = errnoText("cannot open", fileName);
        ::close(folder);
        return false;
    }
    struct stat st;
    bool ok
        = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && quint64(st.st_dev) == m_device;
    if (!ok)
        *error = QStringLiteral("%1 is not a plain file of the volume").arg(relativePath);
    const bool ours = ok;
    if (ok && ::ftruncate(fd, 0) != 0) {
        *error = errnoText("cannot truncate", fileName);
        ok = false;
    }
    qint64 done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = errnoText("cannot write", fileName);
            ok = false;
            break;
        }
        done += n;
    }
    if (ok && calls.fsync(fd) != 0) {
        *error = errnoText("cannot sync", fileName);
        ok = false;
    }
    ::close(fd);
    if (ok)
        calls.fsync(folder);
    else if (ours)
        ::unlinkat(folder, native.constData(), 0); // a partial file would mislead
    ::close(folder);
    return ok;
}
