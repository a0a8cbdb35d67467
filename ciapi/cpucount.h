#pragma once

#include <string>

namespace CIAPI {

// The number of CPUs this process may run on: its affinity mask (sched_getaffinity), lowered
// to the CPU quota of its cgroup where one is set (cgroup v2 "cpu.max", or v1
// "cpu.cfs_quota_us"); at least 1. Read afresh on every call.
int usableCpuCount();

// The CPU quota, in whole CPUs rounded up, of the cgroup that `cgroupList` (the text of
// /proc/self/cgroup) names under the hierarchies mounted at `root`; the quotas of its
// ancestors count too. 0 when none is set.
int cgroupCpuLimit(const std::string& cgroupList, const std::string& root);

} // namespace CIAPI
