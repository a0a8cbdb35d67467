#pragma once

#include <QString>

// Holds off system sleep while a lock is held.
class ISleepInhibitor
{
public:
    virtual ~ISleepInhibitor() = default;
    // Takes the lock with a reason the user may be shown; false when it cannot be had.
    virtual bool inhibit(const QString& why) = 0;
    // Gives the lock back; harmless when none is held.
    virtual void release() = 0;
};
