#pragma once

namespace CIAPI {

// Returns the allocator's free pages to the system (glibc keeps what threads freed in their
// arenas, and large blocks come from there once its mapping threshold has risen); a no-op
// elsewhere. Returns whether any were returned. Takes a few milliseconds after a large
// release: called by the engine when a job that used a lot of memory ends, on its thread.
bool ReturnFreeMemory();

} // namespace CIAPI
