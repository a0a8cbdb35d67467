#pragma once

// Tests that mount file systems run again inside a private mount namespace (unshare -m),
// where their mounts are invisible to the rest of the machine and vanish with the process.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <algorithm>

#include <unistd.h>

namespace ostra::test {

// The folder under which a test in the namespace mounts; empty outside it.
inline QString mountNamespaceFolder()
{
    return qEnvironmentVariable("OSTRA_MOUNT_NS");
}

// Runs a shell command (mount, umount) and tells whether it succeeded.
inline bool shell(const QString& command)
{
    return QProcess::execute(QStringLiteral("sh"), { QStringLiteral("-c"), command }) == 0;
}

inline bool mountTmpfs(
    const QString& device, const QString& path, const QString& options = QStringLiteral("size=1m"))
{
    return shell(
        QStringLiteral("mkdir -p '%1' && mount -t tmpfs -o %2 '%3' '%1'").arg(path, options, device));
}

// A failing child's output is long (every log line of the test), and a test message is cut
// after a few lines: its failures, sanitizer reports and last lines are printed one by one.
inline void printChildFailure(const QByteArray& output, int exitCode)
{
    const QList<QByteArray> lines = output.split('\n');
    const int tail = std::max(0, int(lines.size()) - 40);
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (i >= tail || line.startsWith("FAIL!") || line.contains("   Loc: [") || line.startsWith("==")
            || line.contains("runtime error") || line.contains("Sanitizer"))
            qWarning("child| %s", line.constData());
    }
    qWarning("child exit code %d", exitCode);
}

// Fills the file system that holds `folder` with the file `folder`/filler until a write
// fails for want of room, then gives `leave` bytes back (rounded down to whole blocks of
// 4 KiB). Tells whether the file system was full at some point. Meant for a tiny tmpfs:
// it writes 64 MiB at most.
inline bool fillFileSystem(const QString& folder, qint64 leave = 0)
{
    QFile filler(folder + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'x');
    bool full = false;
    for (int i = 0; i < 16384 && !full; ++i)
        full = filler.write(block) != block.size();
    // Smaller pieces fill the last block's tail.
    for (int i = 0; i < 4096 && filler.write("x", 1) == 1; ++i) { }
    const qint64 size = filler.size();
    filler.close();
    return full
        && (leave < 4096 || QFile::resize(filler.fileName(), qMax<qint64>(0, size - leave / 4096 * 4096)));
}

// Runs the named test functions of this program in a private mount namespace with
// `folder` to mount under. Skips where the namespace cannot be made; fails with the
// child's output when a function fails.
#define OSTRA_RUN_IN_MOUNT_NAMESPACE(folder, functions)                                                      \
    do {                                                                                                     \
        if (!ostra::test::mountNamespaceFolder().isEmpty())                                                  \
            QSKIP("already in the namespace");                                                               \
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));                   \
        if (::geteuid() != 0 || unshare.isEmpty())                                                           \
            QSKIP("needs root and unshare to mount file systems");                                           \
        QProcess child;                                                                                      \
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();                                  \
        env.insert(QStringLiteral("OSTRA_MOUNT_NS"), folder);                                                \
        child.setProcessEnvironment(env);                                                                    \
        child.setProcessChannelMode(QProcess::MergedChannels);                                               \
        child.start(unshare,                                                                                 \
            QStringList { QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),  \
                QCoreApplication::applicationFilePath() }                                                    \
                + QStringList(functions));                                                                   \
        const bool ended = child.waitForFinished(120000);                                                    \
        if (!ended) {                                                                                        \
            child.kill();                                                                                    \
            child.waitForFinished();                                                                         \
        }                                                                                                    \
        const QByteArray output = child.readAll();                                                           \
        if (!ended) {                                                                                        \
            ostra::test::printChildFailure(output, -1);                                                      \
            QFAIL("the test in the mount namespace did not end in two minutes; its output is above");        \
        }                                                                                                    \
        if (output.contains("unshare failed") || output.contains("cannot mount"))                            \
            QSKIP("cannot make a mount namespace here");                                                     \
        const bool passed = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0              \
            && !output.contains("SKIP   :");                                                                 \
        if (!passed)                                                                                         \
            ostra::test::printChildFailure(output, child.exitCode());                                        \
        QVERIFY2(passed, "the test in the mount namespace failed; its output is above");                     \
    } while (false)

// The running test function, with its data row when it has one, as the command line of a
// test program names it.
inline QString currentTestRow()
{
    const QString function = QString::fromLatin1(QTest::currentTestFunction());
    const char* tag = QTest::currentDataTag();
    return tag && *tag ? function + QLatin1Char(':') + QString::fromLatin1(tag) : function;
}

// Runs the rest of the calling test function (its current row) in a private mount
// namespace with `folder` to mount under, when it does not run in one already.
#define OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(folder)                                                            \
    do {                                                                                                     \
        if (ostra::test::mountNamespaceFolder().isEmpty()) {                                                 \
            OSTRA_RUN_IN_MOUNT_NAMESPACE(folder, QStringList { ostra::test::currentTestRow() });             \
            return;                                                                                          \
        }                                                                                                    \
    } while (false)

} // namespace ostra::test
