#include "support/testmain.h"

#include "display/redrawthrottle.h"

#include <QThread>

#include <memory>
#include <vector>

class TestRedrawThrottle : public QObject
{
    Q_OBJECT
private slots:
    // Operations: r request (the expected answer follows: 1 draw now, 0 coalesced),
    // s change, p a refresh that found nothing; then whether a redraw is still owed.
    void coalescing_data()
    {
        QTest::addColumn<QString>("ops");
        QTest::addColumn<bool>("owed");
        QTest::newRow("first request draws") << "r1" << true;
        QTest::newRow("second is coalesced") << "r1r0" << true;
        QTest::newRow("two owed at most") << "r1r0r0r0pp" << false;
        QTest::newRow("paid, the next draws") << "r1pr1" << true;
        QTest::newRow("change then request") << "sr0p" << true;
        QTest::newRow("refresh with none owed") << "ppr1" << true;
    }
    void coalescing()
    {
        QFETCH(QString, ops);
        QFETCH(bool, owed);
        RedrawThrottle t;
        for (int i = 0; i < ops.size(); ++i) {
            if (ops[i] == QLatin1Char('r'))
                QCOMPARE(t.request(), ops[++i] == QLatin1Char('1'));
            else if (ops[i] == QLatin1Char('s'))
                t.step();
            else
                t.settle();
        }
        QCOMPARE(t.owed(), owed);
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
