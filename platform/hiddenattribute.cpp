#include "platform/hiddenattribute.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

class SystemFatAttributes : public IFatAttributes
{
public:
    bool isFat(int fd) override
    {
        struct statfs fs;
        return ::fstatfs(fd, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC;
    }
    bool getAttributes(int fd, uint32_t* attributes) override
    {
        return ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, attributes) == 0;
    }
    bool setAttributes(int fd, uint32_t attributes) override
    {
        return ::ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &attributes) == 0;
    }
};

} // namespace

IFatAttributes& systemFatAttributes()
{
    static SystemFatAttributes fat;
    return fat;
}

bool setHiddenAttribute(const QString& path, IFatAttributes& fat)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool ok = true;
    if (fat.isFat(fd)) {
        uint32_t attributes = 0;
        ok = fat.getAttributes(fd, &attributes);
        if (ok && (attributes & ATTR_HIDDEN) == 0)
            ok = fat.setAttributes(fd, attributes | ATTR_HIDDEN);
    }
    const int saved = errno;
    ::close(fd);
    if (!ok)
        errno = saved;
    return ok;
}
