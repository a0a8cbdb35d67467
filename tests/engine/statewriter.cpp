// A second process for the state-file and export tests: it dies in the middle of writing a
// state file or an export.
#include "engine/exportrequest.h"
#include "engine/imageviewer.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <csignal>
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
    return 1;
}
