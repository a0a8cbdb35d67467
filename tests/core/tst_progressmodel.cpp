#include "support/testmain.h"

#include <QSignalSpy>
#include <QThread>
#include <QUrl>
#include <QtConcurrent>

#include "core/progressmodel.h"
#include "core/variantless.h"

class TestProgressModel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<ProgressRatio>("ProgressRatio"); }

    void partialsReplaceTheirOwnShare()
    {
        ProgressModel model;
        model.setPartialProgress(3, 10, QStringLiteral("a"));
        model.setPartialProgress(5, 10, QStringLiteral("a"));
        QCOMPARE(model.progress(), ProgressRatio(5, 10));
        model.addPartialProgress(2, 4, QStringLiteral("b"));
        model.addPartialProgress(ProgressRatio(1, 0), QStringLiteral("b"));
        QCOMPARE(model.progress(), ProgressRatio(8, 14));
        QCOMPARE(model.partial(QStringLiteral("b")), ProgressRatio(3, 4));
        model.setPartialProgress(ProgressRatio(0, 0), QStringLiteral("a"));
        QCOMPARE(model.progress(), ProgressRatio(3, 4));
        // The share without a name is replaced and added to the same way.
        model.setPartialProgress(1, 2);
        model.setPartialProgress(2, 2);
        QCOMPARE(model.progress(), ProgressRatio(5, 6));
        model.setPartialProgress(ProgressRatio(1, 1));
        model.addPartialProgress(1, 1);
        model.addPartialProgress(ProgressRatio(1, 0));
        QCOMPARE(model.progress(), ProgressRatio(6, 6));
    }

    void flushDropsFinishedPartialsOnly()
    {
        ProgressModel model;
        model.setPartialProgress(10, 10, QStringLiteral("done"));
        model.setPartialProgress(1, 10, QStringLiteral("open"));
        model.flush();
        QCOMPARE(model.partialCount(), 1);
        QCOMPARE(model.progress(), ProgressRatio(11, 20));
        // A flushed key starts again from (0, 0).
        model.setPartialProgress(4, 10, QStringLiteral("done"));
        QCOMPARE(model.progress(), ProgressRatio(15, 30));
    }

    void ratiosAtZeroAndAtTheTop()
    {
        ProgressModel model;
        model.setProgress(5, 0);
        QCOMPARE(model.percentage(), 0);
        QCOMPARE(model.value(), 0.0);
        const qlonglong top = std::numeric_limits<qlonglong>::max();
        model.setProgress(top / 2, top);
        QCOMPARE(model.percentage(), 49);
        model.setProgress(top, top);
        QCOMPARE(model.percentage(), 100);
        QCOMPARE(model.value(), 1.0);
    }

    void activeIsAnnouncedAfterProgressAndOnlyOnChange()
    {
        ProgressModel model;
        QStringList events;
        connect(&model, &ProgressModel::progressChanged, this, [&] { events << QStringLiteral("progress"); });
        connect(&model, &ProgressModel::activeChanged, this,
            [&] { events << QStringLiteral("active=%1").arg(model.active()); });
        model.setPartialPercentage(10, QStringLiteral("x"));
        model.setPartialPercentage(50, QStringLiteral("x"));
        model.setPartialPercentage(100, QStringLiteral("x"));
        model.flush();
        QCOMPARE(events,
            (QStringList { QStringLiteral("progress"), QStringLiteral("active=1"), QStringLiteral("progress"),
                QStringLiteral("progress"), QStringLiteral("active=0"), QStringLiteral("progress") }));
    }

    void variantOrderIsStrictAndWeak()
    {
        const QVariantList values = { QVariant(), QVariant(0), QVariant(qlonglong(0)), QVariant(-3),
            QVariant(2.5), QVariant(qulonglong(std::numeric_limits<qulonglong>::max())),
            QVariant(std::nan("")), QVariant(true), QStringLiteral(""), QStringLiteral("b"),
            QStringLiteral("a"), QVariant(QUrl(QStringLiteral("a"))), QVariant(QByteArray("a")),
            QVariant(QStringList { QStringLiteral("x") }), QVariant(QStringList { QStringLiteral("y") }),
            QVariant(QDate(2020, 1, 1)), QVariant(QPoint(1, 2)) };
        const VariantLess less;
        for (const QVariant& a : values) {
            QVERIFY2(!less(a, a), qPrintable(a.toString()));
            for (const QVariant& b : values) {
                QVERIFY(!(less(a, b) && less(b, a)));
                const bool equivalentAB = !less(a, b) && !less(b, a);
                for (const QVariant& c : values) {
                    if (less(a, b) && less(b, c))
                        QVERIFY(less(a, c));
                    const bool equivalentBC = !less(b, c) && !less(c, b);
                    if (equivalentAB && equivalentBC)
                        QVERIFY(!less(a, c) && !less(c, a));
                }
            }
        }
        QVERIFY(less(QVariant(), QVariant(0)));
        QVERIFY(less(QVariant(-3), QVariant(2.5)));
        QVERIFY(less(QStringLiteral("a"), QStringLiteral("b")));
    }

    void producersOnOtherThreadsQueueTheirProgress()
    {
        ProgressModel model;
        constexpr int threads = 4;
        constexpr int steps = 500;
        QVector<QFuture<void>> futures;
        for (int t = 0; t < threads; ++t) {
            futures << QtConcurrent::run([&model, t] {
                for (int s = 0; s < steps; ++s) {
                    QMetaObject::invokeMethod(&model, "addPartialProgress", Qt::QueuedConnection,
                        Q_ARG(ProgressRatio, ProgressRatio(1, 2)), Q_ARG(QVariant, QVariant(t)));
                }
            });
        }
        for (auto& f : futures)
            f.waitForFinished();
        QTRY_COMPARE(model.progress(), ProgressRatio(threads * steps, 2 * threads * steps));
        for (int t = 0; t < threads; ++t)
            QCOMPARE(model.partial(t), ProgressRatio(steps, 2 * steps));
        QVERIFY(model.active());
    }
};

OSTRA_TEST_MAIN_CORE(TestProgressModel)
#include "tst_progressmodel.moc"
