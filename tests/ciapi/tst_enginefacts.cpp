// What callers read through RendererBase: numbered parameters, output sizes per focal
// length, handle identities, shutdown.
#include "ciapi/ciapi.h"
#include "ciapi/shutdownhooks.h"
#include "ciapi/vrx/focalsize.h"
#include "ciapi/vrx/vrximage.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QtTest>

#include <atomic>
#include <thread>

using namespace CIAPI;

class TestEngineFacts : public QObject
{
    Q_OBJECT

private slots:
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

OSTRA_TEST_MAIN_CORE(TestEngineFacts)
#include "tst_enginefacts.moc"
