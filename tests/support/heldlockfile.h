#pragma once

#include <QLockFile>
#include <QSemaphore>
#include <QString>

#include <thread>

namespace ostra::test {

// A lock file held by a thread of its own, as a writer elsewhere in the program holds it,
// until release() (from any thread; also on destruction).
class HeldLockFile
{
public:
    explicit HeldLockFile(const QString& path)
        : m_thread([this, path] {
            QLockFile lock(path);
            m_held = lock.tryLock(0);
            m_taken.release();
            m_release.acquire();
        })
    {
        m_taken.acquire();
    }
    ~HeldLockFile()
    {
        release();
        m_thread.join();
    }
    HeldLockFile(const HeldLockFile&) = delete;
    HeldLockFile& operator=(const HeldLockFile&) = delete;

    // Whether the lock was had at all.
    bool held() const { return m_held; }
    void release() { m_release.release(); }

private:
    QSemaphore m_taken;
    QSemaphore m_release;
    bool m_held = false;
    std::thread m_thread;
};

} // namespace ostra::test
