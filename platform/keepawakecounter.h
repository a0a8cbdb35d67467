#pragma once

#include <QMutex>
#include <QString>

#include "platform/isleepinhibitor.h"

// A process-wide, counted request to keep the machine awake: the first request takes
// the sleep lock (with its reason), the last withdrawal gives it back. Safe from any
// thread.
class KeepAwakeCounter
{
public:
    explicit KeepAwakeCounter(ISleepInhibitor& inhibitor);

    void acquire(const QString& reason);
    // Withdraws one request; more withdrawals than requests are ignored.
    void release();
    int count() const;

private:
    ISleepInhibitor& m_inhibitor;
    mutable QMutex m_mutex;
    int m_count = 0;
};
