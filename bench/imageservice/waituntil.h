#pragma once

#include <functional>

namespace imageservicebench {

// Handles the calling thread's events until `done` holds, sleeping between them as the
// application's event loop does: a loop that polls would spin a core, taking it from the
// work it measures, and count its own spinning. A slow timer wakes it should `done` turn
// without an event. False when `timeoutMs` passed first.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 600000);

} // namespace imageservicebench
