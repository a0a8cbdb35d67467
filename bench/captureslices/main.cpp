// A camera tree of about 2,000 files served by a FolderDevice: its listing and the copy
// of every file through the portable-device session (24 ms steps on this thread,
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ostra.*=false"));
    qRegisterMetaType<QList<CapturedImage>>();
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
    const qint64 plainMs = plainCopy(camera, temp.filePath("plain"));

    FolderDeviceManager manager;
    const QString id = manager.attach(camera, "Z40");
    std::unique_ptr<IPortableDevice> device;
    manager.open(id, false, &device);
    SessionListener listener;
    CaptureRequest request { id, QDir(temp.filePath("data")), QDir(temp.filePath("cache")), {} };
    WinSessionProxy session(std::move(device), request, &listener);

    qint64 longest = 0;
    QElapsedTimer beat;
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [&] { longest = std::max(longest, beat.restart()); });
    QList<CapturedImage> files;
    int copied = 0, failed = 0;
    QElapsedTimer timer;
    qint64 listMs = 0;
    QObject::connect(
        &listener, &SessionListener::notifyItemsFound, [&](QList<CapturedImage> found) { files += found; });
    QObject::connect(&listener, &SessionListener::notifyItemFile, [&] {
        if (++copied + failed == files.size())
            app.quit();
    });
    QObject::connect(&listener, &SessionListener::notifyObstacle, [&] {
        if (copied + ++failed == files.size())
            app.quit();
    });
    const QString target = temp.filePath("session");
    QDir().mkpath(target);
    QObject::connect(&listener, &SessionListener::notifyEnumerated, [&](bool done) {
        if (!done)
            return;
        listMs = timer.elapsed();
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
    const qint64 sessionMs = timer.elapsed();

    std::printf("files: %d (%d copied, %d failed)\n", int(files.size()), copied, failed);
    std::printf("listing: %lld ms\n", (long long)listMs);
    std::printf(
        "plain copy: %lld ms; listing and copy through the session: %lld ms; ratio %.2f (aim <= 1.5)\n",
        (long long)plainMs, (long long)sessionMs, double(sessionMs) / std::max<qint64>(1, plainMs));
    std::printf("longest GUI-thread step: %lld ms (aim <= 30)\n", (long long)longest);
    return failed == 0 ? 0 : 1;
}
