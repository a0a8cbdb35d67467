// A second process for the state-file, export and batch tests: it dies in the middle of
// writing a state file, an export or a batch edit.
#include "engine/export.h"
#include "engine/exportqueue.h"
#include "engine/exportrequest.h"
#include "engine/fileperm.h"
#include "engine/imageproperties.h"
#include "engine/imageviewer.h"
#include "engine/patchbatch.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == QLatin1String("crash-save")) {
        // args: state file, file with the new content, byte limit at which to die.
        QFile source(args[3]);
        if (!source.open(QIODevice::ReadOnly))
            return 2;
        const QByteArray bytes = source.readAll();
        struct rlimit noCore = { 0, 0 };
        setrlimit(RLIMIT_CORE, &noCore);
        // Writing past the limit kills the process with SIGXFSZ, like a crash mid-write.
        std::signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit = { rlim_t(args[4].toLongLong()), rlim_t(args[4].toLongLong()) };
        setrlimit(RLIMIT_FSIZE, &limit);
        StateStamp stamp = StateStamp::of(args[2]);
        StateFile::save(
            args[2], false, stamp, [&](std::ostream& out) { out.write(bytes.constData(), bytes.size()); });
        return 3; // not reached when the limit is below the new size
    }
    if (args.size() == 5 && args[1] == QLatin1String("crash-export")) {
        // args: picture, export path, engine format. Dies once the export is under way.
        struct rlimit noCore = { 0, 0 };
        setrlimit(RLIMIT_CORE, &noCore);
        const QUrl picture = QUrl::fromLocalFile(args[2]);
        ImageViewer viewer;
        if (!viewer.loadImageWithState(picture, std::make_shared<StreamSource>(picture), {}, 0, 0))
            return 2;
        ExportRequest request;
        request.location = picture;
        request.format = args[4].toInt();
        request.sizeMode = 2; // the largest level
        request.path = args[3];
        exportImage(viewer, request, [](int percentage) {
            if (percentage >= 50)
                ::raise(SIGKILL);
        });
        return 3; // not reached: the engine reports progress while it writes
    }
    if (args.size() == 4 && args[1] == QLatin1String("crash-batch")) {
        // args: folder, byte limit at which to die (0: none). Applies an exposure of 1.5 to
        // every picture in it, one every 100 ms at most, telling each step on its error
        // stream, until it is killed (exit code 4 when it finished first).
        struct rlimit noCore = { 0, 0 };
        setrlimit(RLIMIT_CORE, &noCore);
        if (args[3].toLongLong() > 0) {
            std::signal(SIGXFSZ, SIG_DFL);
            struct rlimit limit = { rlim_t(args[3].toLongLong()), rlim_t(args[3].toLongLong()) };
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        FilePerm perm;
        PatchBatch batch(&perm, nullptr, [](const QUrl& url) -> PatchBatch::SourceMaker {
            return [url] { return std::make_shared<StreamSource>(url); };
        });
        batch.setProbe([](const QUrl& url, const char* point) {
            if (qstrcmp(point, "file") == 0)
                QThread::msleep(100);
            fprintf(stderr, "at %s %s\n", point, qPrintable(url.fileName()));
        });
        QList<QUrl> pictures;
        const QDir folder(args[2]);
        for (const QString& name : folder.entryList({ QStringLiteral("*.vrx") }, QDir::Files, QDir::Name))
            pictures << QUrl::fromLocalFile(folder.filePath(name));
        int changed = 0;
        QObject::connect(&batch, &PatchBatch::fileChanged, &app, [&] {
            if (++changed == pictures.size())
                app.quit();
        });
        ImageProperties patch;
        const auto exposure = patch.tuneToneEntry(QStringLiteral("exposure"));
        exposure->setCurrentValue(1.5);
        patch.markTuneTonePatch(exposure.get(), true);
        if (!batch.apply(pictures, &patch, true))
            return 2;
        app.exec();
        return 4;
    }
    if (args.size() == 5 && args[1] == QLatin1String("crash-copy")) {
        // args: picture, first export, second export. Both ask for the same output, so the
        // second is copied from the first; the copy dies half-way (past a file-size limit).
        struct rlimit noCore = { 0, 0 };
        setrlimit(RLIMIT_CORE, &noCore);
        const QUrl picture = QUrl::fromLocalFile(args[2]);
        ExportQueue queue;
        QObject::connect(
            &queue, &ExportQueue::notifyPartialProgress, &queue,
            [&](int percentage, const QString& path) {
                if (percentage < 100 || path != args[3])
                    return;
                std::signal(SIGXFSZ, SIG_DFL);
                const rlim_t half = rlim_t(QFileInfo(path).size() / 2);
                struct rlimit limit = { half, half };
                setrlimit(RLIMIT_FSIZE, &limit);
            },
            Qt::DirectConnection);
        const Export::SizeSpec size { Export::MinDimP, 120, {} };
        for (const QString& path : { args[3], args[4] })
            queue.enqueue(picture, std::make_shared<StreamSource>(picture), 1, path, size, 0);
        FilePerm perm;
        ImageViewer writer;
        writer.setFilePerm(&perm);
        queue.setWriter(&writer);
        queue.run(writer);
        return 3; // not reached: the copy is past the limit
    }
    return 1;
}
