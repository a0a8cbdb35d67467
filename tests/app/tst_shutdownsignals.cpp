#include "support/childprocess.h"

#include <QLocalSocket>

#include <csignal>
#include <memory>
#include <vector>

#include "app/typeregistration.h"

using ostra::test::Child;

// The real application ended by the signals of a logout, `kill` and a terminal, and
// started where there is no display.
class TestShutdownSignals : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<Child>> m_children;

    // Starts the application with `env` changed (a null value unsets the variable).
    Child& start(const QStringList& args, const QList<QPair<QByteArray, QByteArray>>& env = {})
    {
        QList<QPair<QByteArray, QByteArray>> saved;
        for (const auto& [name, value] : env) {
            saved.append({ name, qgetenv(name.constData()) });
            value.isNull() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
        }
        m_children.push_back(
            std::make_unique<Child>(ostra::test::binaryDir() + QStringLiteral("/ostra"), args));
        m_children.back()->started();
        for (const auto& [name, value] : saved)
            value.isEmpty() ? qunsetenv(name.constData()) : qputenv(name.constData(), value);
        return *m_children.back();
    }

    bool waitListening(Child& instance)
    {
        const QString socket = qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/')
            + QLatin1String(ostra::applicationId);
        QDeadlineTimer deadline(ostra::test::kChildTimeoutMs);
        while (!deadline.hasExpired() && instance.running()) {
            QLocalSocket probe;
            probe.connectToServer(socket, QIODevice::WriteOnly);
            if (probe.waitForConnected(1000))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // Whether `instance` ends normally with `code`.
    static bool ends(Child& instance, int code)
    {
        return instance.finish() && instance.exitStatus() == QProcess::NormalExit
            && instance.exitCode() == code;
    }

private slots:
    void cleanup() { m_children.clear(); }

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

    // Without a display the hand-off still works; with nothing to hand over to, or a
    // display that cannot be reached, the start ends with a reason and exit code 1.
    void noDisplay()
    {
        const QByteArray unset;
        const QList<QPair<QByteArray, QByteArray>> none { { "DISPLAY", unset }, { "WAYLAND_DISPLAY", unset },
            { "QT_QPA_PLATFORM", unset } };
        Child& alone = start({ QStringLiteral("/some/file.vrx") }, none);
        QVERIFY2(ends(alone, 1) && alone.err().contains(" E Cannot open the window: there is no display"),
            alone.err().constData());
        Child& unreachable = start({}, { { "DISPLAY", ":4711" }, { "QT_QPA_PLATFORM", unset } });
        QVERIFY2(ends(unreachable, 1)
                && unreachable.err().contains(" E Cannot open the window: the display cannot be reached"),
            unreachable.err().constData());

        Child& first = start({});
        QVERIFY2(waitListening(first), first.err().constData());
        QVERIFY(ends(start({ QStringLiteral("/handed/over.vrx") }, none), 0));
        QVERIFY2(first.waitForErr(QStringLiteral("Open: file:///handed/over.vrx")), first.err().constData());
    }
};

OSTRA_TEST_MAIN_CORE(TestShutdownSignals)
#include "tst_shutdownsignals.moc"
