#pragma once

#include "engine/indextask.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QSet>
#include <QThreadPool>

#include <functional>
#include <memory>

// Runs the image service's index tasks on a bounded share of the process-wide thread
// pool: the waiting tasks, the slots they run in, the link that brings their results
// back to this object's thread and the cancel of what has not started. Results are handed
// to `deliver` there, a bounded slice per event-loop turn.
class IndexScheduler : public QObject
{
    Q_OBJECT
public:
    using Deliver = std::function<void(IndexResult&)>;

    // At most `threadCount` tasks run at once, and never on every thread of the pool.
    IndexScheduler(int threadCount, Deliver deliver, QObject* parent = nullptr);

    int threadCount() const { return m_threadCount; }
    // How many tasks may run at once now: `threadCount`, less when the pool has no thread
    // to spare beyond them.
    int runLimit() const;
    void setProbe(IndexTask::Probe probe) { m_probe = std::move(probe); }

    // Queues a task; its slots, link and probe are filled in here.
    void enqueue(IndexTask::Setup setup);
    // Starts waiting tasks while slots are free.
    void shuffleTasks();
    int pendingCount() const;
    // Tasks handed to the pool that have not ended (a task handed over may not have
    // begun yet).
    int runningCount() const { return m_threadCount - m_taskSlots.available(); }
    // Drops the tasks that have not started; their keepers stop loading.
    void cancel();
    // Drops the tasks not started yet for the files whose keepers are named; returns how
    // many were dropped.
    int cancelFor(const QSet<const ImageKeeper*>& keepers);
    // From here on finishing tasks only let go; they never reach this object again.
    void cut();
    // Drops the tasks that never started and waits for the running ones.
    void finish();

private:
    // Hands what the tasks found to `m_deliver`, a bounded slice per event-loop turn.
    void deliverResults();
    // Pops the first waiting task for a finishing one (any thread); with none waiting
    // the finishing task's slot is taken back under the same lock.
    std::shared_ptr<IndexTask> handOver();

    Deliver m_deliver;
    QThreadPool* m_pool;
    int m_threadCount;
    QSemaphore m_taskSlots;
    mutable QMutex m_pendingMutex; // guards m_pending and the hand-over of slots
    QList<std::shared_ptr<IndexTask>> m_pending;
    std::shared_ptr<TaskLink> m_link;
    IndexTask::Probe m_probe;
};
