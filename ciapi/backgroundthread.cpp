#include "ciapi/backgroundthread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

namespace CIAPI {

namespace {

std::atomic<bool> s_enabled { true };

// Lowers the calling thread by BackgroundThread::kNiceSteps, for good. A nice value is the
// thread's own on Linux; lowering needs no privilege.
void lowerThisThread()
{
    const auto tid = id_t(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, tid);
    if (nice == -1 && errno != 0)
        return;
    (void)setpriority(PRIO_PROCESS, tid, std::min(19, nice + BackgroundThread::kNiceSteps));
}

class Twin;
thread_local Twin* t_twinOfCaller = nullptr; // set on a twin: the object its caller waits on

// A thread's twin. The caller and the twin share one mutex and one condition: the caller
// hands over work and waits for it to be done, serving the twin's requests to start
// threads meanwhile.
class Twin
{
public:
    Twin() = default;
    Twin(const Twin&) = delete;
    Twin& operator=(const Twin&) = delete;

    ~Twin()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    void run(const std::function<void()>& work)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { loop(); });
        m_work = &work;
        m_done = false;
        m_changed.notify_all();
        for (;;) {
            m_changed.wait(lock, [this] { return m_done || m_startRequest; });
            if (!m_startRequest)
                break;
            std::function<void()> body = std::exchange(m_startRequest, nullptr);
            lock.unlock();
            std::thread started;
            std::exception_ptr error;
            try {
                started = std::thread(std::move(body));
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            m_started = std::move(started);
            m_startError = error;
            m_startAnswered = true;
            m_changed.notify_all();
        }
        const std::exception_ptr error = std::exchange(m_error, nullptr);
        lock.unlock();
        if (error)
            std::rethrow_exception(error);
    }

    // On the twin, while its caller waits in run().
    std::thread start(std::function<void()> body)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_startRequest = std::move(body);
        m_startAnswered = false;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_startAnswered; });
        m_startAnswered = false;
        if (const std::exception_ptr error = std::exchange(m_startError, nullptr))
            std::rethrow_exception(error);
        return std::move(m_started);
    }

private:
    void loop()
    {
        lowerThisThread();
        t_twinOfCaller = this;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_quit || m_work; });
            if (!m_work)
                return;
            const std::function<void()>* work = std::exchange(m_work, nullptr);
            lock.unlock();
            std::exception_ptr error;
            try {
                (*work)();
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            m_error = error;
            m_done = true;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    const std::function<void()>* m_work = nullptr;
    bool m_done = false;
    bool m_quit = false;
    std::exception_ptr m_error;
    std::function<void()> m_startRequest;
    bool m_startAnswered = false;
    std::thread m_started;
    std::exception_ptr m_startError;
    std::thread m_thread;
};

} // namespace

void BackgroundThread::run(const std::function<void()>& work)
{
    if (t_twinOfCaller || !s_enabled.load(std::memory_order_relaxed)) {
        work();
        return;
    }
    thread_local Twin twin; // ends (joining its thread) when the calling thread ends
    twin.run(work);
}

bool BackgroundThread::onLoweredThread()
{
    return t_twinOfCaller != nullptr;
}

std::thread BackgroundThread::start(std::function<void()> body)
{
    if (t_twinOfCaller)
        return t_twinOfCaller->start(std::move(body));
    return std::thread(std::move(body));
}

void BackgroundThread::setEnabled(bool enabled)
{
    s_enabled.store(enabled, std::memory_order_relaxed);
}

bool BackgroundThread::enabled()
{
    return s_enabled.load(std::memory_order_relaxed);
}

} // namespace CIAPI
