#pragma once

// Runs a piece of a test in a forked child, so that a crash, a bus error or running out of
// memory is seen as the child's exit instead of ending the test program (header only).

#include <fstream>
#include <functional>
#include <new>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ostra::test {

// Runs `body` in a forked child; with a `budget` (bytes) the child's address space may grow
// by that much at most, and a std::bad_alloc ends it with code 4. Returns the child's exit
// code, 1000 + the signal that ended it, or a negative number when it could not be run.
inline int inChild(const std::function<int()>& body, rlim_t budget = 0)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (budget > 0) {
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + budget;
            const struct rlimit rl = { limit, limit };
            if (::setrlimit(RLIMIT_AS, &rl) != 0)
                ::_exit(100);
        }
        int code = 3;
        try {
            code = body();
        } catch (const std::bad_alloc&) {
            code = 4; // ran out of its room
        }
        ::_exit(code);
    }
    if (child < 0)
        return -1;
    int status = 0;
    if (::waitpid(child, &status, 0) != child)
        return -2;
    return WIFSIGNALED(status) ? 1000 + WTERMSIG(status) : WEXITSTATUS(status);
}

} // namespace ostra::test
