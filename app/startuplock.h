#pragma once

#include <QString>

namespace ostra {

// Serialises concurrent starts of the application: an exclusive lock on a file in the
// user's runtime folder. The kernel drops the lock when the holding process ends, so
// a crashed start never blocks the next one.
class StartupLock
{
public:
    // The lock file for `name` (the application id) in the runtime folder.
    explicit StartupLock(const QString& name);
    ~StartupLock();
    StartupLock(const StartupLock&) = delete;
    StartupLock& operator=(const StartupLock&) = delete;

    // Blocks until this process holds the lock, for at most `timeoutMs`. Logs once when it
    // has to wait. Returns false when the lock file cannot be opened or locked, or when
    // another process held it all that time (a start that hangs; see gaveUp()).
    bool acquire(int timeoutMs = defaultWaitMs);
    static constexpr int defaultWaitMs = 60000;

    // Tries once without waiting.
    bool tryAcquire();

    // Gives the lock up; harmless when not held.
    void release();

    bool isHeld() const { return m_held; }
    // The last acquire() gave up on a lock another process held all the while.
    bool gaveUp() const { return !m_held && m_busy; }
    QString path() const { return m_path; }

    // The runtime folder: XDG_RUNTIME_DIR, or the fallback Qt makes when it is unset.
    static QString runtimeFolder();

private:
    bool open();
    bool lock(bool wait);

    QString m_path;
    int m_fd = -1;
    bool m_held = false;
    bool m_busy = false; // the last try found the lock held by another process
};

} // namespace ostra
