#pragma once

#include <QThread>

#include <atomic>
#include <functional>
#include <thread>

namespace ostra::test {

// For a test that holds a call and checks that the code under test does not wait for it:
// should end() not come within 30 s, `rescue` lets the call go on a thread of its own, so
// that the test fails (rescued() is true) instead of hanging.
class RescueWatchdog
{
public:
    explicit RescueWatchdog(std::function<void()> rescue)
        : m_thread([this, rescue = std::move(rescue)] {
            for (int i = 0; i < 600 && !m_ended; ++i)
                QThread::msleep(50);
            if (!m_ended) {
                m_rescued = true;
                rescue();
            }
        })
    { }
    ~RescueWatchdog() { end(); }
    RescueWatchdog(const RescueWatchdog&) = delete;
    RescueWatchdog& operator=(const RescueWatchdog&) = delete;

    // Stops watching; true when the rescue never had to run.
    bool end()
    {
        m_ended = true;
        if (m_thread.joinable())
            m_thread.join();
        return !m_rescued;
    }

private:
    std::atomic<bool> m_ended { false };
    std::atomic<bool> m_rescued { false };
    std::thread m_thread;
};

} // namespace ostra::test
