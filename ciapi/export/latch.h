#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace CIAPI::exporter {

// Tasks of one kind in a loop counted down as they end; a task that needs them all done
// waits. It comes after them in the loop, so they were taken already (the pool takes a loop's
// tasks in order) and are under way on other threads: the wait ends.
class Latch
{
public:
    explicit Latch(int count)
        : m_left(count)
    { }

    // Counts one down when it goes, however the task ends.
    class CountDown
    {
    public:
        explicit CountDown(Latch& latch)
            : m_latch(latch)
        { }
        ~CountDown() { m_latch.countDown(); }
        CountDown(const CountDown&) = delete;
        CountDown& operator=(const CountDown&) = delete;

    private:
        Latch& m_latch;
    };

    void countDown()
    {
        if (m_left.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done.notify_all();
        }
    }
    void wait()
    {
        if (m_left.load(std::memory_order_acquire) <= 0)
            return;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait(lock, [&] { return m_left.load(std::memory_order_acquire) <= 0; });
    }

private:
    std::atomic<int> m_left;
    std::mutex m_mutex;
    std::condition_variable m_done;
};

} // namespace CIAPI::exporter
