#include "ciapi/render/workerpool.h"

#include "ciapi/backgroundthread.h"
#include "ciapi/cpucount.h"
#include "ciapi/shutdownhooks.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>

namespace CIAPI::render {

namespace {

thread_local bool t_isWorker = false;
thread_local std::thread::id t_worker; // the worker a task runs for (on a worker's twin too)
thread_local WorkerPool::Priority t_priority = WorkerPool::Priority::Interactive;

int defaultThreadCount()
{
    return std::clamp(usableCpuCount(), 1, 64);
}

// Shared by the caller of parallelFor and the helpers it queued. Helpers that start
// after every index was claimed return at once.
struct LoopState
{
    std::function<void(int)> body;
    int count = 0;
    std::atomic<int> next { 0 };
    std::atomic<int> done { 0 };
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr error;
    // Set for a background loop's helpers: they leave the rest to the caller while
    // interactive work is queued.
    const std::atomic<int>* interactiveQueued = nullptr;

    void run(bool helper = false)
    {
        for (;;) {
            if (helper && interactiveQueued && interactiveQueued->load(std::memory_order_relaxed) > 0)
                return;
            const int i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count)
                return;
            try {
                body(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!error)
                    error = std::current_exception();
            }
            if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == count) {
                std::lock_guard<std::mutex> lock(mutex);
                finished.notify_all();
            }
        }
    }
};

} // namespace

WorkerPool::PriorityScope::PriorityScope(Priority priority)
    : m_previous(t_priority)
{
    t_priority = priority;
}

WorkerPool::PriorityScope::~PriorityScope()
{
    t_priority = m_previous;
}

WorkerPool::Priority WorkerPool::currentPriority()
{
    return t_priority;
}

WorkerPool& WorkerPool::instance()
{
    static WorkerPool pool;
    static const int hook = AddShutdownHook([] { pool.shutdown(); });
    (void)hook;
    return pool;
}

WorkerPool::WorkerPool() = default;

WorkerPool::~WorkerPool()
{
    shutdown();
}

bool WorkerPool::onWorkerThread()
{
    return t_isWorker;
}

int WorkerPool::threadCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_limit > 0)
        return m_limit;
    return m_threads.empty() ? defaultThreadCount() : static_cast<int>(m_threads.size());
}

void WorkerPool::setThreadLimit(int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit = std::clamp(limit, 0, 64);
}

void WorkerPool::startLocked()
{
    if (!m_threads.empty())
        return;
    const int n = m_limit > 0 ? m_limit : defaultThreadCount();
    m_threads.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        m_threads.push_back(BackgroundThread::start([this, epoch = m_epoch] { workerLoop(epoch); }));
}

void WorkerPool::submit(std::function<void()> task)
{
    submit(std::move(task), t_priority);
}

void WorkerPool::submit(std::function<void()> task, Priority priority)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    startLocked();
    if (priority == Priority::Background) {
        m_background.push_back(std::move(task));
    } else {
        m_queue.push_back(std::move(task));
        m_interactiveQueued.fetch_add(1, std::memory_order_relaxed);
    }
    m_wake.notify_one();
}

void WorkerPool::workerLoop(uint64_t epoch)
{
    t_isWorker = true;
    t_worker = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_epoch != epoch || !m_queue.empty() || !m_background.empty(); });
        if (m_queue.empty() && m_background.empty())
            return; // shut down and drained
        // Interactive first; background work after a streak of interactive tasks taken
        // while it waited, so that it always moves.
        const bool background = m_queue.empty() || (!m_background.empty() && m_streak >= kInteractiveStreak);
        std::deque<std::function<void()>>& from = background ? m_background : m_queue;
        std::function<void()> task = std::move(from.front());
        from.pop_front();
        if (background) {
            m_streak = 0;
        } else {
            m_interactiveQueued.fetch_sub(1, std::memory_order_relaxed);
            if (!m_background.empty())
                ++m_streak;
        }
        lock.unlock();
        t_priority = background ? Priority::Background : Priority::Interactive;
        try {
            if (background) {
                // On this worker's twin, at lowered CPU priority; the worker waits.
                const std::thread::id worker = t_worker;
                BackgroundThread::run([&] {
                    t_isWorker = true;
                    t_worker = worker;
                    t_priority = Priority::Background;
                    task();
                });
            } else {
                task();
            }
        } catch (...) {
            // A task reports its own failures; nothing may escape a worker.
        }
        task = nullptr;
        t_priority = Priority::Interactive;
        lock.lock();
    }
}

void WorkerPool::parallelFor(int count, const std::function<void(int)>& body)
{
    if (count <= 0)
        return;
    if (count == 1) {
        body(0);
        return;
    }
    auto state = std::make_shared<LoopState>();
    state->body = body;
    state->count = count;
    const Priority priority = t_priority;
    if (priority == Priority::Background)
        state->interactiveQueued = &m_interactiveQueued;
    const int helpers = std::min(count - 1, threadCount() - 1); // the caller is one of them
    for (int i = 0; i < helpers; ++i)
        submit([state] { state->run(true); }, priority);
    state->run();
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->finished.wait(lock, [&] { return state->done.load(std::memory_order_acquire) == count; });
    }
    if (state->error)
        std::rethrow_exception(state->error);
}

void WorkerPool::shutdown()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_epoch;
        threads.swap(m_threads);
        m_wake.notify_all();
    }
    const std::thread::id self = t_isWorker ? t_worker : std::this_thread::get_id();
    for (std::thread& t : threads) {
        if (t.get_id() == self)
            t.detach(); // called from a task: the worker ends when the task returns
        else if (t.joinable())
            t.join();
    }
}

} // namespace CIAPI::render
