#include "support/testmain.h"

#include <QSignalSpy>

#include "core/progressmodel.h"
#include "core/timeleftformatter.h"
#include "core/timesinceformatter.h"

namespace {

const QStringList kUnits = { QStringLiteral("second"), QStringLiteral("minute"), QStringLiteral("hour") };
const QStringList kPlurals
    = { QStringLiteral("seconds"), QStringLiteral("minutes"), QStringLiteral("hours") };
const QList<int> kRadices = { 1000, 60, 60 };

// A time-left formatter whose clock the test sets.
class FixedTimeLeft : public TimeLeftFormatter
{
public:
    qint64 elapsed = 0;

protected:
    qint64 elapsedSinceMark() const override { return elapsed; }
};

void configure(TimeFormatter& f)
{
    f.setUnits(kUnits);
    f.setPlurals(kPlurals);
    f.setRadices(kRadices);
}

} // namespace

class TestTimeFormatter : public QObject
{
    Q_OBJECT
private slots:
    void unitBoundaries_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << QString();
        QTest::newRow("999") << qint64(999) << QString();
        QTest::newRow("1000") << qint64(1000) << QStringLiteral("1 second");
        QTest::newRow("1999") << qint64(1999) << QStringLiteral("1 second");
        QTest::newRow("2000") << qint64(2000) << QStringLiteral("2 seconds");
        QTest::newRow("59999") << qint64(59999) << QStringLiteral("59 seconds");
        QTest::newRow("60000") << qint64(60000) << QStringLiteral("1 minute");
        QTest::newRow("119999") << qint64(119999) << QStringLiteral("1 minute 59 seconds");
        QTest::newRow("3600000") << qint64(3600000) << QStringLiteral("1 hour");
        QTest::newRow("3723000") << qint64(3723000) << QStringLiteral("1 hour 2 minutes 3 seconds");
        // Beyond the last unit the count simply grows.
        QTest::newRow("top") << std::numeric_limits<qint64>::max()
                             << QStringLiteral("2562047788015 hours 12 minutes 55 seconds");
        QTest::newRow("negative") << qint64(-5000) << QString();
    }

    void unitBoundaries()
    {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        TimeSinceFormatter f;
        configure(f);
        QCOMPARE(f.verbiage(ms), text);
    }

    void hostileListsDoNotReachOutOfRange()
    {
        TimeSinceFormatter f;
        f.setUnits({ QStringLiteral("second") });
        f.setPlurals({ QStringLiteral("seconds"), QStringLiteral("minutes") });
        f.setRadices({ 1000, 60, 60 });
        QCOMPARE(f.verbiage(3723000), QStringLiteral("3723 seconds"));
        f.setRadices({ 1000, 0, 60 });
        f.setUnits(kUnits);
        f.setPlurals(kPlurals);
        QCOMPARE(f.verbiage(3723000), QStringLiteral("3723 seconds"));
        f.setRadices({ -1000 });
        QCOMPARE(f.verbiage(3723000), QString());
        f.setRadices({});
        QCOMPARE(f.verbiage(3723000), QString());
    }

    void timeLeftFromTheRateSinceTheMark()
    {
        ProgressModel model;
        FixedTimeLeft f;
        configure(f);
        f.setProgressModel(&model);
        QVERIFY(f.started());
        QVERIFY(!f.known());
        f.elapsed = 10000;
        // 100 units took 10 s; 600 are left: one minute.
        model.setProgress(100, 700);
        QVERIFY(f.known());
        QCOMPARE(f.remaining(), QStringLiteral("1 minute"));
        // More done than the total: nothing is left, never a negative time.
        model.setProgress(120, 100);
        QVERIFY(f.isNegligible());
        QCOMPARE(TimeLeftFormatter::estimate(5000, -20, 120), qint64(0));

        // One unit done in 1000 s with almost 2^63 left: far past what 64 bits hold.
        const qint64 top = std::numeric_limits<qint64>::max();
        f.elapsed = 1000000;
        model.setProgress(1, top);
        QVERIFY(f.known());
        QVERIFY(!f.remaining().isEmpty());
        QVERIFY(!f.remaining().contains(QLatin1Char('-')));
        QCOMPARE(TimeLeftFormatter::estimate(1000000, top - 1, 1), top);
        // Both large: the shifted ratio stays right.
        QCOMPARE(TimeLeftFormatter::estimate(1000, qint64(1) << 50, qint64(1) << 40), qint64(1024000));
        QCOMPARE(TimeLeftFormatter::estimate(3, top, top), qint64(3));
    }

    // Progress taken back (a file of the import copied again from its start): the time left
    // is known again from the next step, at the rate since the step back.
    void timeLeftAfterProgressGoesBack()
    {
        ProgressModel model;
        model.setPartialProgress(200, 1000, QStringLiteral("a"));
        FixedTimeLeft f;
        configure(f);
        f.setProgressModel(&model); // the mark: 200 done
        f.elapsed = 10000;
        model.setPartialProgress(400, 1000, QStringLiteral("a"));
        QCOMPARE(f.remaining(), QStringLiteral("30 seconds"));
        model.setPartialProgress(0, 1000, QStringLiteral("a"));
        QVERIFY(!f.known());
        f.elapsed = 1000;
        model.setPartialProgress(100, 1000, QStringLiteral("a"));
        QVERIFY(f.known());
        QCOMPARE(f.remaining(), QStringLiteral("9 seconds"));
        f.elapsed = 5000;
        model.setPartialProgress(500, 1000, QStringLiteral("a"));
        QCOMPARE(f.remaining(), QStringLiteral("5 seconds"));
    }
};

OSTRA_TEST_MAIN_CORE(TestTimeFormatter)
#include "tst_timeformatter.moc"
