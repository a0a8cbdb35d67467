#pragma once

// Watches the image service's indexing tasks: counts them, and can hold each at its start
// until the test lets it go. For the tests of the service's users (header only).

#include "engine/imagelocator.h"

#include <QCoreApplication>
#include <QSemaphore>
#include <QTest>

#include <atomic>

namespace ostra::test {

class TaskProbe
{
public:
    explicit TaskProbe(ImageLocator& locator)
        : m_locator(locator)
    {
        locator.setTaskProbe([this](IndexTask::Step step, const QUrl&) {
            if (step == IndexTask::Step::Finished)
                ++finished;
            if (step != IndexTask::Step::Started)
                return;
            ++started;
            if (closed)
                m_passes.acquire();
        });
    }
    ~TaskProbe() { open(); }

    // Lets the held tasks go, and every later one pass.
    void open()
    {
        closed = false;
        m_passes.release(1000);
    }

    // Waits until no task runs and the results of the finished ones have been delivered.
    // A task handed to the pool may not have begun yet: it is counted as running.
    bool settle()
    {
        const bool idle = QTest::qWaitFor(
            [&] {
                return started == finished && m_locator.pendingCount() == 0 && m_locator.runningCount() == 0;
            },
            20000);
        QCoreApplication::processEvents();
        return idle;
    }

    std::atomic<bool> closed { false };
    std::atomic<int> started { 0 };
    std::atomic<int> finished { 0 };

private:
    ImageLocator& m_locator;
    QSemaphore m_passes;
};

} // namespace ostra::test
