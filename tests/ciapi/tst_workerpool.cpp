#include <QtTest>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ciapi/render/workerpool.h"
#include "ciapi/shutdownhooks.h"
#include "support/testmain.h"

using namespace CIAPI;
using CIAPI::render::WorkerPool;

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
};

OSTRA_TEST_MAIN_CORE(TestWorkerPool)
#include "tst_workerpool.moc"
