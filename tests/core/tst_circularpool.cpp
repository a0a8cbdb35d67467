#include "support/testmain.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <deque>
#include <vector>

#include "core/circularpool.h"
#include "core/stdarraypool.h"

namespace {

// Holds posted recycle tasks until the test runs them, so the order of events is
// under the test's control.
class ManualPost
{
public:
    CircularPool::PostFunction function()
    {
        return [this](std::function<void()> task) {
            QMutexLocker lock(&m_mutex);
            m_tasks.push_back(std::move(task));
        };
    }
    int pending() const
    {
        QMutexLocker lock(&m_mutex);
        return int(m_tasks.size());
    }
    void runOne()
    {
        std::function<void()> task;
        {
            QMutexLocker lock(&m_mutex);
            QVERIFY(!m_tasks.empty());
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        task();
    }
    void runAll()
    {
        while (pending() > 0)
            runOne();
    }

private:
    mutable QMutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
};

bool masksConsistent(const CircularPool::Masks& m, int count)
{
    const quint32 all = count == 0 ? 0u : (0xFFFFFFFFu >> (32 - count));
    const bool disjoint
        = (m.free & m.busy) == 0 && (m.free & m.recycling) == 0 && (m.busy & m.recycling) == 0;
    return disjoint && (m.free | m.busy | m.recycling) == all && (m.marked & ~m.busy) == 0;
}

} // namespace

class TestCircularPool : public QObject
{
    Q_OBJECT
private slots:
    void init() { QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false")); }

    void markedSlotsAreTakenBackOverTheBusyLimit()
    {
        ManualPost post;
        QVector<int> released;
        QVector<int> recycled;
        CircularPool pool(
            2, 1, [&](int i) { released << i; }, [&](int i) { recycled << i; }, post.function());

        QCOMPARE(pool.acquire(true), 0);
        // Slot 1 is free, but the limit of one busy slot makes slot 0 go back first.
        QCOMPARE(pool.acquire(true), 1);
        QCOMPARE(released, QVector<int> { 0 });
        QCOMPARE(post.pending(), 1);
        auto m = pool.masks();
        QCOMPARE(m.busy, 2u);
        QCOMPARE(m.recycling, 1u);
        QCOMPARE(m.marked, 2u);
        QVERIFY(masksConsistent(m, 2));

        // A third acquire gives slot 1 back too and must wait for a recycle task.
        QFuture<int> third = QtConcurrent::run([&pool] { return pool.acquire(true); });
        QTRY_COMPARE(post.pending(), 2);
        QCOMPARE(released, (QVector<int> { 0, 1 }));
        m = pool.masks();
        QCOMPARE(m.free, 0u);
        QCOMPARE(m.recycling, 3u);
        QVERIFY(!third.isFinished());

        post.runOne(); // recycles slot 0
        QCOMPARE(third.result(), 0);
        QCOMPARE(recycled, QVector<int> { 0 });
        post.runAll();
        QCOMPARE(recycled, (QVector<int> { 0, 1 }));
        m = pool.masks();
        QCOMPARE(m.busy, 1u);
        QCOMPARE(m.free, 2u);
        QVERIFY(masksConsistent(m, 2));
    }

    void unmarkedSlotsAreNeverTakenBack()
    {
        ManualPost post;
        QVector<int> released;
        CircularPool pool(
            2, 1, [&](int i) { released << i; }, [](int) {}, post.function());
        QCOMPARE(pool.acquire(false), 0);
        QCOMPARE(pool.acquire(true), 1);
        QVERIFY(released.isEmpty());

        QFuture<int> next = QtConcurrent::run([&pool] { return pool.acquire(true); });
        QTRY_COMPARE(post.pending(), 1);
        QCOMPARE(released, QVector<int> { 1 });
        QVERIFY(!next.isFinished());
        post.runAll();
        QCOMPARE(next.result(), 1);
        QCOMPARE(released, QVector<int> { 1 });

        pool.release(0);
        QCOMPARE(released, (QVector<int> { 1, 0 }));
        post.runAll();
        QCOMPARE(pool.masks().free, 1u);
    }

    // Asked without waiting, a pool with no free slot says so at once and changes nothing;
    // a slot is had again once its recycle task has run.
    void tryAcquireNeverWaits()
    {
        ManualPost post;
        QVector<int> released;
        CircularPool pool(
            2, 2, [&](int i) { released << i; }, [](int) {}, post.function());
        QCOMPARE(pool.tryAcquire(false), 0);
        QCOMPARE(pool.tryAcquire(false), 1);
        QCOMPARE(pool.tryAcquire(false), -1);
        QCOMPARE(pool.masks().busy, 3u);
        pool.release(1);
        QCOMPARE(pool.tryAcquire(false), -1); // recycling, not free yet
        QCOMPARE(pool.masks().recycling, 2u);
        post.runAll();
        QCOMPARE(pool.tryAcquire(true), 1);
        QVERIFY(masksConsistent(pool.masks(), 2));
        QCOMPARE(released, QVector<int> { 1 });
        pool.release(0);
        pool.release(1);
        post.runAll();
        QCOMPARE(pool.masks().free, 3u);
    }

    void destructorWaitsForRecycling()
    {
        QSemaphore gate;
        std::atomic<bool> recycleDone { false };
        QThreadPool workers;
        auto* pool = new CircularPool(
            1, 1, [](int) {},
            [&](int) {
                gate.acquire();
                recycleDone = true;
            },
            [&workers](std::function<void()> task) { QtConcurrent::run(&workers, std::move(task)); });
        QCOMPARE(pool->acquire(false), 0);
        pool->release(0);

        std::atomic<bool> destroyed { false };
        QFuture<void> destroyer = QtConcurrent::run([&] {
            delete pool;
            destroyed = true;
        });
        // While the recycle task is held at the gate the pool must still exist.
        QTest::qWait(50);
        QVERIFY(!destroyed);
        gate.release();
        destroyer.waitForFinished();
        QVERIFY(recycleDone);
        QVERIFY(destroyed);
        workers.waitForDone();
    }

    void manyThreadsKeepTheInvariants()
    {
        constexpr int slotCount = 6;
        constexpr int busyLimit = 3;
        constexpr int threads = 12;
        constexpr int rounds = 400;
        enum State { Free, Held, Recycling };
        std::atomic<int> states[slotCount];
        for (auto& s : states)
            s = Free;
        std::atomic<int> violations { 0 };
        std::atomic<int> inconsistentMasks { 0 };

        auto transition = [&](int i, int from, int to) {
            int expected = from;
            if (!states[i].compare_exchange_strong(expected, to))
                ++violations;
        };

        QThreadPool recyclers;
        recyclers.setMaxThreadCount(3);
        // Holders of unmarked slots record them as Held; marked slots may be taken back
        // by another acquire before their holder could record anything, so they go
        // straight from Free to Recycling when released.
        CircularPool pool(
            slotCount, busyLimit,
            [&](int i) {
                int expected = Held;
                if (states[i].compare_exchange_strong(expected, Recycling))
                    return;
                expected = Free;
                if (!states[i].compare_exchange_strong(expected, Recycling))
                    ++violations;
            },
            [&](int i) {
                if (QRandomGenerator::global()->bounded(4) == 0)
                    QThread::yieldCurrentThread();
                transition(i, Recycling, Free);
            },
            [&recyclers](std::function<void()> task) { QtConcurrent::run(&recyclers, std::move(task)); });

        QThreadPool clients;
        clients.setMaxThreadCount(threads);
        for (int t = 0; t < threads; ++t) {
            QtConcurrent::run(&clients, [&, t] {
                const bool marking = t % 3 == 0;
                for (int r = 0; r < rounds; ++r) {
                    const int i = pool.acquire(marking);
                    if (i < 0 || i >= slotCount) {
                        ++violations;
                        continue;
                    }
                    if (!marking)
                        transition(i, Free, Held);
                    if (!masksConsistent(pool.masks(), slotCount))
                        ++inconsistentMasks;
                    // Marked slots are handed back by later acquires, never by their holder.
                    if (!marking)
                        pool.release(i);
                }
            });
        }

        // A deadlock ends the program here rather than hanging in the pools' destructors.
        if (!clients.waitForDone(120000))
            qFatal("pool deadlocked");
        recyclers.waitForDone();

        QCOMPARE(violations.load(), 0);
        QCOMPARE(inconsistentMasks.load(), 0);
        const auto m = pool.masks();
        QVERIFY(masksConsistent(m, slotCount));
        QCOMPARE(m.recycling, 0u);
        // Only marked slots may still be busy, and no more than the limit allows.
        QCOMPARE(m.busy & ~m.marked, 0u);
        QVERIFY(__builtin_popcount(m.busy) <= busyLimit);
        for (int i = 0; i < slotCount; ++i)
            QCOMPARE(states[i].load(), int(Free));
    }

    void slotCountIsBounded()
    {
        auto make = [](int count) {
            CircularPool pool(
                count, 1, [](int) {}, [](int) {}, [](std::function<void()> f) { f(); });
        };
        QVERIFY_EXCEPTION_THROWN(make(32), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(make(-1), std::invalid_argument);
        make(31);
    }
};

OSTRA_TEST_MAIN_CORE(TestCircularPool)
#include "tst_circularpool.moc"
