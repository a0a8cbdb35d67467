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

// The way back from pool tasks to the object that scheduled them. The scheduler cuts it
// before it goes away; a task that finishes later finds it cut and only lets go.
class TaskLink
{
public:
    explicit TaskLink(QObject* scheduler);
    // Asks the scheduler (when it is still there) to start waiting tasks.
    void notifyFinished();
    // After this returns no task reaches the scheduler any more.
    void cut();

private:
    QMutex m_mutex;
    QPointer<QObject> m_scheduler;
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
        std::shared_ptr<StreamSource> source;
        FilePerm* filePerm = nullptr;
        int channelOrder = 0;
        int applyTuning = 0;
        QSemaphore* taskSlots = nullptr;
        std::shared_ptr<TaskLink> link;
        Probe probe;
    };

    explicit IndexTask(Setup setup);
    void run();

    const QUrl& url() const { return m_setup.url; }
    const std::shared_ptr<ImageKeeper>& keeper() const { return m_setup.keeper; }

private:
    void probe(Step step);

    Setup m_setup;
};
