#include "ciapi/cpucount.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

namespace CIAPI {

namespace {

// Quota / period in CPUs (rounded up) from a cgroup folder, 0 when unlimited or unreadable.
int quotaIn(const std::string& dir, bool v2)
{
    double quota = -1, period = 0;
    if (v2) {
        std::ifstream f(dir + "/cpu.max");
        std::string q;
        if (!(f >> q >> period) || q == "max")
            return 0;
        quota = std::atof(q.c_str());
    } else {
        std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
        if (!(q >> quota) || !(p >> period))
            return 0;
    }
    if (quota <= 0 || period <= 0)
        return 0;
    return std::max(1, int(std::ceil(quota / period)));
}

// The lowest quota on the way from `path` up to the hierarchy's root.
int lowestQuota(const std::string& mount, std::string path, bool v2)
{
    int limit = 0;
    for (;;) {
        const int q = quotaIn(mount + (path == "/" ? "" : path), v2);
        if (q > 0)
            limit = limit > 0 ? std::min(limit, q) : q;
        if (path.empty() || path == "/")
            return limit;
        const size_t slash = path.find_last_of('/');
        path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    }
}

} // namespace

int cgroupCpuLimit(const std::string& cgroupList, const std::string& root)
{
    std::istringstream lines(cgroupList);
    std::string line;
    int limit = 0;
    auto take = [&](int q) {
        if (q > 0)
            limit = limit > 0 ? std::min(limit, q) : q;
    };
    while (std::getline(lines, line)) {
        // "hierarchy-id:controllers:path"
        const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            continue;
        const std::string id = line.substr(0, a), controllers = line.substr(a + 1, b - a - 1);
        const std::string path = line.substr(b + 1);
        if (id == "0" && controllers.empty()) {
            take(lowestQuota(root, path, true));
            continue;
        }
        std::istringstream names(controllers);
        std::string name;
        while (std::getline(names, name, ','))
            if (name == "cpu")
                take(lowestQuota(root + "/cpu", path, false));
    }
    return limit;
}

int usableCpuCount()
{
    int n = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        n = CPU_COUNT(&set);
    if (n <= 0)
        n = int(std::thread::hardware_concurrency());
    std::ifstream f("/proc/self/cgroup");
    std::stringstream text;
    text << f.rdbuf();
    const int limit = cgroupCpuLimit(text.str(), "/sys/fs/cgroup");
    if (limit > 0)
        n = n > 0 ? std::min(n, limit) : limit;
    return std::max(1, n);
}

} // namespace CIAPI
