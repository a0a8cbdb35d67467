#pragma once

// What the memory benchmarks share: the resident size, messages kept quiet unless asked for,
// and turns of the event loop as the application's own would run them.

#include "core/memoryrelease.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QString>

#include <cstdio>

namespace bench {

inline double residentMb()
{
    return double(MemoryRelease::residentBytes()) / 1048576.0;
}

// Critical messages always, warnings too when the variable `diagnostics` names is set.
inline void printMessages(QtMsgType type, const QString& message, const char* diagnostics)
{
    if (type == QtCriticalMsg || type == QtFatalMsg
        || (qEnvironmentVariableIsSet(diagnostics) && type == QtWarningMsg))
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// One turn of the event loop as the application's own would run it: outside exec()
// objects deleted later are deleted only when asked for.
inline void turn(int ms)
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline void spin(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        turn(10);
}

} // namespace bench
