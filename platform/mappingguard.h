#pragma once

#include <atomic>
#include <cstddef>

// Keeps a file that shrinks under its memory mapping from killing the process. A read
// of a mapped page that lies past the new end of the file raises SIGBUS; for a watched
// mapping the handler replaces the whole mapping with zero pages, counts the fault in
// the owner's counter and lets the read go on. The owner compares its counter before
// and after a read and treats a change as a read error. Faults outside every watched
// mapping go to the handler that was installed before (and so still end the process).
//
// The handler takes no lock and allocates nothing; registration is lock-free too, so
// watching and unwatching are safe from any thread.
namespace MappingGuard {

// Watches the mapping [base, base + length) (`base` page aligned). Returns a slot to
// hand to `unwatch`, or -1 when the guard could not be installed (the mapping then
// stays unguarded, as before). `faults` must outlive the watch.
int watch(void* base, std::size_t length, std::atomic<int>* faults);

// Stops watching; call before the mapping is unmapped.
void unwatch(int slot);

} // namespace MappingGuard
