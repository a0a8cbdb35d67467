#include "platform/threadpriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// From linux/ioprio.h, which not every libc exposes.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassBestEffort = 2;
constexpr int kLowestBestEffort = 7;
constexpr int kBackgroundNice = 10;

} // namespace

bool lowerCurrentThreadPriority()
{
    const pid_t thread = pid_t(::syscall(SYS_gettid));
    // On Linux a thread's nice value is its own; never raise one that is already lower.
    bool ok = true;
    if (::getpriority(PRIO_PROCESS, id_t(thread)) < kBackgroundNice)
        ok = ::setpriority(PRIO_PROCESS, id_t(thread), kBackgroundNice) == 0;
    const int ioprio = (kIoprioClassBestEffort << kIoprioClassShift) | kLowestBestEffort;
    ok = ::syscall(SYS_ioprio_set, kIoprioWhoProcess, int(thread), ioprio) == 0 && ok;
    return ok;
}
