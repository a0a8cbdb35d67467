#pragma once

// Lowers the calling thread's CPU priority (nice 10) and its I/O priority (best effort,
// level 7), so background copies yield to the user's work. Best effort: false when
// either could not be changed.
bool lowerCurrentThreadPriority();
