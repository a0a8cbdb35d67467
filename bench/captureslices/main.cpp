// A camera tree of about 2,000 files served by a FolderDevice: its listing and the copy
// of every file through the portable-device session (on the device's own thread,
// ".transfer" files forced to disk and renamed), beside a plain recursive copy of the
// same tree with the same per-file fsync, measured in the same run. While the session
// works, a zero timer measures the longest time this thread was kept busy.
//
//   bench_captureslices [--dir DIR] [--scale F]

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

#include "capture/filekind.h"
#include "capture/sessionlistener.h"
#include "capture/winsessionproxy.h"
#include "platform/folderdevice.h"

namespace {

void writeFile(const QString& path, qint64 size, char fill)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    f.write(QByteArray(int(size), fill));
}

// Copies every file below `from` to `to` (flat), each read and written in 256 KiB
// pieces and forced to disk.
qint64 plainCopy(const QString& from, const QString& to)
{
    QElapsedTimer timer;
    timer.start();
    QDir().mkpath(to);
    QByteArray buffer(256 * 1024, 0);
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile in(it.next());
        QFile out(to + "/" + it.fileName());
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            qFatal("plain copy failed");
        for (qint64 n; (n = in.read(buffer.data(), buffer.size())) > 0;)
            out.write(buffer.constData(), n);
        out.flush();
        ::fsync(out.handle());
    }
    return timer.elapsed();
}

struct Run
{
    qint64 listMs = 0;
    qint64 totalMs = 0;
    qint64 longestStepMs = 0;
    int files = 0;
    int copied = 0;
    int failed = 0;
};

// Lists the camera through a session and copies every file it finds into `target`.
Run sessionCopy(QCoreApplication& app, const QString& camera, const QString& data, const QString& target)
{
    FolderDeviceManager manager;
    const QString id = manager.attach(camera, "Z40");
    std::unique_ptr<IPortableDevice> device;
    manager.open(id, false, &device);
    SessionListener listener;
    CaptureRequest request { id, QDir(data), QDir(data), {} };
    WinSessionProxy session(std::move(device), request, &listener);
    Run run;
    QElapsedTimer beat;
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(
        &probe, &QTimer::timeout, [&] { run.longestStepMs = std::max(run.longestStepMs, beat.restart()); });
    QList<CapturedImage> files;
    QElapsedTimer timer;
    QObject::connect(&listener, &SessionListener::notifyItemsFound, &app,
        [&](QList<CapturedImage> found) { files += found; });
    QObject::connect(&listener, &SessionListener::notifyItemFile, &app, [&] {
        if (++run.copied + run.failed == files.size())
            app.quit();
    });
    QObject::connect(&listener, &SessionListener::notifyObstacle, &app, [&] {
        if (run.copied + ++run.failed == files.size())
            app.quit();
    });
    QDir().mkpath(target);
    QObject::connect(&listener, &SessionListener::notifyEnumerated, &app, [&](bool done) {
        if (!done)
            return;
        run.listMs = timer.elapsed();
        for (const CapturedImage& file : qAsConst(files)) {
            Recipe recipe;
            recipe.recipe = fileKeyDocument(file.fileName);
            session.transfer(QUrl::fromLocalFile(target + "/" + file.fileName), recipe);
        }
    });
    timer.start();
    beat.start();
    probe.start();
    session.start();
    app.exec();
    run.totalMs = timer.elapsed();
    run.files = files.size();
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ostra.*=false"));
    qRegisterMetaType<QList<CapturedImage>>();
    qRegisterMetaType<Recipe>();
    qRegisterMetaType<ProgressRatio>("ProgressRatio");
    qRegisterMetaType<IFileSink::Error>();
    qRegisterMetaType<uint32_t>("uint32_t");
    QString dir;
    double scale = 1.0;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--dir")
            dir = args[i + 1];
        if (args[i] == "--scale")
            scale = args[i + 1].toDouble();
    }
    QTemporaryDir temp(
        dir.isEmpty() ? QDir::tempPath() + "/bench_captureslices-XXXXXX" : dir + "/bench-XXXXXX");
    const QString camera = temp.filePath("camera");
    const int pictures = std::max(1, int(667 * scale));
    for (int i = 0; i < pictures; ++i) {
        const QString base
            = QStringLiteral("%1/DCIM/%2/IMG_%3").arg(camera).arg(100 + i / 200).arg(i, 4, 10, QChar('0'));
        writeFile(base + ".vrx", 512 * 1024 + i, 'r');
        writeFile(base + ".jpg", 64 * 1024 + i, 'j');
        writeFile(base + ".vrxs", 3000, 's');
    }
    ::sync();
    // The disk is shared: three rounds, each of both copies, and the best time of each.
    qint64 bestPlain = -1, bestSession = -1, listMs = 0, longest = 0;
    int count = 0, copied = 0, failed = 0;
    for (int round = 0; round < 3; ++round) {
        const QString plainTarget = temp.filePath(QStringLiteral("plain%1").arg(round));
        const qint64 plain = plainCopy(camera, plainTarget);
        QDir(plainTarget).removeRecursively();
        const QString target = temp.filePath(QStringLiteral("session%1").arg(round));
        const Run run = sessionCopy(app, camera, temp.filePath("data"), target);
        QDir(target).removeRecursively();
        ::sync();
        bestPlain = bestPlain < 0 ? plain : std::min(bestPlain, plain);
        bestSession = bestSession < 0 ? run.totalMs : std::min(bestSession, run.totalMs);
        listMs = std::max(listMs, run.listMs);
        longest = std::max(longest, run.longestStepMs);
        count = run.files;
        copied = run.copied;
        failed += run.failed;
    }
    std::printf("files: %d (%d copied, %d failed)\n", count, copied, failed);
    std::printf("listing: %lld ms\n", (long long)listMs);
    std::printf("best of 3: plain copy %lld ms; listing and copy through the session %lld ms; ratio %.2f "
                "(aim <= 1.5)\n",
        (long long)bestPlain, (long long)bestSession, double(bestSession) / std::max<qint64>(1, bestPlain));
    std::printf("longest GUI-thread step: %lld ms (aim <= 30)\n", (long long)longest);
    return failed == 0 ? 0 : 1;
}
