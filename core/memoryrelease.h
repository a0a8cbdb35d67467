#pragma once

#include <QtGlobal>

// What the process does so that memory it no longer uses goes back to the system: large
// picture buffers are mapped on their own and unmapped when freed, and the allocator's
// free pages are returned after a big release (a session closed). Linux with glibc; a
// no-op elsewhere.
class MemoryRelease
{
public:
    // Blocks at least this large are mapped on their own and unmapped when freed.
    static constexpr long kMapThresholdBytes = 1L << 20;

    // Called once at start-up, before the threads that render start.
    static void boundAllocator();
    // Returns the free pages of every allocator arena to the system; returns whether any
    // were returned. Takes a while after a large release: call it off the GUI thread.
    static bool returnFreeMemory();
    // Resident and anonymous resident bytes of this process (0 when unknown).
    static qint64 residentBytes();
    static qint64 residentAnonymousBytes();
};
