// Exports share the process's memory: one that does not fit beside those running waits for
// them; ones that fit together run together; one larger than the whole budget still runs.
#include <QtTest>

#include <QSemaphore>
#include <QThread>
#include <atomic>

#include "engine/exportbudget.h"
#include "support/testmain.h"

namespace {

// Takes a ticket on its own thread and holds it until `release` is signalled.
class Holder : public QThread
{
public:
    Holder(ExportBudget& budget, qint64 bytes)
        : m_budget(budget)
        , m_bytes(bytes)
    { }
    QSemaphore holding, release;
    std::atomic<bool> granted { false };

protected:
    void run() override
    {
        const ExportBudget::Ticket ticket(m_budget, m_bytes);
        granted = true;
        holding.release();
        release.acquire();
    }

private:
    ExportBudget& m_budget;
    qint64 m_bytes;
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
        a.start();
        QVERIFY(a.holding.tryAcquire(1, 10000)); // one export always runs
        b.start();
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
        QVERIFY(a.wait(10000) && b.wait(10000));
        QCOMPARE(budget.running(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestExportBudget)
#include "tst_exportbudget.moc"
