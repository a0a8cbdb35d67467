#pragma once

namespace ostra {

// Registers the schema scripts and images built into the core library. Safe to call
// from any thread and any number of times; the first call does the work.
void initResources();

} // namespace ostra
