#include "support/testmain.h"

#include "display/redrawthrottle.h"

#include <QThread>

#include <memory>
#include <vector>

class TestRedrawThrottle : public QObject
{
    Q_OBJECT
private slots:
    // The first request draws at once, the next are coalesced; at most two redraws are
    // owed, and a refresh that finds nothing pays one back, never going below none.
    void coalescing()
    {
        RedrawThrottle t;
        t.settle();
        QVERIFY(t.request());
        QVERIFY(!t.request());
        QVERIFY(!t.request());
        t.settle();
        QVERIFY(t.owed());
        t.settle();
        QVERIFY(!t.owed());
        QVERIFY(t.request()); // paid: the next draws
        t.settle();
        t.step();
        QVERIFY(!t.request()); // a change is owed already
        t.settle();
        QVERIFY(t.owed());
    }

    // Changes from several threads at once still owe two redraws at most.
    void concurrentChangesCapAtTwo()
    {
        RedrawThrottle t;
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back(QThread::create([&t] {
                for (int k = 0; k < 5000; ++k)
                    t.step();
            }));
            threads.back()->start();
        }
        for (auto& thread : threads)
            QVERIFY(thread->wait(30000));
        t.settle();
        QVERIFY(t.owed());
        t.settle();
        QVERIFY(!t.owed());
    }
};

OSTRA_TEST_MAIN(TestRedrawThrottle)
#include "tst_redrawthrottle.moc"
