#pragma once

#include <QString>

// Forces a file's written data and metadata to the device (fsync); errno on failure.
bool syncDescriptor(int fd);

// Forces a folder's entries to the device, so a file renamed or created in it survives
// a crash under its new name.
bool syncFolder(const QString& folder);
