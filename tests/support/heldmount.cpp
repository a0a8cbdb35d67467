#include "heldmount.h"

#include <QDir>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace ostra::test {

namespace {

constexpr size_t kMaxWrite = 128 * 1024;

void fillAttr(fuse_attr& attr, const struct stat& st)
{
    std::memset(&attr, 0, sizeof attr);
    attr.ino = st.st_ino;
    attr.size = st.st_size;
    attr.blocks = st.st_blocks;
    attr.atime = st.st_atim.tv_sec;
    attr.mtime = st.st_mtim.tv_sec;
    attr.ctime = st.st_ctim.tv_sec;
    attr.atimensec = st.st_atim.tv_nsec;
    attr.mtimensec = st.st_mtim.tv_nsec;
    attr.ctimensec = st.st_ctim.tv_nsec;
    attr.mode = st.st_mode;
    attr.nlink = st.st_nlink;
    attr.uid = st.st_uid;
    attr.gid = st.st_gid;
    attr.rdev = st.st_rdev;
    attr.blksize = st.st_blksize;
}

} // namespace

struct HeldMount::Server
{
    int fd = -1;
    std::string backing;
    std::string mountPoint;
    bool mounted = false;
    std::atomic<bool> stop { false };
    mutable std::mutex mutex;
    bool closed = false;
    std::deque<std::vector<char>> heldRequests;
    int passed = 0;
    std::thread thread;
    // Node ids: the mirrored paths relative to the backing folder ("" is the root).
    std::map<uint64_t, std::string> paths { { FUSE_ROOT_ID, std::string() } };
    std::map<std::string, uint64_t> nodes { { std::string(), FUSE_ROOT_ID } };
    uint64_t nextNode = FUSE_ROOT_ID + 1;

    std::string real(uint64_t node) const
    {
        const auto it = paths.find(node);
        return it == paths.end() ? std::string() : backing + it->second;
    }
    std::string child(uint64_t parent, const char* name)
    {
        const auto it = paths.find(parent);
        return it == paths.end() ? std::string() : it->second + '/' + name;
    }
    uint64_t nodeOf(const std::string& relative)
    {
        const auto it = nodes.find(relative);
        if (it != nodes.end())
            return it->second;
        const uint64_t node = nextNode++;
        nodes[relative] = node;
        paths[node] = relative;
        return node;
    }
    void rename(const std::string& from, const std::string& to)
    {
        // The node of a moved entry, and of everything below it, follows it.
        std::map<std::string, uint64_t> moved;
        for (auto it = nodes.begin(); it != nodes.end();) {
            if (it->first == from || it->first.rfind(from + '/', 0) == 0) {
                const std::string renamed = to + it->first.substr(from.size());
                moved[renamed] = it->second;
                paths[it->second] = renamed;
                it = nodes.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& entry : moved)
            nodes[entry.first] = entry.second;
    }

    void reply(uint64_t unique, int error, const void* data = nullptr, size_t size = 0)
    {
        fuse_out_header out {};
        out.unique = unique;
        out.error = error;
        out.len = uint32_t(sizeof out + (error == 0 ? size : 0));
        std::vector<char> buffer(out.len);
        std::memcpy(buffer.data(), &out, sizeof out);
        if (error == 0 && size > 0)
            std::memcpy(buffer.data() + sizeof out, data, size);
        [[maybe_unused]] const ssize_t n = ::write(fd, buffer.data(), buffer.size());
    }
    void replyEntry(uint64_t unique, const std::string& relative)
    {
        struct stat st;
        if (::lstat((backing + relative).c_str(), &st) != 0)
            return reply(unique, -errno);
        fuse_entry_out entry {};
        entry.nodeid = nodeOf(relative);
        fillAttr(entry.attr, st);
        reply(unique, 0, &entry, sizeof entry);
    }
    void replyAttr(uint64_t unique, const std::string& realPath)
    {
        struct stat st;
        if (::lstat(realPath.c_str(), &st) != 0)
            return reply(unique, -errno);
        fuse_attr_out attr {};
        fillAttr(attr.attr, st);
        reply(unique, 0, &attr, sizeof attr);
    }

    // Answers one request (the lock is held).
    void handle(const std::vector<char>& request)
    {
        const auto* in = reinterpret_cast<const fuse_in_header*>(request.data());
        const char* arg = request.data() + sizeof(fuse_in_header);
        const uint64_t unique = in->unique;
        const uint64_t node = in->nodeid;
        ++passed;
        switch (in->opcode) {
        case FUSE_INIT: {
            fuse_init_out init {};
            init.major = FUSE_KERNEL_VERSION;
            init.minor = FUSE_KERNEL_MINOR_VERSION;
            init.max_readahead = reinterpret_cast<const fuse_init_in*>(arg)->max_readahead;
            init.max_write = kMaxWrite;
            init.max_background = 16;
            init.congestion_threshold = 12;
            return reply(unique, 0, &init, sizeof init);
        }
        case FUSE_FORGET:
        case FUSE_BATCH_FORGET:
        case FUSE_INTERRUPT:
            return; // no answer is awaited
        case FUSE_LOOKUP:
            return replyEntry(unique, child(node, arg));
        case FUSE_GETATTR:
            return replyAttr(unique, real(node));
        case FUSE_SETATTR: {
            const auto* set = reinterpret_cast<const fuse_setattr_in*>(arg);
            const std::string path = real(node);
            if ((set->valid & FATTR_MODE) && ::chmod(path.c_str(), set->mode & 07777) != 0)
                return reply(unique, -errno);
            if ((set->valid & FATTR_SIZE) && ::truncate(path.c_str(), off_t(set->size)) != 0)
                return reply(unique, -errno);
            if (set->valid & (FATTR_ATIME | FATTR_MTIME)) {
                timespec times[2] = { { 0, UTIME_OMIT }, { 0, UTIME_OMIT } };
                if (set->valid & FATTR_ATIME)
                    times[0] = (set->valid & FATTR_ATIME_NOW)
                        ? timespec { 0, UTIME_NOW }
                        : timespec { time_t(set->atime), long(set->atimensec) };
                if (set->valid & FATTR_MTIME)
                    times[1] = (set->valid & FATTR_MTIME_NOW)
                        ? timespec { 0, UTIME_NOW }
                        : timespec { time_t(set->mtime), long(set->mtimensec) };
                if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
                    return reply(unique, -errno);
            }
            return replyAttr(unique, path);
        }
        case FUSE_READLINK: {
            char target[4096];
            const ssize_t n = ::readlink(real(node).c_str(), target, sizeof target);
            return n < 0 ? reply(unique, -errno) : reply(unique, 0, target, size_t(n));
        }
        case FUSE_SYMLINK: {
            const char* name = arg;
            const char* target = arg + std::strlen(name) + 1;
            const std::string relative = child(node, name);
            if (::symlink(target, (backing + relative).c_str()) != 0)
                return reply(unique, -errno);
            return replyEntry(unique, relative);
        }
        case FUSE_MKDIR: {
            const auto* make = reinterpret_cast<const fuse_mkdir_in*>(arg);
            const std::string relative = child(node, arg + sizeof *make);
            if (::mkdir((backing + relative).c_str(), make->mode & ~make->umask) != 0)
                return reply(unique, -errno);
            return replyEntry(unique, relative);
        }
        case FUSE_UNLINK:
        case FUSE_RMDIR: {
            const std::string path = backing + child(node, arg);
            const int rc = in->opcode == FUSE_UNLINK ? ::unlink(path.c_str()) : ::rmdir(path.c_str());
            return reply(unique, rc == 0 ? 0 : -errno);
        }
        case FUSE_RENAME:
        case FUSE_RENAME2: {
            uint64_t newDir = 0;
            unsigned flags = 0;
            const char* names = nullptr;
            if (in->opcode == FUSE_RENAME) {
                newDir = reinterpret_cast<const fuse_rename_in*>(arg)->newdir;
                names = arg + sizeof(fuse_rename_in);
            } else {
                const auto* two = reinterpret_cast<const fuse_rename2_in*>(arg);
                newDir = two->newdir;
                flags = two->flags;
                names = arg + sizeof(fuse_rename2_in);
            }
            const std::string from = child(node, names);
            const std::string to = child(newDir, names + std::strlen(names) + 1);
            if (::renameat2(AT_FDCWD, (backing + from).c_str(), AT_FDCWD, (backing + to).c_str(), flags) != 0)
                return reply(unique, -errno);
            rename(from, to);
            return reply(unique, 0);
        }
        case FUSE_LINK: {
            const auto* link = reinterpret_cast<const fuse_link_in*>(arg);
            const std::string relative = child(node, arg + sizeof *link);
            if (::link(real(link->oldnodeid).c_str(), (backing + relative).c_str()) != 0)
                return reply(unique, -errno);
            return replyEntry(unique, relative);
        }
        case FUSE_OPEN: {
            const auto* open = reinterpret_cast<const fuse_open_in*>(arg);
            const int file = ::open(real(node).c_str(), int(open->flags) & ~(O_CREAT | O_EXCL | O_NOCTTY));
            if (file < 0)
                return reply(unique, -errno);
            fuse_open_out out {};
            out.fh = uint64_t(file);
            out.open_flags = FOPEN_DIRECT_IO;
            return reply(unique, 0, &out, sizeof out);
        }
        case FUSE_CREATE: {
            const auto* create = reinterpret_cast<const fuse_create_in*>(arg);
            const std::string relative = child(node, arg + sizeof *create);
            const int file = ::open(
                (backing + relative).c_str(), int(create->flags) | O_CREAT, create->mode & ~create->umask);
            if (file < 0)
                return reply(unique, -errno);
            struct stat st;
            ::fstat(file, &st);
            struct
            {
                fuse_entry_out entry;
                fuse_open_out open;
            } out {};
            out.entry.nodeid = nodeOf(relative);
            fillAttr(out.entry.attr, st);
            out.open.fh = uint64_t(file);
            out.open.open_flags = FOPEN_DIRECT_IO;
            return reply(unique, 0, &out, sizeof out);
        }
        case FUSE_READ: {
            const auto* read = reinterpret_cast<const fuse_read_in*>(arg);
            std::vector<char> data(read->size);
            const ssize_t n = ::pread(int(read->fh), data.data(), data.size(), off_t(read->offset));
            return n < 0 ? reply(unique, -errno) : reply(unique, 0, data.data(), size_t(n));
        }
        case FUSE_WRITE: {
            const auto* write = reinterpret_cast<const fuse_write_in*>(arg);
            const ssize_t n
                = ::pwrite(int(write->fh), arg + sizeof *write, write->size, off_t(write->offset));
            if (n < 0)
                return reply(unique, -errno);
            fuse_write_out out {};
            out.size = uint32_t(n);
            return reply(unique, 0, &out, sizeof out);
        }
        case FUSE_RELEASE:
            ::close(int(reinterpret_cast<const fuse_release_in*>(arg)->fh));
            return reply(unique, 0);
        case FUSE_FLUSH:
        case FUSE_RELEASEDIR:
        case FUSE_FSYNCDIR:
            return reply(unique, 0);
        case FUSE_FSYNC:
            return reply(
                unique, ::fsync(int(reinterpret_cast<const fuse_fsync_in*>(arg)->fh)) == 0 ? 0 : -errno);
        case FUSE_OPENDIR: {
            DIR* dir = ::opendir(real(node).c_str());
            if (!dir)
                return reply(unique, -errno);
            ::closedir(dir);
            fuse_open_out out {};
            return reply(unique, 0, &out, sizeof out);
        }
        case FUSE_READDIR: {
            const auto* read = reinterpret_cast<const fuse_read_in*>(arg);
            DIR* dir = ::opendir(real(node).c_str());
            if (!dir)
                return reply(unique, -errno);
            std::vector<char> out;
            uint64_t index = 0;
            while (dirent* entry = ::readdir(dir)) {
                if (index++ < read->offset)
                    continue;
                const size_t nameLength = std::strlen(entry->d_name);
                const size_t size = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + nameLength);
                if (out.size() + size > read->size)
                    break;
                std::vector<char> record(size, 0);
                auto* dirent = reinterpret_cast<fuse_dirent*>(record.data());
                dirent->ino = entry->d_ino;
                dirent->off = index;
                dirent->namelen = uint32_t(nameLength);
                dirent->type = entry->d_type;
                std::memcpy(record.data() + FUSE_NAME_OFFSET, entry->d_name, nameLength);
                out.insert(out.end(), record.begin(), record.end());
            }
            ::closedir(dir);
            return reply(unique, 0, out.data(), out.size());
        }
        case FUSE_STATFS: {
            struct statvfs vfs;
            if (::statvfs(backing.c_str(), &vfs) != 0)
                return reply(unique, -errno);
            fuse_statfs_out out {};
            out.st.blocks = vfs.f_blocks;
            out.st.bfree = vfs.f_bfree;
            out.st.bavail = vfs.f_bavail;
            out.st.files = vfs.f_files;
            out.st.ffree = vfs.f_ffree;
            out.st.bsize = uint32_t(vfs.f_bsize);
            out.st.namelen = uint32_t(vfs.f_namemax);
            out.st.frsize = uint32_t(vfs.f_frsize);
            return reply(unique, 0, &out, sizeof out);
        }
        case FUSE_ACCESS:
            return reply(unique,
                ::access(real(node).c_str(), int(reinterpret_cast<const fuse_access_in*>(arg)->mask)) == 0
                    ? 0
                    : -errno);
        case FUSE_DESTROY:
            return reply(unique, 0);
        default:
            return reply(unique, -ENOSYS);
        }
    }

    void serve()
    {
        std::vector<char> buffer(kMaxWrite + 64 * 1024);
        while (!stop) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t length = ::read(fd, buffer.data(), buffer.size());
            if (length < ssize_t(sizeof(fuse_in_header)))
                continue;
            std::vector<char> request(buffer.begin(), buffer.begin() + length);
            const auto opcode = reinterpret_cast<const fuse_in_header*>(request.data())->opcode;
            std::lock_guard<std::mutex> lock(mutex);
            // The mount's own handshake is never held.
            if (closed && opcode != FUSE_INIT && opcode != FUSE_FORGET && opcode != FUSE_BATCH_FORGET
                && opcode != FUSE_INTERRUPT)
                heldRequests.push_back(std::move(request));
            else
                handle(request);
        }
    }
};

HeldMount::HeldMount(const QString& backing, const QString& mountPoint)
    : m_server(std::make_unique<Server>())
{
    Server& s = *m_server;
    s.backing = QDir(backing).absolutePath().toStdString();
    s.mountPoint = QDir(mountPoint).absolutePath().toStdString();
    if (!QDir().mkpath(mountPoint))
        return;
    s.fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (s.fd < 0)
        return;
    const std::string options = "fd=" + std::to_string(s.fd) + ",rootmode=40000,user_id="
        + std::to_string(::getuid()) + ",group_id=" + std::to_string(::getgid()) + ",allow_other";
    if (::mount("heldmount", s.mountPoint.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        ::close(s.fd);
        s.fd = -1;
        return;
    }
    s.mounted = true;
    s.thread = std::thread([&s] { s.serve(); });
}

HeldMount::~HeldMount()
{
    Server& s = *m_server;
    if (s.fd < 0)
        return;
    open();
    ::umount2(s.mountPoint.c_str(), MNT_DETACH);
    s.stop = true;
    if (s.thread.joinable())
        s.thread.join();
    ::close(s.fd); // any request still on its way fails
}

bool HeldMount::isValid() const
{
    return m_server->mounted;
}

int HeldMount::held() const
{
    std::lock_guard<std::mutex> lock(m_server->mutex);
    return int(m_server->heldRequests.size());
}

int HeldMount::passed() const
{
    std::lock_guard<std::mutex> lock(m_server->mutex);
    return m_server->passed;
}

void HeldMount::close()
{
    std::lock_guard<std::mutex> lock(m_server->mutex);
    m_server->closed = true;
}

void HeldMount::open()
{
    std::lock_guard<std::mutex> lock(m_server->mutex);
    m_server->closed = false;
    while (!m_server->heldRequests.empty()) {
        m_server->handle(m_server->heldRequests.front());
        m_server->heldRequests.pop_front();
    }
}

} // namespace ostra::test
