#pragma once

// Tests that mount file systems run again inside a private mount namespace (unshare -m),
// where their mounts are invisible to the rest of the machine and vanish with the process.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

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
        QVERIFY(child.waitForFinished(120000));                                                              \
        const QByteArray output = child.readAll();                                                           \
        if (output.contains("unshare failed") || output.contains("cannot mount"))                            \
            QSKIP("cannot make a mount namespace here");                                                     \
        QVERIFY2(child.exitCode() == 0 && !output.contains("SKIP   :"), output.constData());                 \
    } while (false)

} // namespace ostra::test
