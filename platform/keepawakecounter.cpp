#include "platform/keepawakecounter.h"

KeepAwakeCounter::KeepAwakeCounter(ISleepInhibitor& inhibitor)
    : m_inhibitor(inhibitor)
{ }

void KeepAwakeCounter::acquire(const QString& reason)
{
    QMutexLocker lock(&m_mutex);
    if (m_count++ == 0)
        m_inhibitor.inhibit(reason);
}

void KeepAwakeCounter::release()
{
    QMutexLocker lock(&m_mutex);
    if (m_count == 0)
        return;
    if (--m_count == 0)
        m_inhibitor.release();
}

int KeepAwakeCounter::count() const
{
    QMutexLocker lock(&m_mutex);
    return m_count;
}
