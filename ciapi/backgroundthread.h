#pragma once

#include <functional>
#include <thread>

namespace CIAPI {

// Background work (gallery thumbnails) runs on threads of lowered CPU priority, so that work
// someone waits for (an editor's render, an export) gets the CPUs first, while background
// work still moves on an idle machine. A thread's priority cannot be raised back without
// privilege, so no thread is lowered and raised again: each thread that hands work down has
// a twin of its own, started at the first hand-down and lowered once for good, which runs
// the work while the caller waits. The twin ends with its caller's thread.
class BackgroundThread
{
public:
    // How far below its caller's priority (in nice steps) a twin runs.
    static constexpr int kNiceSteps = 10;

    // Runs `work` on the calling thread's twin and returns when it is done, rethrowing what
    // it threw. On a thread that is lowered already, or while lowering is switched off, runs
    // it right here.
    static void run(const std::function<void()>& work);

    // True on a twin.
    static bool onLoweredThread();

    // Starts a thread at the priority of ordinary work. A thread inherits its creator's
    // priority, so on a twin the thread is started by the twin's caller (which waits in run()).
    static std::thread start(std::function<void()> body);

    // Switches the hand-down on or off for the whole process (on by default). Used by
    // benchmarks to compare; twins started before keep their priority.
    static void setEnabled(bool enabled);
    static bool enabled();
};

} // namespace CIAPI
