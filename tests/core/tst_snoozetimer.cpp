#include "support/testmain.h"

#include <QKeyEvent>
#include <QSignalSpy>

#include "core/snoozetimer.h"

namespace {
void pressKey(QObject* target)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QCoreApplication::sendEvent(target, &press);
}
} // namespace

class TestSnoozeTimer : public QObject
{
    Q_OBJECT
private slots:
    void sleepsRightAwayAndWakesAfterTheTimeout()
    {
        SnoozeTimer timer;
        QSignalSpy spy(&timer, &SnoozeTimer::sleepsChanged);
        timer.setTimeoutMs(30);
        timer.setSleepy(true);
        QVERIFY(timer.sleeps());
        QCOMPARE(spy.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!timer.sleeps(), 20000);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.last().first().toBool(), false);

        // Input after waking puts it back to sleep and arms the timer again.
        QObject target;
        pressKey(&target);
        QVERIFY(timer.sleeps());
        QTRY_VERIFY_WITH_TIMEOUT(!timer.sleeps(), 20000);
    }

    void filterGoesAwayWithTheTimer()
    {
        {
            SnoozeTimer timer;
            timer.setSleepy(true);
        }
        // A filter left installed after its timer is gone would crash here.
        QObject target;
        pressKey(&target);
    }
};

OSTRA_TEST_MAIN(TestSnoozeTimer)
#include "tst_snoozetimer.moc"
