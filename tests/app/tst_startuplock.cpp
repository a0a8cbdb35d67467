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
    if (mode == QLatin1String("waitBriefly")) {
        std::puts(lock.acquire(500) ? "got" : "went on");
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

    // A start that hangs while it holds the lock does not keep the next ones from coming up:
    // they wait for a bounded time and then go on without it; once it is gone they get it.
    void hungHolderDoesNotBlockForEver()
    {
        auto holder = ostra::test::startSelf(QStringLiteral("hold"));
        QVERIFY2(holder->waitForErr(QStringLiteral("held")), holder->err().constData());
        auto waiter = ostra::test::startSelf(QStringLiteral("waitBriefly"));
        QVERIFY2(waiter->finish() && waiter->exitCode() == 0, waiter->err().constData());
        QCOMPARE(waiter->out().trimmed(), QByteArray("went on"));
        QVERIFY2(waiter->err().contains("for 1 s; going on without it"), waiter->err().constData());
        QVERIFY(holder->running());

        QCOMPARE(::kill(pid_t(holder->pid()), SIGKILL), 0);
        QVERIFY(holder->finish());
        auto next = ostra::test::startSelf(QStringLiteral("waitBriefly"));
        QVERIFY2(next->finish() && next->exitCode() == 0, next->err().constData());
        QCOMPARE(next->out().trimmed(), QByteArray("got"));
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(QCoreApplication, TestStartupLock, childMain)
#include "tst_startuplock.moc"
