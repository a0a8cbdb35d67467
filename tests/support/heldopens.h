#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

namespace ostra::test {

// Holds every open of a folder and of the entries right inside it, by any thread, while
// its gate is closed: a slow or hung volume as the code under test meets it, on the real
// file system. Made with a fanotify permission mark, which needs root; isValid() is false
// where it cannot be made (skip then). An open held when the gate opens, or when this
// object goes, goes on at once.
class HeldOpens
{
public:
    explicit HeldOpens(const QString& folder)
    {
        m_fd = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC | O_LARGEFILE);
        if (m_fd < 0)
            return;
        const QByteArray native = folder.toLocal8Bit();
        if (::fanotify_mark(m_fd, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR | FAN_EVENT_ON_CHILD, AT_FDCWD,
                native.constData())
            != 0) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        m_thread = std::thread([this] { answer(); });
    }
    ~HeldOpens()
    {
        open();
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd); // lets any open still held go
    }
    HeldOpens(const HeldOpens&) = delete;
    HeldOpens& operator=(const HeldOpens&) = delete;

    bool isValid() const { return m_fd >= 0; }
    // Opens waiting at the closed gate.
    int held() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return int(m_held.size());
    }
    // Opens let through so far.
    int passed() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_passed;
    }
    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    // While the gate is closed, holds only the opens of the paths `holds` picks (all when
    // it is empty); the others go on.
    void setFilter(std::function<bool(const QString& path)> holds)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_filter = std::move(holds);
    }
    // Lets the opens held so far go; the gate stays as it is for later ones.
    void passHeld()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (!m_held.empty()) {
            allow(m_held.front());
            m_held.pop_front();
        }
    }
    // Lets the held opens go, and every later one.
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = false;
        while (!m_held.empty()) {
            allow(m_held.front());
            m_held.pop_front();
        }
    }

private:
    void allow(int fd)
    {
        const fanotify_response response { fd, FAN_ALLOW };
        [[maybe_unused]] const ssize_t n = ::write(m_fd, &response, sizeof response);
        ::close(fd);
        ++m_passed;
    }
    void answer()
    {
        alignas(fanotify_event_metadata) char buffer[4096];
        while (!m_stop) {
            pollfd p { m_fd, POLLIN, 0 };
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
            if (length <= 0)
                continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (event->fd < 0)
                    continue;
                if (m_closed && (!m_filter || m_filter(pathOf(event->fd))))
                    m_held.push_back(event->fd);
                else
                    allow(event->fd);
            }
        }
    }

    static QString pathOf(int fd)
    {
        char path[4096];
        const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
        const ssize_t n = ::readlink(link.constData(), path, sizeof path - 1);
        return n > 0 ? QString::fromLocal8Bit(path, int(n)) : QString();
    }

    int m_fd = -1;
    std::function<bool(const QString&)> m_filter;
    std::atomic<bool> m_stop { false };
    mutable std::mutex m_mutex;
    bool m_closed = false;
    std::deque<int> m_held; // the event descriptors of the held opens
    int m_passed = 0;
    std::thread m_thread;
};

} // namespace ostra::test
