// A second process for the state-file tests: it dies in the middle of writing a state file.
#include "engine/statefile.h"

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
    return 1;
}
