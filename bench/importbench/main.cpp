// An import of a 500-picture camera (raw, preview and for every third picture a state
// file) end to end: the devices model and its session, the journal, the scheduler and its
// copy workers, through a folder served as a portable device and through volumes standing
// in for USB storage. Prints the seconds from opening the device to the first preview
// read into the session (the first thumbnail of the import list), and pictures per second
// of the whole import beside `rsync -a --fsync` of the same files in the same run.
// Also counts the syncs (fsync, fdatasync) that the import makes per file, beside rsync's
// (counted by strace when it is installed, in a run of its own that is not timed), and
// sets the CPU time of the import's threads against rsync's (user plus system: on a
// shared machine it varies less than the wall time).
// Aims: first thumbnail under 1 s; the import within 1.3 times rsync's time.
// Usage: bench_importbench [FOLDER] [PICTURES] [device|usb|both] [ROUNDS] [SCALE]; files go
// to FOLDER (default: the temporary folder); "device" or "usb" measures one transport only;
// ROUNDS (default 1) alternates rsync and the import that many times per transport and
// prints the medians, for a machine that others share; SCALE (default 1) multiplies the
// width and height of the raw files' modules (8 makes raw files of some megabytes).

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "capture/capturefacade.h"
#include "capture/capturesession.h"
#include "capture/filekind.h"
#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "core/appsettings.h"
#include "pipeline/recipebatch.h"
#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"
#include "platform/folderdevice.h"
#include "tests/support/fakevolumes.h"
#include "tools/vrxgen/cameratree.h"

namespace {

std::atomic<long> g_syncs { 0 };

} // namespace

// Every sync of this process, SQLite's included, goes through these (the executable
// exports them, so the libraries loaded later bind to them too).
extern "C" int fsync(int fd)
{
    ++g_syncs;
    return int(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd)
{
    ++g_syncs;
    return int(::syscall(SYS_fdatasync, fd));
}

namespace {

struct Result
{
    double firstThumbnail = -1;
    double seconds = -1;
    int pictures = 0;
    int files = 0;
    long syncs = 0;
    double cpu = -1; // user + system seconds of all the import's threads
};

// User plus system seconds of this process (RUSAGE_SELF) or of its waited-for children.
double cpuSeconds(int who)
{
    struct rusage usage;
    if (::getrusage(who, &usage) != 0)
        return 0;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs events until `done` holds, looking every millisecond and after every signal of
// `source` (when given); false after `timeoutMs`.
bool waitFor(
    const std::function<bool()>& done, const QAbstractItemModel* source = nullptr, int timeoutMs = 600000)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer tick;
    auto check = [&] {
        if (done())
            loop.quit();
    };
    QObject::connect(&tick, &QTimer::timeout, &loop, check);
    if (source)
        QObject::connect(source, &QAbstractItemModel::dataChanged, &loop, check);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    tick.start(1);
    loop.exec();
    return done();
}

Result runImport(const QString& camera, bool usb, const QString& work)
{
    Result result;
    RecipeRouter router;
    RecipeLogger logger;
    logger.setDelegate(&router);
    logger.setDbConnString(work + "/recipes.db");
    QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    mounted << QStorageInfo(work);
    router.setMounted(mounted);
    QList<QUuid> completed;
    QObject::connect(&router, &RecipeRouter::sessionCompleted, [&](QUuid id) { completed << id; });

    FolderDeviceManager* manager = usb ? nullptr : new FolderDeviceManager;
    std::unique_ptr<Volumes> volumes;
    auto facade = std::make_unique<CaptureFacade>(manager);
    facade->setPipeline(&logger);
    logger.start();
    QString deviceId;
    QElapsedTimer clock;
    if (usb) {
        auto* mounts = new ostra::test::FakeMountSource;
        volumes = std::make_unique<Volumes>(mounts, new ostra::test::NoEjector);
        clock.start();
        deviceId = ostra::test::plugCameraVolumes(*facade->volMonitor(), *volumes, *mounts, camera);
    } else {
        clock.start();
        deviceId = manager->attach(camera, QStringLiteral("Z40"));
    }
    if (!waitFor([&] { return facade->count() > 0; }))
        qFatal("the camera never appeared");
    CaptureSession* session = facade->openSession(deviceId);
    auto previewRead = [session] {
        for (int row = 0; row < session->rowCount(); ++row)
            if (session->index(row, 0).data(CaptureSession::LocationRole).isValid())
                return true;
        return false;
    };
    // Checked after every turn of events, so that the time is that of the first preview.
    if (!waitFor(previewRead, session))
        qFatal("no preview was read");
    result.firstThumbnail = double(clock.nsecsElapsed()) / 1e9;
    if (!waitFor([session] { return session->isCorrelated(); }))
        qFatal("the session never correlated");

    const QString target = work + "/library/" + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    QDir().mkpath(target);
    clock.restart();
    const long syncsBefore = g_syncs.load();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    const QUuid id = QUuid::createUuid();
    RecipeBatch batch(id);
    batch.setProvider(QStringLiteral("transfer"));
    batch.setIoChannel(deviceId);
    for (int row = 0; row < session->rowCount(); ++row) {
        const QModelIndex index = session->index(row, 0);
        for (int role : { PreviewKind, StateKind, RawKind }) {
            session->itemFromRecord(&batch, index, role, QDir(target));
            result.files += !index.data(role + CaptureSession::RemoteId).toString().isEmpty();
        }
        if (!index.data(RawKind + 1).toString().isEmpty())
            ++result.pictures;
    }
    batch.submit(&logger);
    if (!waitFor([&] { return completed.contains(id); }))
        qFatal("the import never completed");
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.syncs = g_syncs.load() - syncsBefore;
    result.cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    return result;
}

// Wall seconds; `cpu` gets rsync's user plus system seconds.
double runRsync(const QString& rsync, const QString& from, const QString& to, double* cpu)
{
    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    clock.start();
    const int status = QProcess::execute(rsync, { "-a", "--fsync", from + "/", to + "/" });
    if (status != 0)
        qFatal("rsync failed (%d)", status);
    *cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    return double(clock.nsecsElapsed()) / 1e9;
}

// rsync's syncs for the same copy, counted by strace (-1 without it).
long rsyncSyncs(const QString& rsync, const QString& from, const QString& to, const QString& work)
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        return -1;
    const QString log = work + "/rsync-strace.txt";
    const int status = QProcess::execute(strace,
        { "-f", "-qq", "-c", "-e", "trace=fsync,fdatasync", "-o", log, rsync, "-a", "--fsync", from + "/",
            to + "/" });
    QFile file(log);
    if (status != 0 || !file.open(QIODevice::ReadOnly))
        return -1;
    long syncs = 0;
    // The summary's lines: % time, seconds, usecs/call, calls, [errors,] syscall.
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 5 && (words.last() == "fsync" || words.last() == "fdatasync"))
            syncs += words.at(3).toLong();
    }
    return syncs;
}

double median(QVector<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("ostra.*.debug=false\nostra.*.info=false"));
    const QStringList args = app.arguments();
    const QString base = args.size() > 1 ? args.at(1) : QDir::tempPath();
    const int pictures = args.size() > 2 ? args.at(2).toInt() : 500;
    const QString only = args.size() > 3 ? args.at(3) : QString();
    QTemporaryDir dir(base + QStringLiteral("/bench_import-XXXXXX"));
    if (!dir.isValid())
        qFatal("cannot make a folder in %s", qPrintable(base));
    // The data and cache folders of the devices go under the benchmark's folder.
    qputenv("HOME", QFile::encodeName(dir.filePath("home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath("home/data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath("home/cache")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("home/config")));
    AppSettings settings;
    const QString rsync = QStandardPaths::findExecutable(QStringLiteral("rsync"));

    const int rounds = args.size() > 4 ? std::max(1, args.at(4).toInt()) : 1;
    const int scale = args.size() > 5 ? std::max(1, args.at(5).toInt()) : 1;

    std::printf("%d pictures (raw, preview, a state file for every third) in %s, %d round(s), medians\n",
        pictures, qPrintable(base), rounds);
    std::printf("%-16s %8s %11s %10s %10s %7s %9s %11s %11s\n", "transport", "MB", "1st thumb s",
        "import p/s", "rsync p/s", "ratio", "cpu ratio", "syncs/file", "rsync s/f");
    for (const bool usb : { false, true }) {
        if (!only.isEmpty() && only != QLatin1String("both") && only != QLatin1String(usb ? "usb" : "device"))
            continue;
        const QString camera = dir.filePath(usb ? "usbcamera" : "camera");
        vrxgen::TreeOptions options;
        options.pictures = pictures;
        options.usb = usb;
        options.marker = "queltcal";
        options.videos = 0;
        options.presets = 0;
        options.moduleWidth *= scale;
        options.moduleHeight *= scale;
        if (!vrxgen::makeCameraTree(camera.toStdString(), options))
            qFatal("cannot write the camera tree");
        const QString pictureFolder = usb ? camera + "/Z40CD0042/DCIM" : camera;
        qint64 bytes = 0;
        int cameraFiles = 0;
        for (const QFileInfo& file : QDir(pictureFolder).entryInfoList(QDir::Files)) {
            bytes += file.size();
            ++cameraFiles;
        }
        QVector<double> thumbs, imports, copies, ratios, cpuRatios, syncsPerFile;
        int pictureCount = 0;
        for (int round = 0; round < rounds; ++round) {
            const QString tag = QStringLiteral("%1-%2").arg(usb ? "usb" : "device").arg(round);
            // rsync first, then the import: both read files the page cache holds.
            double rsyncCpu = -1;
            const double rsyncSeconds = rsync.isEmpty()
                ? -1
                : runRsync(rsync, pictureFolder, dir.filePath("rsync-" + tag), &rsyncCpu);
            const QString work = dir.filePath("work-" + tag);
            QDir().mkpath(work);
            const Result r = runImport(camera, usb, work);
            pictureCount = r.pictures;
            thumbs << r.firstThumbnail;
            imports << r.seconds;
            copies << rsyncSeconds;
            ratios << (rsyncSeconds > 0 ? r.seconds / rsyncSeconds : -1.0);
            cpuRatios << (rsyncCpu > 0 ? r.cpu / rsyncCpu : -1.0);
            syncsPerFile << (r.files > 0 ? double(r.syncs) / r.files : -1.0);
            // Each round's copies go, so the disk holds no more than one round's.
            QDir(work).removeRecursively();
            QDir(dir.filePath("rsync-" + tag)).removeRecursively();
        }
        long referenceSyncs = -1;
        if (!rsync.isEmpty()) {
            const QString to = dir.filePath(usb ? "rsync-usb-counted" : "rsync-counted");
            referenceSyncs = rsyncSyncs(rsync, pictureFolder, to, dir.path());
            QDir(to).removeRecursively();
        }
        const double importSeconds = median(imports), rsyncSeconds = median(copies);
        std::printf("%-16s %8.1f %11.3f %10.1f %10.1f %7.2f %9.2f %11.2f %11.2f\n",
            usb ? "usb volumes" : "portable device", double(bytes) / 1e6, median(thumbs),
            pictureCount / importSeconds, rsyncSeconds > 0 ? pictureCount / rsyncSeconds : -1.0,
            median(ratios), median(cpuRatios), median(syncsPerFile),
            referenceSyncs >= 0 ? double(referenceSyncs) / cameraFiles : -1.0);
        std::fflush(stdout);
    }
    if (rsync.isEmpty())
        std::printf("(rsync not installed: no reference)\n");
    std::printf("aims: first thumbnail under 1 s; ratio (import time / rsync time) at most 1.3\n");
    return 0;
}
