// The engine's worker pool: loops from many threads, nesting, exceptions, shutdown; it and
// the compressor size themselves by the CPUs the process may use (a narrowed affinity mask
// and a cgroup CPU quota both count).
#include <QtTest>

#include <QTemporaryDir>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ciapi/backgroundthread.h"
#include "ciapi/cpucount.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/shutdownhooks.h"
#include "support/filetree.h"
#include "support/testmain.h"

using namespace CIAPI;
using CIAPI::render::WorkerPool;

namespace {

// The order in which tasks ran.
class Recorder
{
public:
    void add(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_steps.push_back(name);
        m_added.notify_all();
    }
    // Until `count` steps ran.
    void waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_added.wait(lock, [&] { return m_steps.size() >= count; });
    }
    std::function<void()> step(const std::string& name)
    {
        return [this, name] { add(name); };
    }
    std::vector<std::string> steps() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_steps;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_added;
    std::vector<std::string> m_steps;
};

// Holds one worker of the pool from construction (once it returns, the worker runs it) until
// release() (or destruction).
class Latch
{
public:
    explicit Latch(WorkerPool& pool)
    {
        auto started = std::make_shared<std::promise<void>>();
        std::future<void> running = started->get_future();
        std::shared_future<void> go = m_go.get_future().share();
        pool.submit(
            [started, go] {
                started->set_value();
                go.wait();
            },
            WorkerPool::Priority::Interactive);
        running.wait();
    }
    ~Latch() { release(); }
    void release()
    {
        if (!m_released) {
            m_released = true;
            m_go.set_value();
        }
    }

private:
    std::promise<void> m_go;
    bool m_released = false;
};

// The calling thread's own nice value.
int niceOfThisThread()
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)));
    return errno == 0 ? nice : -100;
}

// The nice values seen by named steps, from inside them.
class NiceRecorder
{
public:
    void add(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen[name] = niceOfThisThread();
        m_added.notify_all();
    }
    std::function<void()> step(const std::string& name)
    {
        return [this, name] { add(name); };
    }
    // What `name` saw, once it ran.
    int waitFor(const std::string& name)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_added.wait(lock, [&] { return m_seen.count(name) > 0; });
        return m_seen[name];
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_added;
    std::map<std::string, int> m_seen;
};

// Releases its waiters once `count` of them arrived.
class Barrier
{
public:
    explicit Barrier(int count)
        : m_left(count)
    { }
    void arrive()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_left <= 0)
            m_all.notify_all();
        m_all.wait(lock, [&] { return m_left <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_all;
    int m_left;
};

} // namespace

class TestWorkerPool : public QObject
{
    Q_OBJECT

private slots:
    // Every index runs exactly once even when several threads drive loops at once.
    void parallelForFromManyThreads()
    {
        WorkerPool pool;
        constexpr int kThreads = 6, kCount = 500;
        std::vector<std::atomic<int>> hits(kThreads * kCount); // thread t's loop at t * kCount
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 5; ++round)
                    pool.parallelFor(kCount, [&](int i) { hits[size_t(t * kCount + i)].fetch_add(1); });
            });
        for (auto& th : threads)
            th.join();
        for (const auto& h : hits)
            QCOMPARE(h.load(), 5);
    }

    // A loop inside a task of the same pool completes even with a single worker.
    void nestedLoopDoesNotDeadlock()
    {
        WorkerPool pool;
        pool.setThreadLimit(1);
        std::atomic<int> sum { 0 };
        std::atomic<bool> done { false };
        pool.submit([&] {
            pool.parallelFor(
                100, [&](int i) { pool.parallelFor(10, [&](int j) { sum.fetch_add(i * 10 + j); }); });
            done = true;
        });
        pool.shutdown(); // drains the queue
        QVERIFY(done.load());
        QCOMPARE(sum.load(), 999 * 1000 / 2);
    }

    void exceptionReachesCaller()
    {
        WorkerPool pool;
        std::atomic<int> ran { 0 };
        QVERIFY_EXCEPTION_THROWN(pool.parallelFor(64,
                                     [&](int i) {
                                         ran.fetch_add(1);
                                         if (i == 17)
                                             throw std::runtime_error("boom");
                                     }),
            std::runtime_error);
        QCOMPARE(ran.load(), 64); // the other indices still ran
    }

    // Work someone waits for goes ahead of queued background work (thumbnails), whether the
    // background work was marked by the submitting thread's scope or by the task's own
    // priority; background work keeps its order. The only worker is held while all is queued.
    void interactiveWorkGoesFirst()
    {
        WorkerPool pool;
        pool.setThreadLimit(1);
        Recorder order;
        Latch held(pool);
        {
            const WorkerPool::PriorityScope background(WorkerPool::Priority::Background);
            QCOMPARE(WorkerPool::currentPriority(), WorkerPool::Priority::Background);
            for (int i = 0; i < 3; ++i)
                pool.submit(order.step("b" + std::to_string(i)));
        }
        QCOMPARE(WorkerPool::currentPriority(), WorkerPool::Priority::Interactive);
        pool.submit(order.step("b3"), WorkerPool::Priority::Background);
        pool.submit(order.step("i0"));
        pool.submit(order.step("i1"), WorkerPool::Priority::Interactive);
        held.release();
        pool.shutdown(); // drains the queue
        QCOMPARE(order.steps(), (std::vector<std::string> { "i0", "i1", "b0", "b1", "b2", "b3" }));
    }

    // Background work is never starved: after a streak of interactive tasks taken while it
    // waited, it is taken next.
    void backgroundWorkIsNotStarved()
    {
        WorkerPool pool;
        pool.setThreadLimit(1);
        Recorder order;
        Latch held(pool);
        pool.submit(order.step("b"), WorkerPool::Priority::Background);
        const int interactive = WorkerPool::kInteractiveStreak + 10;
        for (int i = 0; i < interactive; ++i)
            pool.submit(order.step("i"));
        held.release();
        pool.shutdown();
        const std::vector<std::string> steps = order.steps();
        QCOMPARE(int(steps.size()), interactive + 1);
        QCOMPARE(
            int(std::find(steps.begin(), steps.end(), "b") - steps.begin()), WorkerPool::kInteractiveStreak);
    }

    // A task queues its follow-up work at its own priority: a background task's follow-up
    // waits behind interactive work queued after it.
    void tasksPassTheirPriorityOn()
    {
        WorkerPool pool;
        pool.setThreadLimit(1);
        Recorder order;
        Latch held(pool);
        pool.submit(
            [&] {
                order.add("background");
                pool.submit(order.step("its follow-up"));
                pool.submit(order.step("interactive"), WorkerPool::Priority::Interactive);
            },
            WorkerPool::Priority::Background);
        held.release();
        order.waitFor(3); // a shutdown now would start fresh workers for what the task queues
        pool.shutdown();
        QCOMPARE(order.steps(), (std::vector<std::string> { "background", "interactive", "its follow-up" }));
    }

    // A background loop still completes (its caller runs what helpers leave) while the
    // workers are held and interactive work is queued.
    void backgroundLoopCompletesBehindInteractiveWork()
    {
        WorkerPool pool;
        pool.setThreadLimit(2);
        Latch first(pool);
        Latch second(pool);
        std::atomic<int> interactiveRan { 0 };
        pool.submit([&] { interactiveRan.fetch_add(1); });
        std::atomic<int> sum { 0 };
        {
            const WorkerPool::PriorityScope background(WorkerPool::Priority::Background);
            pool.parallelFor(100, [&](int i) { sum.fetch_add(i); });
        }
        QCOMPARE(sum.load(), 99 * 100 / 2);
        QCOMPARE(interactiveRan.load(), 0);
        first.release();
        second.release();
        pool.shutdown();
        QCOMPARE(interactiveRan.load(), 1);
    }

    // Background work runs at lowered CPU priority, work someone waits for at the priority of
    // the thread that queued it: a background task and its follow-up, a background loop's
    // helper, an interactive task queued from inside background work, and interactive work on
    // a pool whose workers were started from inside background work (a thread inherits its
    // creator's priority, so they must not be started by the lowered thread itself).
    void backgroundWorkRunsLowered()
    {
        const int normal = niceOfThisThread();
        QVERIFY(normal != -100);
        if (normal >= 19)
            QSKIP("the test runs at the lowest priority already");
        const int lowered = std::min(19, normal + BackgroundThread::kNiceSteps);
        QVERIFY(BackgroundThread::enabled());
        WorkerPool pool;
        pool.setThreadLimit(2);
        NiceRecorder seen;
        // The workers are started here, from inside background work on a lowered thread.
        bool onTwin = false;
        BackgroundThread::run([&] {
            onTwin = BackgroundThread::onLoweredThread();
            seen.add("lowered caller");
            pool.submit(
                seen.step("interactive, queued from a lowered thread"), WorkerPool::Priority::Interactive);
        });
        QVERIFY(onTwin);
        QVERIFY(!BackgroundThread::onLoweredThread());
        QCOMPARE(seen.waitFor("lowered caller"), lowered);
        QCOMPARE(seen.waitFor("interactive, queued from a lowered thread"), normal);

        pool.submit(seen.step("interactive"));
        pool.submit(
            [&] {
                seen.add("background");
                pool.submit(seen.step("its follow-up"));
                pool.submit(seen.step("interactive from background"), WorkerPool::Priority::Interactive);
                // A loop of two whose indices wait for each other: the helper takes one.
                const std::thread::id caller = std::this_thread::get_id();
                Barrier both(2);
                pool.parallelFor(2, [&](int) {
                    if (std::this_thread::get_id() != caller)
                        seen.add("its loop's helper");
                    both.arrive();
                });
            },
            WorkerPool::Priority::Background);
        QCOMPARE(seen.waitFor("interactive"), normal);
        QCOMPARE(seen.waitFor("background"), lowered);
        QCOMPARE(seen.waitFor("its follow-up"), lowered);
        QCOMPARE(seen.waitFor("interactive from background"), normal);
        QCOMPARE(seen.waitFor("its loop's helper"), lowered);

        // A background loop queued from a thread of ordinary priority: its helper is lowered.
        {
            const WorkerPool::PriorityScope background(WorkerPool::Priority::Background);
            const std::thread::id caller = std::this_thread::get_id();
            Barrier both(2);
            pool.parallelFor(2, [&](int) {
                if (std::this_thread::get_id() != caller)
                    seen.add("helper");
                both.arrive();
            });
        }
        QCOMPARE(seen.waitFor("helper"), lowered);
        pool.shutdown();
        QCOMPARE(niceOfThisThread(), normal);
    }

    // A failure inside work handed to a twin reaches the caller, and the twin serves again.
    void backgroundThreadPassesFailuresOn()
    {
        QVERIFY_EXCEPTION_THROWN(
            BackgroundThread::run([] { throw std::runtime_error("boom"); }), std::runtime_error);
        int ran = 0;
        BackgroundThread::run([&] { ran += BackgroundThread::onLoweredThread() ? 1 : 100; });
        QCOMPARE(ran, 1);
    }

    // shutdown() runs what was queued, may be called twice, and the pool works again after.
    void shutdownDrainsAndRestarts()
    {
        WorkerPool pool;
        std::atomic<int> count { 0 };
        for (int i = 0; i < 200; ++i)
            pool.submit([&] { count.fetch_add(1); });
        pool.shutdown();
        QCOMPARE(count.load(), 200);
        pool.shutdown();
        pool.submit([&] { count.fetch_add(1); });
        pool.shutdown();
        QCOMPARE(count.load(), 201);
    }

    // Submitting while another thread shuts the pool down loses no task.
    void submitDuringShutdown()
    {
        WorkerPool pool;
        std::atomic<int> count { 0 };
        std::thread producer([&] {
            for (int i = 0; i < 2000; ++i)
                pool.submit([&] { count.fetch_add(1); });
        });
        for (int i = 0; i < 20; ++i)
            pool.shutdown();
        producer.join();
        pool.shutdown();
        QCOMPARE(count.load(), 2000);
    }

    // The engine's shutdown hooks run on every StaticShutdown (joining what they started) until
    // removed.
    void shutdownJoinsAndIsRepeatable()
    {
        std::atomic<bool> stop { false };
        std::thread worker;
        std::atomic<int> runs { 0 };
        auto start = [&] {
            stop = false;
            worker = std::thread([&] {
                while (!stop)
                    std::this_thread::yield();
            });
        };
        start();
        const int id = AddShutdownHook([&] {
            ++runs;
            stop = true;
            if (worker.joinable())
                worker.join();
        });
        StaticShutdown();
        QVERIFY(!worker.joinable());
        StaticShutdown();
        QCOMPARE(runs.load(), 2);
        start(); // usable again
        StaticShutdown();
        QVERIFY(!worker.joinable());
        RemoveShutdownHook(id);
        StaticShutdown();
        QCOMPARE(runs.load(), 3);
    }

    // A child process restricted to `allowed` CPUs sees that many, and a pool it starts has
    // that many workers.
    void affinityOfAChild()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("a child forked from a threaded process cannot start threads under the thread sanitizer");
#endif
        cpu_set_t mine;
        QCOMPARE(sched_getaffinity(0, sizeof mine, &mine), 0);
        const int available = CPU_COUNT(&mine);
        for (int allowed : { 1, 2 }) {
            if (allowed > available)
                QSKIP("fewer CPUs than the case needs");
            const pid_t child = fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                cpu_set_t set;
                CPU_ZERO(&set);
                for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < allowed; ++cpu)
                    if (CPU_ISSET(cpu, &mine)) {
                        CPU_SET(cpu, &set);
                        ++taken;
                    }
                if (sched_setaffinity(0, sizeof set, &set) != 0)
                    _exit(100);
                render::WorkerPool pool;
                pool.submit([] {});
                const int seen = usableCpuCount(), workers = pool.threadCount();
                pool.shutdown();
                _exit(seen == allowed && workers == allowed ? 0 : 10 + seen);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        QVERIFY(usableCpuCount() <= available);
    }

    void cgroupQuota_data()
    {
        QTest::addColumn<QString>("cgroupList");
        QTest::addColumn<QStringList>("files"); // path=content
        QTest::addColumn<int>("limit");
        QTest::newRow("v2 none") << "0::/a/b\n" << QStringList { "a/b/cpu.max=max 100000" } << 0;
        QTest::newRow("v2 quota rounds up") << "0::/a/b\n"
                                            << QStringList { "a/b/cpu.max=150000 100000" } << 2;
        QTest::newRow("v2 parent lower")
            << "0::/a/b\n"
            << QStringList { "a/b/cpu.max=400000 100000", "a/cpu.max=100000 100000" } << 1;
        QTest::newRow("v2 at the root") << "0::/\n" << QStringList { "cpu.max=300000 100000" } << 3;
        QTest::newRow("v1 quota") << "4:memory:/x\n2:cpu,cpuacct:/job\n"
                                  << QStringList { "cpu/job/cpu.cfs_quota_us=250000",
                                         "cpu/job/cpu.cfs_period_us=100000" }
                                  << 3;
        QTest::newRow("v1 unlimited")
            << "2:cpu,cpuacct:/job\n"
            << QStringList { "cpu/job/cpu.cfs_quota_us=-1", "cpu/job/cpu.cfs_period_us=100000" } << 0;
        QTest::newRow("garbage") << "nonsense\n0::/a\n" << QStringList { "a/cpu.max=abc" } << 0;
    }
    void cgroupQuota()
    {
        QFETCH(QString, cgroupList);
        QFETCH(QStringList, files);
        QFETCH(int, limit);
        QTemporaryDir root;
        for (const QString& f : files)
            QVERIFY(
                ostra::test::writeTreeFile(root.filePath(f.section('=', 0, 0)), f.section('=', 1).toUtf8()));
        QCOMPARE(cgroupCpuLimit(cgroupList.toStdString(), root.path().toStdString()), limit);
    }
};

OSTRA_TEST_MAIN_CORE(TestWorkerPool)
#include "tst_workerpool.moc"
