#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace CIAPI::render {

// The engine's own bounded set of worker threads. Renderers queue their tiles here;
// parallelFor() spreads a loop over the workers and the calling thread, so it never
// deadlocks even when called from a worker. shutdown() finishes what is queued and
// joins the threads; the next submit() starts them again.
//
// Work someone waits for (interactive, the default) is taken before background work
// (gallery thumbnails), which keeps arrival order among itself. Background work is never
// starved: once kInteractiveStreak interactive tasks were taken while background work was
// waiting, the next task taken is a background one. A background loop's helpers also stop
// claiming indices while interactive work is queued (its caller finishes the loop).
// A worker runs a background task on its twin, a thread of lowered CPU priority
// (BackgroundThread), and waits for it meanwhile; interactive tasks run on the workers
// themselves and never lowered, whichever thread queued them.
class WorkerPool
{
public:
    enum class Priority {
        Interactive,
        Background,
    };
    static constexpr int kInteractiveStreak = 32;

    // While one lives, the work the constructing thread hands to the engine's pools (tasks,
    // loops, renders) has the given priority. Tasks run with the priority they were queued
    // with, so what they queue in turn inherits it.
    class PriorityScope
    {
    public:
        explicit PriorityScope(Priority priority);
        ~PriorityScope();
        PriorityScope(const PriorityScope&) = delete;
        PriorityScope& operator=(const PriorityScope&) = delete;

    private:
        Priority m_previous;
    };
    // The priority of the calling thread's work.
    static Priority currentPriority();

    static WorkerPool& instance();

    WorkerPool();
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // At the calling thread's priority, or at the one given.
    void submit(std::function<void()> task);
    void submit(std::function<void()> task, Priority priority);

    // Runs body(i) for every i in [0, count), on the calling thread and on idle workers.
    // Returns when every index is done; rethrows the first exception a body threw.
    void parallelFor(int count, const std::function<void(int)>& body);

    // Drains the queue and joins every worker. Safe to call more than once.
    void shutdown();

    // Number of threads used for work (workers; parallelFor adds the caller).
    int threadCount() const;

    // Limits the workers (1 .. 64); 0 restores the default, the CPUs the process may run on
    // (usableCpuCount(), read when the workers start). Takes effect
    // at the next start, so callers shut the pool down first. Used by benchmarks.
    void setThreadLimit(int limit);

    // True on one of this pool's worker threads.
    static bool onWorkerThread();

private:
    void startLocked();
    void workerLoop(uint64_t epoch);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_queue; // interactive
    std::deque<std::function<void()>> m_background;
    int m_streak = 0; // interactive tasks taken while background work waited
    std::atomic<int> m_interactiveQueued { 0 };
    std::vector<std::thread> m_threads;
    uint64_t m_epoch = 0;
    int m_limit = 0;
};

} // namespace CIAPI::render
