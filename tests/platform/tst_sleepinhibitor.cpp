#include "support/privatebus.h"
#include "support/testmain.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QMutex>
#include <QRegularExpression>
#include <QThread>
#include <QtConcurrent>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/keepawakecounter.h"
#include "platform/logindinhibitor.h"

namespace {

// Plays the login manager on a private bus: hands out the write end of a pipe and
// keeps the read end, so the test sees when the lock is let go (end of file).
class FakeLogin : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    QMutex mutex;
    QStringList calls;
    QVector<int> readEnds;

    ~FakeLogin() override
    {
        for (int fd : readEnds)
            ::close(fd);
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(
        const QString& what, const QString& who, const QString& why, const QString& mode)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return QDBusUnixFileDescriptor();
        QMutexLocker lock(&mutex);
        calls << (QStringList { what, who, why, mode }).join(QLatin1Char('|'));
        readEnds << fds[0];
        QDBusUnixFileDescriptor handed(fds[1]);
        ::close(fds[1]);
        return handed;
    }
};

bool writerClosed(int readEnd)
{
    struct pollfd p = { readEnd, POLLIN, 0 };
    if (::poll(&p, 1, 0) <= 0)
        return false;
    char byte;
    return (p.revents & (POLLIN | POLLHUP)) && ::read(readEnd, &byte, 1) == 0;
}

// Records what the counter asks of the lock.
class RecordingInhibitor : public ISleepInhibitor
{
public:
    std::atomic<int> held { 0 };
    std::atomic<int> inhibits { 0 };
    std::atomic<int> releases { 0 };
    std::atomic<int> misuse { 0 };
    bool inhibit(const QString&) override
    {
        if (held.fetch_add(1) != 0)
            ++misuse;
        ++inhibits;
        return true;
    }
    void release() override
    {
        if (held.fetch_sub(1) != 1)
            ++misuse;
        ++releases;
    }
};

} // namespace

class TestSleepInhibitor : public QObject
{
    Q_OBJECT
private slots:
    void manyThreadsStayBalanced()
    {
        RecordingInhibitor lock;
        KeepAwakeCounter counter(lock);
        QVector<QFuture<void>> futures;
        for (int t = 0; t < 8; ++t) {
            futures << QtConcurrent::run([&counter] {
                for (int i = 0; i < 2000; ++i) {
                    counter.acquire(QStringLiteral("work"));
                    counter.release();
                }
            });
        }
        for (auto& f : futures)
            f.waitForFinished();
        QCOMPARE(counter.count(), 0);
        QCOMPARE(lock.held.load(), 0);
        QCOMPARE(lock.misuse.load(), 0);
        QCOMPARE(lock.inhibits.load(), lock.releases.load());
    }

    void lockIsHeldUntilReleased()
    {
        ostra::test::PrivateBus bus;
        QString why;
        if (!bus.start(&why))
            QSKIP(qPrintable(why));

        QThread serviceThread;
        serviceThread.start();
        auto* login = new FakeLogin;
        login->moveToThread(&serviceThread);
        QDBusConnection service
            = QDBusConnection::connectToBus(bus.address(), QStringLiteral("login-service"));
        QVERIFY(service.isConnected());
        QVERIFY(service.registerObject(
            QStringLiteral("/org/freedesktop/login1"), login, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.login1")));

        {
            LogindInhibitor inhibitor(QDBusConnection::connectToBus(bus.address(), QStringLiteral("client")));
            QVERIFY(inhibitor.inhibit(QStringLiteral("Exporting 3 pictures")));
            QVERIFY(inhibitor.holding());
            QVERIFY(inhibitor.inhibit(QStringLiteral("again")));
            int readEnd = -1;
            {
                QMutexLocker lock(&login->mutex);
                QCOMPARE(login->calls.size(), 1);
                QVERIFY(login->calls.first().startsWith(QStringLiteral("sleep|")));
                QVERIFY(login->calls.first().endsWith(QStringLiteral("|Exporting 3 pictures|block")));
                readEnd = login->readEnds.first();
            }
            QTest::qWait(20);
            QVERIFY(!writerClosed(readEnd));
            inhibitor.release();
            QTRY_VERIFY_WITH_TIMEOUT(writerClosed(readEnd), 10000);
            QVERIFY(!inhibitor.holding());

            // A lock taken again is let go when the inhibitor goes away.
            QVERIFY(inhibitor.inhibit(QStringLiteral("next")));
        }
        int second = -1;
        {
            QMutexLocker lock(&login->mutex);
            QCOMPARE(login->calls.size(), 2);
            second = login->readEnds.last();
        }
        QTRY_VERIFY_WITH_TIMEOUT(writerClosed(second), 10000);

        service.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
        QDBusConnection::disconnectFromBus(QStringLiteral("login-service"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        QMetaObject::invokeMethod(login, "deleteLater");
        serviceThread.quit();
        serviceThread.wait();
    }
};

OSTRA_TEST_MAIN_CORE(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
