#include "display/redrawthrottle.h"

#include <algorithm>

void RedrawThrottle::step()
{
    int value = m_counter.load();
    while (!m_counter.compare_exchange_weak(value, std::min(value + 1, 2))) { }
}

bool RedrawThrottle::request()
{
    step();
    return m_counter.load() == 1;
}

void RedrawThrottle::scheduleCheck(QObject* receiver)
{
    if (m_rendering)
        m_timer.start(kRefreshMs, receiver);
}

void RedrawThrottle::beginRefresh()
{
    m_timer.stop();
    m_rendering = false;
}

void RedrawThrottle::settle()
{
    int value = m_counter.load();
    while (value > 0 && !m_counter.compare_exchange_weak(value, value - 1)) { }
}
