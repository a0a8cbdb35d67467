// The scheduler's cost over plain copies: 300 and 3,000 files into one folder and 3,000
// files over 300 folders, imported through the router from a source that answers at once
// (each fetch is a queued durable copy), beside a plain loop of FileCopy on the same files.
// Prints files per second, the ratio to the plain loop, and the system calls per file on
// files and descriptors counted by strace (when it is installed). The files go to the
// folder given as the first argument, else to /dev/shm where syncs cost nothing and the
// scheduler's own cost shows most.

#include "bench/support/instantsource.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cstdio>

#include "pipeline/filecopy.h"
#include "pipeline/reciperouter.h"

namespace {

constexpr int kFileSize = 8 * 1024;

struct Layout
{
    const char* name;
    int files;
    int folders;
};

const Layout kLayouts[] = {
    { "300 files, 1 folder", 300, 1 },
    { "3,000 files, 1 folder", 3000, 1 },
    { "3,000 files, 300 folders", 3000, 300 },
};

QString sourceOf(const QString& root, int i)
{
    return QStringLiteral("%1/src/%2.vrx").arg(root).arg(i, 5, 10, QLatin1Char('0'));
}

QString targetOf(const QString& root, const Layout& layout, int i)
{
    return QStringLiteral("%1/dst/%2/%3.vrx")
        .arg(root)
        .arg(i % layout.folders, 3, 10, QLatin1Char('0'))
        .arg(i, 5, 10, QLatin1Char('0'));
}

void makeSources(const QString& root, int files)
{
    QDir().mkpath(root + "/src");
    QByteArray bytes(kFileSize, 'x');
    for (int i = 0; i < files; ++i) {
        bytes[0] = char(i);
        QFile file(sourceOf(root, i));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
}

void runPlain(const QString& root, const Layout& layout)
{
    for (int f = 0; f < layout.folders; ++f)
        QDir().mkpath(QFileInfo(targetOf(root, layout, f)).absolutePath());
    for (int i = 0; i < layout.files; ++i) {
        if (!bench::copyNow(sourceOf(root, i), targetOf(root, layout, i)))
            qFatal("copy failed");
    }
}

void runRouter(const QString& root, const Layout& layout)
{
    RecipeRouter router;
    // The window hands the router the volumes it follows; /dev/shm is not among the ones
    // Qt lists, so the benchmark names its own.
    QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    mounted << QStorageInfo(root);
    router.setMounted(mounted);
    bench::InstantSource source;
    IProvider::setPipeline(&source, &router);
    const QUuid session = QUuid::createUuid();
    QEventLoop loop;
    QObject::connect(&router, &RecipeRouter::sessionCompleted, &loop, &QEventLoop::quit);
    for (int i = 0; i < layout.files; ++i) {
        Recipe r;
        r.provider = QStringLiteral("transfer");
        r.ioChannel = QStringLiteral("bench");
        r.recipe = QJsonDocument(QJsonObject { { "file", sourceOf(root, i) } });
        r.imageUuid = QUuid::createUuid();
        r.fileSize = kFileSize;
        router.putRecipe(session, QUrl::fromLocalFile(targetOf(root, layout, i)), r, Arbiter());
    }
    router.start();
    loop.exec();
}

// Runs one measurement in a fresh process (under strace when asked); answers the
// seconds it took, or the system calls it made.
QString g_base;

double child(const QString& mode, int layout, const QString& strace)
{
    QTemporaryDir dir(g_base + QStringLiteral("/bench_pipeline-XXXXXX"));
    QProcess process;
    QStringList args { "--child", mode, QString::number(layout), dir.path() };
    if (strace.isEmpty()) {
        process.start(QCoreApplication::applicationFilePath(), args);
    } else {
        const QString counts = dir.filePath("strace.txt");
        process.start(strace,
            QStringList {
                "-f", "-c", "-e", "trace=%file,%desc", "-o", counts, QCoreApplication::applicationFilePath() }
                + args);
        process.waitForFinished(-1);
        QFile file(counts);
        file.open(QIODevice::ReadOnly);
        const QString text = QString::fromLocal8Bit(file.readAll());
        const QRegularExpressionMatch m
            = QRegularExpression(QStringLiteral("\\s(\\d+)\\s+(\\d+\\s+)?total")).match(text);
        return m.hasMatch() ? m.captured(1).toDouble() : -1;
    }
    process.waitForFinished(-1);
    return process.readAllStandardOutput().trimmed().toDouble();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ostra.*.debug=false"));
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("--child")) {
        const Layout& layout = kLayouts[args.at(3).toInt()];
        const QString root = args.at(4);
        makeSources(root, layout.files);
        QElapsedTimer timer;
        timer.start();
        if (args.at(2) == QLatin1String("plain"))
            runPlain(root, layout);
        else
            runRouter(root, layout);
        std::printf("%f\n", double(timer.nsecsElapsed()) / 1e9);
        return 0;
    }

    g_base = args.size() > 1                                 ? args.at(1)
        : QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                             : QDir::tempPath();
    std::printf("files of %d bytes in %s; the source answers each fetch on its next turn, 4 at a time\n",
        kFileSize, qPrintable(g_base));
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    std::printf("%-28s %12s %12s %8s %14s %14s\n", "", "plain f/s", "router f/s", "ratio", "calls/file pl",
        "calls/file rt");
    for (int i = 0; i < int(sizeof(kLayouts) / sizeof(kLayouts[0])); ++i) {
        const Layout& layout = kLayouts[i];
        // Best of two runs each, interleaved so that both see the same disk.
        double plain = 1e9, routed = 1e9;
        for (int run = 0; run < 2; ++run) {
            plain = qMin(plain, child("plain", i, QString()));
            routed = qMin(routed, child("router", i, QString()));
        }
        double plainCalls = -1, routedCalls = -1;
        if (!strace.isEmpty()) {
            // The sources are written in the same run; they cost the same in both.
            plainCalls = child("plain", i, strace) / layout.files;
            routedCalls = child("router", i, strace) / layout.files;
        }
        std::printf("%-28s %12.0f %12.0f %8.3f %14.1f %14.1f\n", layout.name, layout.files / plain,
            layout.files / routed, routed / plain, plainCalls, routedCalls);
    }
    if (strace.isEmpty())
        std::printf("(strace not installed: no system call counts)\n");
    return 0;
}
