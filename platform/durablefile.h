#pragma once

#include <QString>

// Renames `from` to `to` only when `to` does not exist (errno EEXIST otherwise), also on
// file systems without an atomic no-replace rename, where a hard link or, last, a
// checked rename stands in. 0 on success, -1 with errno set.
int renameWithoutReplacing(const char* from, const char* to);
