// Local copies as the import makes them (FileCopy through a ".transfer" name, synced and
// renamed into place, one file after another on a low-priority thread) beside
// "rsync -a --whole-file --fsync" and "cp -a" followed by "sync", measured in the same
// run: 20 files of 100 MB and 3,000 small files (200 KB, 3 KB and 700 B in turn), onto
// the same file system and onto another one. Ratios are FileCopy's time over rsync's.
//
// Raw pictures (the large files) are copied through ".transfer" names, the small side
// files straight to their names, as the scheduler asks for them.
//
//   bench_filecopy [--same DIR] [--other DIR] [--scale F]
//
// --same is where the sources live and the same-file-system copies go (default: the
// temporary folder); --other is a folder on another file system (default /dev/shm);
// --scale multiplies the file counts (0.1 for a quick look).

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <vector>

#include "pipeline/filecopy.h"

namespace {

struct Set
{
    const char* name;
    std::vector<qint64> sizes;
    // Raw pictures go through a temporary name; previews, state and side files do not.
    QString appendix;
};

Set largeSet(double scale)
{
    Set set { "20 x 100 MB", {}, QStringLiteral(".transfer") };
    for (int i = 0; i < qMax(1, int(20 * scale)); ++i)
        set.sizes.push_back(100LL * 1000 * 1000);
    return set;
}

Set smallSet(double scale)
{
    Set set { "3,000 small files", {}, QString() };
    const qint64 cycle[] = { 200 * 1000, 3 * 1000, 700 };
    for (int i = 0; i < qMax(3, int(3000 * scale)); ++i)
        set.sizes.push_back(cycle[i % 3]);
    return set;
}

bool writeSources(const QString& folder, const Set& set)
{
    QDir().mkpath(folder);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 7919) >> 3);
    for (size_t i = 0; i < set.sizes.size(); ++i) {
        QFile file(QStringLiteral("%1/F%2.vrx").arg(folder).arg(i, 5, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        for (qint64 left = set.sizes[i]; left > 0; left -= block.size())
            file.write(block.constData(), qMin<qint64>(left, block.size()));
    }
    return QProcess::execute(QStringLiteral("sync"), {}) == 0;
}

// One worker per file on a low-priority thread, one after another, as the scheduler does.
double fileCopy(const QString& from, const QString& to, const QString& appendix)
{
    QDir().mkpath(to);
    const QFileInfoList files = QDir(from).entryInfoList(QDir::Files, QDir::Name);
    QThread thread;
    thread.start(QThread::LowPriority);
    auto* anchor = new QObject;
    anchor->moveToThread(&thread);
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    QMetaObject::invokeMethod(
        anchor,
        [&] {
            for (const QFileInfo& info : files) {
                auto* copy = new FileCopy;
                copy->source = info.absoluteFilePath();
                copy->size = info.size();
                copy->modified = info.lastModified();
                copy->target = to + QLatin1Char('/') + info.fileName();
                copy->setTwoStage(appendix);
                QObject::connect(copy, &FileCopy::onCopied,
                    [&ok](QString, Recipe, Volume, bool success) { ok = ok && success; });
                copy->copy();
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            }
        },
        Qt::BlockingQueuedConnection);
    const double seconds = timer.nsecsElapsed() / 1e9;
    anchor->deleteLater();
    thread.quit();
    thread.wait();
    if (!ok)
        std::fprintf(stderr, "FileCopy failed\n");
    return seconds;
}

double command(const QString& shellLine)
{
    QElapsedTimer timer;
    timer.start();
    if (QProcess::execute(QStringLiteral("sh"), { QStringLiteral("-c"), shellLine }) != 0)
        std::fprintf(stderr, "failed: %s\n", qPrintable(shellLine));
    return timer.nsecsElapsed() / 1e9;
}

void clear(const QString& folder)
{
    QDir(folder).removeRecursively();
    QProcess::execute(QStringLiteral("sync"), {});
}

void measure(const Set& set, const QString& sources, const QString& targetRoot, const char* where)
{
    qint64 bytes = 0;
    for (qint64 s : set.sizes)
        bytes += s;
    const double mb = bytes / 1e6;
    const double files = double(set.sizes.size());
    const QString target = targetRoot + QStringLiteral("/copies");
    const QString quoted = QStringLiteral("'%1/' '%2/'").arg(sources, target);

    // Best of two rounds each, tools taking turns, so a busy machine skews less.
    double ours = 1e30, rsync = 1e30, cp = 1e30;
    for (int round = 0; round < 2; ++round) {
        clear(target);
        rsync = qMin(rsync, command(QStringLiteral("rsync -a --whole-file --fsync ") + quoted));
        clear(target);
        ours = qMin(ours, fileCopy(sources, target, set.appendix));
        clear(target);
        QDir().mkpath(target);
        cp = qMin(cp, command(QStringLiteral("cp -a '%1/.' '%2/' && sync").arg(sources, target)));
        clear(target);
    }
    std::printf("%-18s %-16s %-22s %8.2f s %9.1f MB/s %9.0f files/s\n", set.name, where, "FileCopy", ours,
        mb / ours, files / ours);
    std::printf("%-18s %-16s %-22s %8.2f s %9.1f MB/s %9.0f files/s\n", set.name, where, "rsync --fsync",
        rsync, mb / rsync, files / rsync);
    std::printf("%-18s %-16s %-22s %8.2f s %9.1f MB/s %9.0f files/s\n", set.name, where, "cp + sync", cp,
        mb / cp, files / cp);
    std::printf(
        "%-18s %-16s time FileCopy/rsync x%.2f, cp+sync/rsync x%.2f, files/s FileCopy/rsync x%.2f\n\n",
        set.name, where, ours / rsync, cp / rsync, rsync / ours);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ostra.*.debug=false"));
    QString same = QDir::tempPath();
    QString other = QStringLiteral("/dev/shm");
    double scale = 1.0;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--same"))
            same = args[i + 1];
        else if (args[i] == QLatin1String("--other"))
            other = args[i + 1];
        else if (args[i] == QLatin1String("--scale"))
            scale = args[i + 1].toDouble();
    }
    if (QStandardPaths::findExecutable(QStringLiteral("rsync")).isEmpty()) {
        std::fprintf(stderr, "rsync is not installed\n");
        return 1;
    }
    QTemporaryDir sameDir(same + QStringLiteral("/ostra-bench-XXXXXX"));
    QTemporaryDir otherDir(other + QStringLiteral("/ostra-bench-XXXXXX"));
    if (!sameDir.isValid() || !otherDir.isValid()) {
        std::fprintf(stderr, "cannot make the bench folders\n");
        return 1;
    }
    const bool across = QStorageInfo(sameDir.path()).device() != QStorageInfo(otherDir.path()).device();
    std::printf("same file system: %s (%s)\nother file system: %s (%s)%s\n\n", qPrintable(sameDir.path()),
        QStorageInfo(sameDir.path()).fileSystemType().constData(), qPrintable(otherDir.path()),
        QStorageInfo(otherDir.path()).fileSystemType().constData(),
        across ? "" : "  [NOT another file system]");

    for (const Set& set : { largeSet(scale), smallSet(scale) }) {
        const QString sources = sameDir.filePath(QStringLiteral("sources"));
        if (!writeSources(sources, set)) {
            std::fprintf(stderr, "cannot write the sources\n");
            return 1;
        }
        measure(set, sources, sameDir.path(), "same fs");
        measure(set, sources, otherDir.path(), "other fs");
        clear(sources);
    }
    return 0;
}
