#pragma once

// Child processes for tests: the test program itself run again in a child mode, and
// the real application. Every wait is bounded and every child is killed at the end,
// so a hung child fails its test instead of hanging the run.

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <functional>
#include <memory>

#include "support/testenvironment.h"
#include "support/testmain.h"

namespace ostra::test {

constexpr int kChildTimeoutMs = 60000;

// A running child whose output is gathered as it comes; killed when destroyed.
class Child
{
public:
    Child(const QString& program, const QStringList& arguments, const QString& workingDirectory = QString())
        : m_process(std::make_unique<QProcess>())
    {
        m_process->setProgram(program);
        m_process->setArguments(arguments);
        if (!workingDirectory.isEmpty())
            m_process->setWorkingDirectory(workingDirectory);
        QObject::connect(m_process.get(), &QProcess::readyReadStandardError,
            [this] { m_err += m_process->readAllStandardError(); });
        QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput,
            [this] { m_out += m_process->readAllStandardOutput(); });
        m_process->start();
    }

    ~Child() { kill(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() { return m_process->waitForStarted(kChildTimeoutMs); }

    // Waits for the end of the process; false when it is still running after the bound.
    bool finish(int timeoutMs = kChildTimeoutMs)
    {
        if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(timeoutMs))
            return false;
        m_err += m_process->readAllStandardError();
        m_out += m_process->readAllStandardOutput();
        return true;
    }

    void kill()
    {
        if (m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(kChildTimeoutMs);
        }
    }

    bool running() const { return m_process->state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process->processId(); }
    int exitCode() const { return m_process->exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process->exitStatus(); }
    QByteArray out() const { return m_out; }
    QByteArray err() const { return m_err; }
    QStringList errLines() const
    {
        return QString::fromLocal8Bit(m_err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Waits, handling events, until standard error holds a line that contains `text`.
    bool waitForErr(const QString& text, int timeoutMs = kChildTimeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!QString::fromLocal8Bit(m_err).contains(text)) {
            if (deadline.hasExpired() || (!running() && !m_process->bytesAvailable()))
                return QString::fromLocal8Bit(m_err).contains(text);
            m_process->waitForReadyRead(50);
            QCoreApplication::processEvents();
        }
        return true;
    }

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_err;
    QByteArray m_out;
};

// The test program run again in child mode `mode`; it inherits this process's
// isolated environment.
inline std::unique_ptr<Child> startSelf(const QString& mode, const QStringList& extra = {})
{
    return std::make_unique<Child>(
        QCoreApplication::applicationFilePath(), QStringList { QStringLiteral("--child"), mode } + extra);
}

// One log line as the application writes it: date, time with milliseconds, zone
// offset name, thread id in a field of eight, letter, message.
inline const QRegularExpression& logLinePattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2}) (\\d{2}:\\d{2}:\\d{2}\\.\\d{3}) (UTC(?:[+-]\\d{2}:\\d{2})?) "
                       "(?=[ 0-9a-f]{8} [DWEFI] )( *[0-9a-f]+) ([DWEFI]) (.*)$"));
    return pattern;
}

} // namespace ostra::test

// A test main whose program, started with "--child <mode> ...", runs
// `ChildMain(mode, arguments)` instead of the tests (in the environment it inherited).
#define OSTRA_TEST_MAIN_WITH_CHILD(AppClass, TestObject, ChildMain)                                          \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        if (argc >= 3 && qstrcmp(argv[1], "--child") == 0) {                                                 \
            AppClass app(argc, argv);                                                                        \
            QStringList rest;                                                                                \
            for (int i = 3; i < argc; ++i)                                                                   \
                rest << QString::fromLocal8Bit(argv[i]);                                                     \
            return ChildMain(QString::fromLocal8Bit(argv[2]), rest);                                         \
        }                                                                                                    \
        ostra::test::TestEnvironment environment;                                                            \
        AppClass app(argc, argv);                                                                            \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        const int failed = QTest::qExec(&tc, argc, argv);                                                    \
        /* As the application does: the engine's threads end before static data is destroyed. */             \
        CIAPI::StaticShutdown();                                                                             \
        return failed;                                                                                       \
    }
