#pragma once

#include <functional>

namespace CIAPI {

// Parts of the engine that own threads register a hook that joins them; StaticShutdown()
// runs every hook (in reverse order of registration). A hook must leave its part usable
// again: the engine may be used after a shutdown, and a second shutdown runs the hooks
// again. Hooks are never run concurrently with each other.
int AddShutdownHook(std::function<void()> hook);
void RemoveShutdownHook(int id);

} // namespace CIAPI
