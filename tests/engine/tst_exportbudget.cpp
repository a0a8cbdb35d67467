// Exports share the process's memory: one that does not fit beside those running waits for
// them; ones that fit together run together; one larger than the whole budget still runs.
#include <QtTest>

#include <QSemaphore>
#include <QThread>
#include <atomic>

#include "engine/exportbudget.h"
#include "support/runner.h"
#include "support/testmain.h"

namespace {

// Takes a ticket on a thread of its own and holds it until `release` is signalled.
struct Holder
{
    Holder(ExportBudget& budget, qint64 bytes)
        : thread([this, &budget, bytes] {
            const ExportBudget::Ticket ticket(budget, bytes);
            granted = true;
            holding.release();
            release.acquire();
        })
    { }
    QSemaphore holding, release;
    std::atomic<bool> granted { false };
    ostra::test::Runner thread;
};

} // namespace

class TestExportBudget : public QObject
{
    Q_OBJECT

private slots:
    void secondWaitsOnlyWhenItDoesNotFit_data()
    {
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("second");
        QTest::addColumn<bool>("together");
        QTest::newRow("fit together") << qint64(60) << qint64(40) << true;
        QTest::newRow("too much together") << qint64(60) << qint64(41) << false;
        QTest::newRow("first larger than the budget") << qint64(500) << qint64(1) << false;
    }
    void secondWaitsOnlyWhenItDoesNotFit()
    {
        QFETCH(qint64, first);
        QFETCH(qint64, second);
        QFETCH(bool, together);
        ExportBudget budget(100);
        Holder a(budget, first), b(budget, second);
        a.thread.start();
        QVERIFY(a.holding.tryAcquire(1, 10000)); // one export always runs
        b.thread.start();
        if (together) {
            QVERIFY(b.holding.tryAcquire(1, 10000));
            QCOMPARE(budget.running(), 2);
        } else {
            QVERIFY(!b.holding.tryAcquire(1, 200));
            QVERIFY(!b.granted);
            QCOMPARE(budget.running(), 1);
            a.release.release();
            QVERIFY(b.holding.tryAcquire(1, 10000));
        }
        a.release.release();
        b.release.release();
        QVERIFY(a.thread.wait(10000) && b.thread.wait(10000));
        QCOMPARE(budget.running(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestExportBudget)
#include "tst_exportbudget.moc"
