#include "support/childprocess.h"

#include <QThread>
#include <QTimeZone>

#include <cstdio>

#include "app/messagehandler.h"

using ostra::test::Child;

namespace {

// Child modes: each installs the handler and logs.
int childMain(const QString& mode, const QStringList& args)
{
    qInstallMessageHandler(ostra::messageHandler);
    if (mode == QLatin1String("fatal")) {
        qDebug("before the end");
        qFatal("%s", qPrintable(args.value(0)));
        // Never reached: the handler aborts after the fatal line.
        std::fputs("after the end\n", stderr);
        return 0;
    }
    if (mode == QLatin1String("threads")) {
        // Several threads log at once; each line must stay whole.
        QList<QThread*> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([t] {
                for (int i = 0; i < 200; ++i)
                    qWarning("thread %d line %d %s", t, i, QByteArray(100, 'x').constData());
            });
            threads.last()->start();
        }
        for (QThread* thread : threads) {
            thread->wait();
            delete thread;
        }
        qInfo("main %llx",
            static_cast<unsigned long long>(reinterpret_cast<quintptr>(QThread::currentThreadId())));
        return 0;
    }
    return 2;
}

} // namespace

class TestMessageHandler : public QObject
{
    Q_OBJECT
private slots:
    void lineLayout_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<quint32>("threadId");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("expected");

        const QDate date(2023, 3, 7);
        QTest::newRow("warning, four-digit thread, positive offset")
            << int(QtWarningMsg) << QDateTime(date, QTime(9, 5, 3, 7), Qt::OffsetFromUTC, 7200)
            << quint32(0xbeef) << QStringLiteral("disk full")
            << QByteArray("2023-03-07 09:05:03.007 UTC+02:00     beef W disk full\n");
        QTest::newRow("debug, eight digits, negative offset")
            << int(QtDebugMsg) << QDateTime(date, QTime(23, 59, 59, 999), Qt::OffsetFromUTC, -34200)
            << quint32(0x12345678) << QStringLiteral("E release")
            << QByteArray("2023-03-07 23:59:59.999 UTC-09:30 12345678 D E release\n");
        QTest::newRow("printf directives pass through")
            << int(QtDebugMsg) << QDateTime(date, QTime(12, 0), Qt::UTC) << quint32(0)
            << QStringLiteral("%s %n %x")
            << QByteArray("2023-03-07 12:00:00.000 UTC+00:00        0 D %s %n %x\n");
        QTest::newRow("message ends at NUL")
            << int(QtDebugMsg) << QDateTime(date, QTime(12, 0), Qt::UTC) << quint32(7)
            << QStringLiteral("shown") + QChar(0) + QStringLiteral("hidden")
            << QByteArray("2023-03-07 12:00:00.000 UTC+00:00        7 D shown\n");
    }

    void lineLayout()
    {
        QFETCH(int, type);
        QFETCH(QDateTime, when);
        QFETCH(quint32, threadId);
        QFETCH(QString, message);
        QFETCH(QByteArray, expected);
        QCOMPARE(ostra::formatLogLine(QtMsgType(type), when, threadId, message), expected);
    }

    void fatalAbortsAfterItsLine()
    {
        auto child = ostra::test::startSelf(QStringLiteral("fatal"), { QStringLiteral("the last word") });
        QVERIFY(child->finish());
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        const QStringList lines = child->errLines();
        QCOMPARE(lines.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const auto match = ostra::test::logLinePattern().match(lines.at(i));
            QVERIFY2(match.hasMatch(), qPrintable(lines.at(i)));
            QCOMPARE(match.captured(5) + ' ' + match.captured(6),
                QStringList({ "D before the end", "F the last word" }).at(i));
        }
        QVERIFY(!child->err().contains("after the end"));
    }

    void concurrentLinesStayWhole()
    {
        auto child = ostra::test::startSelf(QStringLiteral("threads"));
        QVERIFY(child->finish());
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 0);
        const QStringList lines = child->errLines();
        QCOMPARE(lines.size(), 4 * 200 + 1);
        QSet<QString> threadIds;
        QSet<QString> seen;
        QString mainId;
        for (const QString& line : lines) {
            const auto match = ostra::test::logLinePattern().match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            const QString text = match.captured(6);
            if (match.captured(5) == QLatin1String("I")) {
                // The thread field is the low 32 bits of the logging thread's id.
                const quint64 full = text.mid(5).toULongLong(nullptr, 16);
                QCOMPARE(match.captured(4).trimmed(), QString::number(full & 0xffffffffu, 16));
                mainId = match.captured(4);
                continue;
            }
            QCOMPARE(match.captured(5), QStringLiteral("W"));
            QVERIFY2(text.endsWith(QString(100, QLatin1Char('x'))), qPrintable(line));
            seen.insert(text.section(QLatin1Char(' '), 0, 3));
            threadIds.insert(match.captured(4));
        }
        QCOMPARE(seen.size(), 800);
        QVERIFY(!mainId.isEmpty());
        QVERIFY(!threadIds.contains(mainId));
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(QCoreApplication, TestMessageHandler, childMain)
#include "tst_messagehandler.moc"
