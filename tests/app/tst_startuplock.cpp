#include "support/childprocess.h"

#include <QThread>

#include <csignal>
#include <cstdio>

#include "app/startuplock.h"

namespace {

const QString kName = QStringLiteral("com.quelt.ostra.test");

int childMain(const QString& mode, const QStringList&)
{
    ostra::StartupLock lock(kName);
    if (mode == QLatin1String("hold")) {
        if (!lock.acquire())
            return 1;
        std::fputs("held\n", stderr);
        // Until it is killed.
        for (;;)
            QThread::sleep(1);
    }
    if (mode == QLatin1String("wait")) {
        if (!lock.acquire())
            return 1;
        std::puts("got");
        return 0;
    }
    return 2;
}

} // namespace

class TestStartupLock : public QObject
{
    Q_OBJECT
private slots:
    void heldLockExcludesOthersUntilTheHolderDies()
    {
        auto holder = ostra::test::startSelf(QStringLiteral("hold"));
        QVERIFY2(holder->waitForErr(QStringLiteral("held")), holder->err().constData());

        ostra::StartupLock lock(kName);
        QVERIFY(!lock.tryAcquire());
        QVERIFY(!lock.tryAcquire());

        // A crash (here: SIGKILL) must not leave the lock taken.
        QCOMPARE(::kill(pid_t(holder->pid()), SIGKILL), 0);
        QVERIFY(holder->finish());
        QVERIFY(lock.tryAcquire());
    }

    void secondStartWaitsForTheFirst()
    {
        ostra::StartupLock lock(kName);
        QVERIFY(lock.acquire());
        auto waiter = ostra::test::startSelf(QStringLiteral("wait"));
        // The waiter says it waits (a log line), and does not get through before
        // the lock is given up.
        QVERIFY2(waiter->waitForErr(QStringLiteral("Waiting for another start to finish")),
            waiter->err().constData());
        QVERIFY(!waiter->out().contains("got"));
        QVERIFY(waiter->running());
        lock.release();
        QVERIFY(waiter->finish());
        QCOMPARE(waiter->exitCode(), 0);
        QVERIFY(waiter->out().contains("got"));
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(QCoreApplication, TestStartupLock, childMain)
#include "tst_startuplock.moc"
