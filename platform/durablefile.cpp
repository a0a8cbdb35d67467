#include "platform/durablefile.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/filesync.h"
#include "platform/ifilecalls.h"

int renameWithoutReplacing(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    // No atomic rename here: a hard link cannot replace either.
    if (::link(from, to) == 0) {
        // The file is in place; a leftover work name is only clutter.
        ::unlink(from);
        return 0;
    }
    if (errno == EEXIST || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS))
        return -1;
    // File systems without links (FAT): check, then rename.
    struct stat st;
    if (::lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from, to);
}

int IFileCalls::renameNoReplace(const char* from, const char* to)
{
    return renameWithoutReplacing(from, to);
}

int IFileCalls::syncFolder(const char* folder)
{
    return ::syncFolder(QFile::decodeName(folder)) ? 0 : -1;
}

void IFileCalls::startWriteback(int fd, off_t offset, off_t length)
{
    // Only a hint: where the file system cannot, the sync at the end does it all.
    const int saved = errno;
    ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
    errno = saved;
}
