#include "support/childprocess.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTemporaryDir>

#include <csignal>
#include <memory>
#include <vector>

#include "app/typeregistration.h"

using ostra::test::Child;

// Starts of the real application against each other, each in the isolated home of this
// test program; its ends by the signals of a logout, `kill` and a terminal; and starts where
// there is no display.
class TestSingleInstance : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<Child>> m_children;

    QString socketPath() const
    {
        return qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/')
            + QLatin1String(ostra::applicationId);
    }

    // Starts the application in `folder` with `env` changed (a null value unsets the variable).
    Child& start(const QStringList& args, const QString& folder = QString(),
        const QList<QPair<QByteArray, QByteArray>>& env = {})
    {
        QList<QPair<QByteArray, QByteArray>> saved;
        for (const auto& [name, value] : env) {
            saved.append({ name, qgetenv(name.constData()) });
            value.isNull() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
        }
        m_children.push_back(
            std::make_unique<Child>(ostra::test::binaryDir() + QStringLiteral("/ostra"), args, folder));
        if (!env.isEmpty())
            m_children.back()->started();
        for (const auto& [name, value] : saved)
            value.isEmpty() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
        return *m_children.back();
    }

    // Whether `instance` ends normally with `code`.
    static bool ends(Child& instance, int code)
    {
        return instance.finish() && instance.exitStatus() == QProcess::NormalExit
            && instance.exitCode() == code;
    }

    // Waits until an instance answers on the socket.
    bool waitListening(Child& instance)
    {
        QDeadlineTimer deadline(ostra::test::kChildTimeoutMs);
        while (!deadline.hasExpired() && instance.running()) {
            QLocalSocket probe;
            probe.connectToServer(socketPath(), QIODevice::WriteOnly);
            if (probe.waitForConnected(1000)) {
                probe.abort();
                return true;
            }
            QTest::qWait(50);
        }
        return false;
    }

    static QString openLine(const QString& path)
    {
        return QStringLiteral("Open: ") + QUrl::fromLocalFile(path).toString();
    }

    // Every line any child wrote is a log line.
    void checkLogLines()
    {
        for (const auto& child : m_children)
            for (const QString& line : child->errLines())
                QVERIFY2(ostra::test::logLinePattern().match(line).hasMatch(), qPrintable(line));
    }

    static void handedOff(Child& child)
    {
        QVERIFY2(ends(child, 0), child.err().constData());
        // It never ran an event loop of its own, let alone showed a window.
        QVERIFY2(!child.err().contains("Good bye!"), child.err().constData());
    }

private slots:
    // The instances write their debug lines, which these tests follow ("Open:", "Good bye!").
    void initTestCase() { qputenv("QT_LOGGING_RULES", "ostra.*.debug=true;qml.debug=true"); }

    void cleanup()
    {
        checkLogLines();
        m_children.clear();
    }

    void secondStartHandsOverItsFiles()
    {
        // Compiled QML left from an earlier version goes at start-up, before any loads.
        const QString qmlCache
            = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/Quelt/Ostra 2.0/qmlcache");
        QVERIFY(QDir().mkpath(qmlCache + QStringLiteral("/old")));
        Child& first = start({ QStringLiteral("/own/file.vrx") });
        QVERIFY2(first.waitForErr(openLine(QStringLiteral("/own/file.vrx"))), first.err().constData());
        // (The QML engine may fill the folder again with what it compiles itself.)
        QVERIFY(!QFileInfo::exists(qmlCache + QStringLiteral("/old")));
        QVERIFY(QDir().mkpath(qmlCache + QStringLiteral("/current")));

        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        handedOff(
            start({ QStringLiteral("rel/one.vrx"), QStringLiteral("/abs/two three.vrx") }, folder.path()));
        const QString one = QDir(folder.path()).absoluteFilePath(QStringLiteral("rel/one.vrx"));
        QVERIFY2(first.waitForErr(openLine(QStringLiteral("/abs/two three.vrx"))), first.err().constData());
        const QString log = QString::fromLocal8Bit(first.err());
        QVERIFY2(log.contains(openLine(one)), qPrintable(log));
        QVERIFY(log.indexOf(openLine(one)) < log.indexOf(openLine(QStringLiteral("/abs/two three.vrx"))));

        // A start without arguments hands over an empty list, which opens nothing.
        handedOff(start({}));
        handedOff(start({ QStringLiteral("/marker.vrx") }));
        QVERIFY(first.waitForErr(openLine(QStringLiteral("/marker.vrx"))));
        QCOMPARE(QString::fromLocal8Bit(first.err()).count(QStringLiteral(" Open: ")), 4);
        QVERIFY(first.running());
        // Starts that only hand over their files leave the running instance's cache alone.
        QVERIFY(QFileInfo(qmlCache + QStringLiteral("/current")).isDir());
    }

    // The socket a crashed instance left does not block the next start, which a start with
    // "--preempt" then replaces.
    void crashedInstanceThenPreempt()
    {
        Child& first = start({});
        QVERIFY(waitListening(first));
        QCOMPARE(::kill(pid_t(first.pid()), SIGKILL), 0);
        QVERIFY(first.finish());
        QVERIFY(QFileInfo::exists(socketPath()));

        Child& next = start({ QStringLiteral("/after/crash.vrx") });
        QVERIFY2(next.waitForErr(openLine(QStringLiteral("/after/crash.vrx"))), next.err().constData());
        QVERIFY(waitListening(next));
        Child& taker = start({ QStringLiteral("--preempt"), QStringLiteral("/pre/file.vrx") });
        // The old instance quits cleanly; the new one opens its file itself and takes later hand-offs.
        QVERIFY(ends(next, 0) && next.err().contains("Good bye!"));
        QVERIFY(!next.err().contains("/pre/file.vrx"));
        QVERIFY2(taker.waitForErr(openLine(QStringLiteral("/pre/file.vrx"))), taker.err().constData());
        handedOff(start({ QStringLiteral("/later.vrx") }));
        QVERIFY2(taker.waitForErr(openLine(QStringLiteral("/later.vrx"))), taker.err().constData());
        QVERIFY(!taker.err().contains("--preempt"));
    }

    void concurrentStartsMakeOneInstance()
    {
        const QStringList files { QStringLiteral("/c/1.vrx"), QStringLiteral("/c/2.vrx"),
            QStringLiteral("/c/3.vrx") };
        std::vector<Child*> starts;
        for (const QString& file : files)
            starts.push_back(&start({ file }));

        // Exactly one of them stays; the others hand their file to it and end.
        Child* instance = nullptr;
        int ended = 0;
        QDeadlineTimer deadline(ostra::test::kChildTimeoutMs);
        while (ended < 2 && !deadline.hasExpired()) {
            ended = 0;
            for (Child* child : starts)
                ended += child->running() ? 0 : 1;
            QTest::qWait(50);
        }
        QCOMPARE(ended, 2);
        for (Child* child : starts) {
            if (child->running()) {
                QVERIFY(!instance);
                instance = child;
            } else {
                handedOff(*child);
            }
        }
        QVERIFY(instance);
        for (const QString& file : files)
            QVERIFY2(instance->waitForErr(openLine(file)), instance->err().constData());
        QVERIFY(instance->running());
    }

    // A start that comes while the running instance quits: its file is opened either by the
    // instance, before it goes, or by the start itself, which then is the instance; it is never
    // counted handed over to an instance that quits without it.
    void startWhileTheFirstQuits_data()
    {
        QTest::addColumn<bool>("afterQuitBegan");
        QTest::newRow("with the signal") << false;
        QTest::newRow("once the quit began") << true;
    }

    void startWhileTheFirstQuits()
    {
        QFETCH(bool, afterQuitBegan);
        Child& first = start({});
        QVERIFY2(waitListening(first), first.err().constData());
        QCOMPARE(::kill(pid_t(first.pid()), SIGTERM), 0);
        if (afterQuitBegan)
            QVERIFY2(first.waitForErr(QStringLiteral("Quitting on signal")), first.err().constData());
        const QString file = QStringLiteral("/while/quitting.vrx");
        Child& second = start({ file });
        QTRY_VERIFY_WITH_TIMEOUT(!second.running() || second.err().contains(openLine(file).toLocal8Bit()),
            ostra::test::kChildTimeoutMs);
        QVERIFY2(ends(first, 0), first.err().constData());
        if (second.running()) {
            QVERIFY(!first.err().contains(openLine(file).toLocal8Bit()));
            QVERIFY2(waitListening(second), second.err().constData());
        } else {
            handedOff(second);
            QVERIFY2(first.err().contains(openLine(file).toLocal8Bit()),
                qPrintable(QStringLiteral("handed over to an instance that quit without it:\n")
                    + QString::fromLocal8Bit(first.err())));
        }
    }

    // Each signal quits through the normal shutdown path: a clean exit 0 after "Good bye!".
    void signalQuitsInOrder_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void signalQuitsInOrder()
    {
        QFETCH(int, number);
        Child& instance = start({});
        QVERIFY2(waitListening(instance), instance.err().constData());
        QCOMPARE(::kill(pid_t(instance.pid()), number), 0);
        QVERIFY2(ends(instance, 0)
                && instance.err().contains("Quitting on signal " + QByteArray::number(number))
                && instance.err().contains("Good bye!"),
            instance.err().constData());
    }

    // Debug lines only when QT_LOGGING_RULES asks for them: by default info and above.
    void debugLinesOnlyWhenAsked_data()
    {
        QTest::addColumn<QByteArray>("rules");
        QTest::addColumn<bool>("debug");
        QTest::newRow("default") << QByteArray() << false;
        QTest::newRow("asked for the shell") << QByteArray("ostra.app.debug=true") << true;
    }
    void debugLinesOnlyWhenAsked()
    {
        QFETCH(QByteArray, rules);
        QFETCH(bool, debug);
        Child& instance
            = start({ QStringLiteral("/asked/file.vrx") }, QString(), { { "QT_LOGGING_RULES", rules } });
        QVERIFY2(waitListening(instance), instance.err().constData());
        QCOMPARE(::kill(pid_t(instance.pid()), SIGTERM), 0);
        QVERIFY2(
            ends(instance, 0) && instance.err().contains("Quitting on signal"), instance.err().constData());
        QCOMPARE(instance.err().contains("Good bye!"), debug);
        int debugLines = 0;
        for (const QString& line : instance.errLines())
            debugLines += ostra::test::logLinePattern().match(line).captured(5) == QLatin1String("D");
        QVERIFY2(debug ? debugLines > 0 : debugLines == 0, instance.err().constData());
    }

    // Without a display the hand-off still works; with nothing to hand over to, or a
    // display that cannot be reached, the start ends with a reason and exit code 1.
    void noDisplay()
    {
        const QByteArray unset;
        const QList<QPair<QByteArray, QByteArray>> none { { "DISPLAY", unset }, { "WAYLAND_DISPLAY", unset },
            { "QT_QPA_PLATFORM", unset } };
        Child& alone = start({ QStringLiteral("/some/file.vrx") }, QString(), none);
        QVERIFY2(ends(alone, 1) && alone.err().contains(" E Cannot open the window: there is no display"),
            alone.err().constData());
        Child& unreachable = start({}, QString(), { { "DISPLAY", ":4711" }, { "QT_QPA_PLATFORM", unset } });
        QVERIFY2(ends(unreachable, 1)
                && unreachable.err().contains(" E Cannot open the window: the display cannot be reached"),
            unreachable.err().constData());

        Child& first = start({});
        QVERIFY2(waitListening(first), first.err().constData());
        QVERIFY(ends(start({ QStringLiteral("/handed/over.vrx") }, QString(), none), 0));
        QVERIFY2(first.waitForErr(QStringLiteral("Open: file:///handed/over.vrx")), first.err().constData());
        // (Qt's own words on a display it cannot reach come before any log line.)
        m_children.clear();
    }
};

OSTRA_TEST_MAIN_CORE(TestSingleInstance)
#include "tst_singleinstance.moc"
