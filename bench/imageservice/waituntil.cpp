#include "bench/imageservice/waituntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace imageservicebench {

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QTimer wake;
    wake.start(100);
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        // Not the overload with a time limit: that one drops WaitForMoreEvents and polls.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace imageservicebench
