#include "support/testmain.h"

#include <QSignalSpy>

#include "core/progresshandler.h"

namespace {

// A handler whose clock the test moves by hand.
class ClockedHandler : public ProgressHandler
{
public:
    using ProgressHandler::ProgressHandler;
    QDateTime clock = QDateTime(QDate(2024, 3, 31), QTime(1, 0), Qt::UTC);
    void advance(qint64 ms) { clock = clock.addMSecs(ms); }

protected:
    QDateTime now() const override { return clock; }
};

} // namespace

class TestProgressHandler : public QObject
{
    Q_OBJECT
private slots:
    void learnsTheRateOfARun()
    {
        ClockedHandler handler;
        handler.start(100);
        QVERIFY(handler.isInProgress());
        for (int step = 1; step <= 100; ++step) {
            handler.advance(20);
            handler.setProgress(step);
        }
        QVERIFY(!handler.isInProgress());
        QCOMPARE(handler.rate(), 20.0);

        handler.start(25);
        handler.setMaximumProgress(50); // a larger run than announced goes on
        QVERIFY(handler.isInProgress());
        QCOMPARE(handler.estimatedTimeLeft(), qint64(1000));
        // Once steps are counted, the current run's own pace takes over.
        handler.advance(300);
        handler.setProgress(10);
        QCOMPARE(handler.estimatedTimeLeft(), qint64(30 * 50));
    }

    void signalsComeInTheirOrder()
    {
        ClockedHandler handler(5.0);
        QStringList events;
        connect(&handler, &ProgressHandler::inProgressChanged, this,
            [&] { events << QStringLiteral("inProgress"); });
        connect(
            &handler, &ProgressHandler::progressChanged, this, [&] { events << QStringLiteral("progress"); });
        connect(&handler, &ProgressHandler::maximumProgressChanged, this,
            [&] { events << QStringLiteral("maximum"); });
        connect(&handler, &ProgressHandler::estimatedTimeLeftChanged, this,
            [&] { events << QStringLiteral("estimate"); });
        handler.start(2);
        QCOMPARE(events,
            (QStringList { QStringLiteral("progress"), QStringLiteral("maximum"), QStringLiteral("estimate"),
                QStringLiteral("inProgress") }));
        QCOMPARE(handler.estimatedTimeLeft(), qint64(10));
        events.clear();
        handler.advance(3);
        handler.setProgress(2);
        QCOMPARE(events,
            (QStringList {
                QStringLiteral("estimate"), QStringLiteral("inProgress"), QStringLiteral("progress") }));
    }

    void absurdRatesStayInRange()
    {
        ProgressHandler huge(1e300);
        huge.setMaximumProgress(1000);
        QCOMPARE(huge.estimatedTimeLeft(), std::numeric_limits<qint64>::max());
        ProgressHandler negative(-5.0);
        negative.setMaximumProgress(1000);
        QCOMPARE(negative.estimatedTimeLeft(), qint64(0));
    }
};

OSTRA_TEST_MAIN_CORE(TestProgressHandler)
#include "tst_progresshandler.moc"
