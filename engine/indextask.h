#pragma once

#include "engine/fileperm.h"
#include "engine/imagekeeper.h"
#include "engine/streamsource.h"
#include "engine/vrxmessage.h"
#include "engine/vrxmetadata.h"

#include <QHash>
#include <QMutex>
#include <QPointer>
#include <QSemaphore>
#include <QUrl>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class IndexTask;

// One thing a task found out about a file, for the scheduler's thread.
struct IndexResult
{
    enum Kind {
        Metadata, // `metadata` for the service's rows
        Output, // `message` for the keeper and its listeners
        Invalid, // the file could not be read
    };
    Kind kind = Metadata;
    std::shared_ptr<ImageKeeper> keeper;
    VrxMetadata metadata;
    // The stamp the read took when it began (see GalleryRows).
    quint64 readStamp = 0;
    VrxMessage message;
};

// The way back from pool tasks to the scheduler that started them. A finishing task asks
// it for the next waiting task and runs that in its own thread, keeping its slot, so no
// pool thread idles while work waits; with nothing waiting the scheduler takes the slot
// back. Results travel back through one queue in the order tasks posted them; the
// scheduler's thread is woken once per batch, not once per result. The scheduler cuts
// the link before it goes away; a task that finishes later finds it cut, drops what it
// would post and only gives its slot back.
class TaskLink
{
public:
    // Returns the next waiting task (the caller's slot passes to it), or null after
    // taking the slot back.
    using HandOver = std::function<std::shared_ptr<IndexTask>()>;
    // Asks the scheduler's thread to take the queued results; called (on any thread,
    // with the link's queue locked) when a result arrives and no such request is out.
    using Wake = std::function<void()>;

    explicit TaskLink(HandOver handOver, Wake wake = {});
    // Called by a finishing task that holds one unit of `taskSlots`.
    void finished(QSemaphore* taskSlots);
    // Queues a result for the scheduler (any thread); dropped once the link is cut.
    void post(IndexResult result);
    // Takes up to `max` queued results, oldest first. `more` says whether some are left;
    // when none are, the next post wakes the scheduler again.
    std::vector<IndexResult> take(int max, bool* more);
    // After this returns no task reaches the scheduler any more. Results still queued
    // are dropped on the calling thread.
    void cut();

private:
    QMutex m_mutex;
    HandOver m_handOver;
    QMutex m_resultMutex;
    Wake m_wake;
    bool m_wakePending = false;
    bool m_cut = false;
    std::deque<IndexResult> m_results;
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

    // The thumbnail of a picture without a saved one: the coarsest pyramid level, made by
    // the same renderer, colour pipeline and tuning as the canvas (not the camera's
    // preview, whose white balance differs), so a thumbnail looks as the picture does
    // when it is opened. A one-level pyramid of its own.
    // The picture's calibration files by resource (see ImageViewer::Calibration).
    using CalibrationLookup = std::function<QHash<int, std::shared_ptr<StreamPart>>(StreamPart&)>;
    // The coarsest level as the editor draws it: with the camera's calibration and the tone
    // values of the state file at `statePath` (when it exists and is this picture's).
    static CIAPI::ImagePyramid renderThumbnail(StreamSource& source, int channelOrder, int tuning,
        const QHash<int, std::shared_ptr<StreamPart>>& calibration = {},
        const QString& statePath = QString());

    struct Setup
    {
        std::shared_ptr<ImageKeeper> keeper;
        QUrl url;
        int kinds = 0;
        // Given back with the metadata (see GalleryRows).
        quint64 readStamp = 0;
        std::shared_ptr<StreamSource> source; // the keeper's, taken by the task when null
        FilePerm* filePerm = nullptr;
        int channelOrder = 0;
        int applyTuning = 0;
        // Null: thumbnails are rendered without calibration.
        CalibrationLookup calibration;
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
    void postMetadata(const VrxMetadata& record);
    void postOutput(VrxMessage message);
    void postInvalid();

    Setup m_setup;
};
