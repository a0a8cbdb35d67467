#include "core/leavableworker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// A thread waits this long for the next task before it ends: a worker asked many times in
// a row (once per scheduling pass) starts one thread, not one per task.
constexpr std::chrono::milliseconds kLinger(2000);

} // namespace

// Shared by the worker and its thread: the thread keeps it after the worker is gone.
struct LeavableWorker::State
{
    std::mutex mutex;
    std::condition_variable idle;
    std::condition_variable work;
    std::deque<std::function<void()>> tasks;
    bool left = false;
    bool threadRunning = false;
    bool taskRunning = false;

    static void run(const std::shared_ptr<State>& state)
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        while (!state->left) {
            if (state->tasks.empty()) {
                if (!state->work.wait_for(
                        lock, kLinger, [&state] { return state->left || !state->tasks.empty(); }))
                    break;
                continue;
            }
            std::function<void()> task = std::move(state->tasks.front());
            state->tasks.pop_front();
            state->taskRunning = true;
            lock.unlock();
            task();
            // What the task captured goes here, on this thread, before the next one.
            task = nullptr;
            lock.lock();
            state->taskRunning = false;
        }
        state->threadRunning = false;
        state->idle.notify_all();
    }
};

LeavableWorker::LeavableWorker()
    : m_state(std::make_shared<State>())
{ }

LeavableWorker::~LeavableWorker()
{
    leave(0);
}

bool LeavableWorker::start(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->left)
        return false;
    m_state->tasks.push_back(std::move(task));
    if (!m_state->threadRunning) {
        m_state->threadRunning = true;
        // Detached: nothing ever joins it, so that a task that hangs holds no one.
        std::thread([state = m_state] { State::run(state); }).detach();
    } else {
        m_state->work.notify_one();
    }
    return true;
}

bool LeavableWorker::busy() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->taskRunning || !m_state->tasks.empty();
}

bool LeavableWorker::leave(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->left = true;
    const std::deque<std::function<void()>> dropped = std::move(m_state->tasks);
    m_state->tasks.clear();
    // A thread that waits for the next task ends now.
    m_state->work.notify_all();
    const bool done = m_state->idle.wait_for(
        lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), [this] { return !m_state->threadRunning; });
    lock.unlock();
    // The dropped tasks' captures go after the lock.
    return done;
}
