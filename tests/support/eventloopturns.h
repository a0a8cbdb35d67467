#pragma once

#include <QObject>
#include <QTest>
#include <QTimer>

namespace ostra::test {

// Whether the calling thread's event loop turns: a timer of its own fires `turns` times
// within `timeoutMs` (false when something holds the loop meanwhile).
inline bool eventLoopTurns(int turns = 3, int timeoutMs = 5000)
{
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
    tick.start(5);
    return QTest::qWaitFor([&ticks, turns] { return ticks >= turns; }, timeoutMs);
}

} // namespace ostra::test
