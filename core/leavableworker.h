#pragma once

#include <functional>
#include <memory>

// Runs tasks one after another on a thread of its own, for calls that may hang for good
// (a camera unplugged in the middle of a call, a drive that never answers). Its owner never
// waits for it for long: leave() stops taking tasks, drops those not started, waits a
// bounded time for the one under way and then lets it finish on its own. A task must
// therefore own, or share, everything it uses, and reach its owner only through a
// ReplyTarget. The thread waits a little for the next task before it ends, so that a worker
// asked often keeps one thread.
class LeavableWorker
{
public:
    LeavableWorker();
    // Leaves the worker without waiting.
    ~LeavableWorker();
    LeavableWorker(const LeavableWorker&) = delete;
    LeavableWorker& operator=(const LeavableWorker&) = delete;

    // Queues a task; false once the worker was left (the task is dropped then).
    bool start(std::function<void()> task);
    // Whether a task runs or waits.
    bool busy() const;
    // Stops taking tasks and drops the waiting ones, then waits at most `timeoutMs` for
    // the one under way. True when none runs any more; false when one was left running.
    bool leave(int timeoutMs);

private:
    struct State;
    std::shared_ptr<State> m_state;
};
