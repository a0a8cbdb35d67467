#pragma once

#include <QString>

#include "platform/ifatattributes.h"

// Gives a file or folder the hidden attribute where the file system has one (vfat);
// elsewhere there is nothing to set and the call succeeds for any existing path.
bool setHiddenAttribute(const QString& path, IFatAttributes& fat = systemFatAttributes());
