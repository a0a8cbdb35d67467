#pragma once

#include "engine/fileperm.h"
#include "engine/imagekeeper.h"
#include "engine/streamsource.h"

#include <QMutex>
#include <QPointer>
#include <QSemaphore>
#include <QUrl>

#include <functional>
#include <memory>

class IndexTask;

// The way back from pool tasks to the scheduler that started them. A finishing task asks
// it for the next waiting task and runs that in its own thread, keeping its slot, so no
// pool thread idles while work waits; with nothing waiting the scheduler takes the slot
// back. The scheduler cuts the link before it goes away; a task that finishes later finds
// it cut and only gives its slot back.
class TaskLink
{
public:
    // Returns the next waiting task (the caller's slot passes to it), or null after
    // taking the slot back.
    using HandOver = std::function<std::shared_ptr<IndexTask>()>;

    explicit TaskLink(HandOver handOver);
    // Called by a finishing task that holds one unit of `taskSlots`.
    void finished(QSemaphore* taskSlots);
    // After this returns no task reaches the scheduler any more.
    void cut();

private:
    QMutex m_mutex;
    HandOver m_handOver;
};

// One metadata and/or image read of a file, run on a pool thread: the state file's
// facts and thumbnail, the raw file's metadata, and a small render when no usable
// thumbnail was saved. Every result goes out through the file's keeper; whatever
// fails, the task gives back its slot and reports the file invalid.
class IndexTask
{
public:
    enum Kind {
        Metadata = 1,
        Image = 2,
    };
    // Points where a task can be watched (and, in tests, made to fail).
    enum class Step {
        Started,
        Token,
        State,
        RawMetadata,
        Render,
        Finished,
    };
    using Probe = std::function<void(Step, const QUrl&)>;

    struct Setup
    {
        std::shared_ptr<ImageKeeper> keeper;
        QUrl url;
        int kinds = 0;
        std::shared_ptr<StreamSource> source; // the keeper's, taken by the task when null
        FilePerm* filePerm = nullptr;
        int channelOrder = 0;
        int applyTuning = 0;
        QSemaphore* taskSlots = nullptr;
        std::shared_ptr<TaskLink> link;
        Probe probe;
    };

    explicit IndexTask(Setup setup);
    // Entry on a pool thread: the work of this task, then of every task waiting after it
    // that the scheduler hands over, then the slot goes back.
    void run();
    // The work of this task alone.
    void work();

    const QUrl& url() const { return m_setup.url; }
    const std::shared_ptr<ImageKeeper>& keeper() const { return m_setup.keeper; }

private:
    void probe(Step step);

    Setup m_setup;
};
