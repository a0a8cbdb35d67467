#include "engine/indexscheduler.h"

#include "core/asynctask.h"

#include <QElapsedTimer>

namespace {

// Results handed out per turn of the event loop at most, and the time after which the
// rest waits for the next turn.
constexpr int kDeliverBatch = 64;
constexpr qint64 kDeliverSliceNs = 4000000;

} // namespace

IndexScheduler::IndexScheduler(int threadCount, Deliver deliver, QObject* parent)
    : QObject(parent)
    , m_deliver(std::move(deliver))
    , m_pool(QThreadPool::globalInstance())
    , m_threadCount(qMax(1, threadCount))
    , m_taskSlots(m_threadCount)
    , m_link(std::make_shared<TaskLink>([this] { return handOver(); },
          [this] {
              QMetaObject::invokeMethod(
                  this, [this] { deliverResults(); }, Qt::QueuedConnection);
          }))
{ }

void IndexScheduler::enqueue(IndexTask::Setup setup)
{
    setup.taskSlots = &m_taskSlots;
    setup.link = m_link;
    setup.probe = m_probe;
    {
        QMutexLocker lock(&m_pendingMutex);
        m_pending.append(std::make_shared<IndexTask>(std::move(setup)));
    }
    shuffleTasks();
}

int IndexScheduler::runLimit() const
{
    // The pool is shared with work someone waits for (a report being written, the files
    // handed over on the command line): index tasks never take its last thread, or such
    // work would wait until a whole thumbnail is rendered.
    return qMax(1, qMin(m_threadCount, m_pool->maxThreadCount() - 1));
}

void IndexScheduler::shuffleTasks()
{
    QMutexLocker lock(&m_pendingMutex);
    // Slots are taken only here, under this lock; elsewhere they are only given back, so
    // the count of running tasks read here can be too high but never too low.
    const int limit = runLimit();
    while (!m_pending.isEmpty() && m_threadCount - m_taskSlots.available() < limit
        && m_taskSlots.tryAcquire(1)) {
        const std::shared_ptr<IndexTask> next = m_pending.takeFirst();
        (new AsyncTask([next] { next->run(); }, true))->start(m_pool);
    }
}

std::shared_ptr<IndexTask> IndexScheduler::handOver()
{
    QMutexLocker lock(&m_pendingMutex);
    if (m_pending.isEmpty()) {
        m_taskSlots.release(1);
        return nullptr;
    }
    return m_pending.takeFirst();
}

int IndexScheduler::pendingCount() const
{
    QMutexLocker lock(&m_pendingMutex);
    return m_pending.size();
}

void IndexScheduler::cancel()
{
    // Dropped loads must not keep their keepers loading, or the next load request for
    // such a file would wait for output that never comes.
    QList<std::shared_ptr<IndexTask>> dropped;
    {
        QMutexLocker lock(&m_pendingMutex);
        dropped.swap(m_pending);
    }
    for (const std::shared_ptr<IndexTask>& task : qAsConst(dropped))
        task->keeper()->setLoading(false);
}

int IndexScheduler::cancelFor(const QSet<const ImageKeeper*>& keepers)
{
    QList<std::shared_ptr<IndexTask>> dropped;
    {
        QMutexLocker lock(&m_pendingMutex);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (keepers.contains((*it)->keeper().get())) {
                dropped.append(*it);
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const std::shared_ptr<IndexTask>& task : qAsConst(dropped))
        task->keeper()->setLoading(false);
    return dropped.size();
}

void IndexScheduler::cut()
{
    m_link->cut();
}

void IndexScheduler::finish()
{
    // Tasks that never started are dropped; running ones are waited for.
    {
        QMutexLocker lock(&m_pendingMutex);
        for (const std::shared_ptr<IndexTask>& task : qAsConst(m_pending))
            task->keeper()->setLoading(false);
        m_pending.clear();
    }
    m_taskSlots.acquire(m_threadCount);
}

void IndexScheduler::deliverResults()
{
    QElapsedTimer clock;
    clock.start();
    bool more = true;
    while (more) {
        std::vector<IndexResult> batch = m_link->take(kDeliverBatch, &more);
        for (IndexResult& result : batch)
            m_deliver(result);
        if (more && clock.nsecsElapsed() >= kDeliverSliceNs) {
            // The rest waits for the next turn, behind whatever else is queued.
            QMetaObject::invokeMethod(
                this, [this] { deliverResults(); }, Qt::QueuedConnection);
            return;
        }
    }
}
