// A camera of 5,000 objects (previews, raw files, state files in folders of 200 pictures)
// served by a FolderDevice whose every call takes 0 ms and then 5 ms: it is listed into a
// capture session (the model the camera tab shows) and then every file is copied through
// the portable-device session. For both, the objects per second over the first 500
// objects and over the last 500 of 5,000 are printed with their ratio (1.0: the cost per
// object does not grow with the camera), and the longest time the GUI thread was kept
// busy meanwhile, measured by a zero timer. The device offers no bulk property read, so
// objects are reported one by one as they are read. Then the whole stack of the camera
// tab over a camera of real pictures of about as many objects: the devices model, the
// capture session and the capture model taking in rows (rates over the first and the
// last tenth of the pictures, the time until every preview is read), and the import of
// every file through the journal and the scheduler (rates over the first and last tenth).
// Aims: the rate at 5,000 within 20% of the rate at 500; no GUI-thread stall over 50 ms.
//
//   bench_cameralisting [--dir DIR] [--objects N] [--delays 0,5]

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "capture/capturefacade.h"
#include "capture/capturemodel.h"
#include "capture/capturesession.h"
#include "capture/filekind.h"
#include "capture/sessionlistener.h"
#include "capture/wincaptureproxy.h"
#include "capture/winsessionproxy.h"
#include "core/appsettings.h"
#include "pipeline/recipebatch.h"
#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"
#include "platform/folderdevice.h"
#include "tools/vrxgen/cameratree.h"

namespace {

void writeFile(const QString& path, int size, char fill)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    f.write(QByteArray(size, fill));
}

// When the objects arrived (they come in batches): the rate over the first `window`
// objects and over the last `window` (widened to the batch before, when the last ones
// came at once).
struct Rates
{
    int total = 0;
    int window = 500;
    QList<QPair<int, qint64>> arrivals; // objects in so far, milliseconds
    void count(int done, qint64 ms) { arrivals.append({ done, ms }); }
    double first() const
    {
        for (const auto& a : arrivals)
            if (a.first >= window)
                return a.second > 0 ? a.first * 1000.0 / a.second : 0;
        return 0;
    }
    double last() const
    {
        if (arrivals.isEmpty())
            return 0;
        const QPair<int, qint64> end = arrivals.last();
        for (int i = arrivals.size() - 1; i >= 0; --i) {
            const QPair<int, qint64> a = arrivals.at(i);
            if (a.first <= end.first - window && a.second < end.second)
                return (end.first - a.first) * 1000.0 / double(end.second - a.second);
        }
        return 0;
    }
};

// The longest time between two turns of this thread's event loop.
class StallProbe
{
public:
    StallProbe()
    {
        m_timer.setInterval(0);
        QObject::connect(
            &m_timer, &QTimer::timeout, [this] { m_longest = std::max(m_longest, m_beat.restart()); });
    }
    void start()
    {
        m_longest = 0;
        m_beat.start();
        m_timer.start();
    }
    qint64 stop()
    {
        m_timer.stop();
        return m_longest;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_beat;
    qint64 m_longest = 0;
};

struct Result
{
    Rates listing;
    Rates copying;
    qint64 listingStallMs = 0;
    qint64 copyingStallMs = 0;
    int failed = 0;
};

// Lists the camera into a capture session; the objects are counted as the device reports them.
void listIntoSession(QCoreApplication& app, FolderDeviceManager& manager, const QString& id,
    const QString& data, Result* result)
{
    WinCaptureProxy wpd(&manager); // opens the device listed by the manager
    QElapsedTimer timer;
    int found = 0;
    bool enumerated = false;
    const SessionFactory factory = [&](const CaptureRequest& request, SessionListener* listener) {
        // The device thread reports: the context object brings the reports to this thread.
        QObject::connect(listener, &SessionListener::notifyItemsFound, &app, [&](QList<CapturedImage> items) {
            found += items.size();
            result->listing.count(found, timer.elapsed());
        });
        QObject::connect(listener, &SessionListener::notifyEnumerated, &app, [&](bool done) {
            if (done) {
                enumerated = true;
                app.quit();
            }
        });
        return wpd.createSession(request, listener);
    };
    StallProbe probe;
    const CaptureRequest request { id, QDir(data), QDir(data), { "hotpixel.rec", "metadata.xml" } };
    timer.start();
    probe.start();
    CaptureSession session(factory, request, nullptr, nullptr);
    if (!enumerated)
        app.exec();
    result->listingStallMs = probe.stop();
    if (session.rowCount() == 0)
        std::fprintf(stderr, "the session shows no rows\n");
}

// Lists the camera through a portable-device session and copies every file it finds.
void copyThroughSession(QCoreApplication& app, FolderDeviceManager& manager, const QString& id,
    const QString& data, const QString& target, Result* result)
{
    std::unique_ptr<IPortableDevice> device;
    manager.open(id, false, &device);
    SessionListener listener;
    const CaptureRequest request { id, QDir(data), QDir(data), {} };
    WinSessionProxy session(std::move(device), request, &listener);
    QList<CapturedImage> files;
    QElapsedTimer timer;
    int done = 0;
    auto one = [&] {
        ++done;
        result->copying.count(done, timer.elapsed());
        if (done == files.size())
            app.quit();
    };
    QObject::connect(&listener, &SessionListener::notifyItemsFound, &app,
        [&](QList<CapturedImage> found) { files += found; });
    QObject::connect(&listener, &SessionListener::notifyItemFile, &app, one);
    QObject::connect(&listener, &SessionListener::notifyObstacle, &app, [&] {
        ++result->failed;
        one();
    });
    QDir().mkpath(target);
    StallProbe probe;
    QObject::connect(&listener, &SessionListener::notifyEnumerated, &app, [&](bool complete) {
        if (!complete)
            return;
        result->copying.total = files.size();
        timer.start();
        // All the requests at once (a pipeline asks one by one): their queueing is not
        // the session's stall.
        for (const CapturedImage& file : qAsConst(files)) {
            Recipe recipe;
            recipe.recipe = fileKeyDocument(file.fileName);
            session.transfer(QUrl::fromLocalFile(target + "/" + file.fileName), recipe);
        }
        probe.start();
    });
    session.start();
    app.exec();
    result->copyingStallMs = probe.stop();
}

// Counts the files the journal saw complete.
class CountingLogger : public RecipeLogger
{
public:
    std::function<void()> completed;
    void onComplete(QUrl target, Recipe recipe) override
    {
        RecipeLogger::onComplete(target, recipe);
        if (completed)
            completed();
    }
};

bool runUntil(const std::function<bool()>& done, int timeoutMs = 900000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// The whole stack of the camera tab: the devices model, the session, the capture model
// over it and the journal with its scheduler; pictures (rows) counted as the model takes
// them in, then every file of every picture imported.
struct StackResult
{
    Rates rows;
    Rates files;
    qint64 correlatedMs = -1;
    qint64 listingStallMs = 0;
    qint64 importStallMs = 0;
    int pictures = 0;
};

StackResult runStack(const QString& camera, const QString& work, int delay)
{
    StackResult result;
    RecipeRouter router;
    CountingLogger logger;
    logger.setDelegate(&router);
    logger.setDbConnString(work + "/recipes.db");
    QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
    mounted << QStorageInfo(work);
    router.setMounted(mounted);
    QList<QUuid> completed;
    QObject::connect(&router, &RecipeRouter::sessionCompleted, [&](QUuid id) { completed << id; });
    auto* manager = new FolderDeviceManager;
    auto facade = std::make_unique<CaptureFacade>(manager);
    facade->setPipeline(&logger);
    logger.start();
    const QString id = manager->attach(camera, QStringLiteral("Z40"));
    FolderDevice::Faults faults;
    faults.callDelayMs = delay;
    faults.noBulk = true;
    manager->controls(id)->setFaults(faults);
    if (!runUntil([&] { return facade->count() > 0; }))
        qFatal("the camera never appeared");
    CaptureModel model;
    model.setPipeline(&logger);
    model.setDeviceLocator(facade.get());
    StallProbe probe;
    QElapsedTimer clock;
    clock.start();
    probe.start();
    model.setDeviceId(id);
    CaptureSession* session = facade->openSession(id);
    QObject::connect(session, &QAbstractItemModel::rowsInserted,
        [&] { result.rows.count(session->rowCount(), clock.elapsed()); });
    if (!runUntil([&] { return session->isCorrelated(); }))
        qFatal("the session never correlated");
    result.correlatedMs = clock.elapsed();
    result.listingStallMs = probe.stop();
    result.rows.total = session->rowCount();
    result.pictures = session->rowCount();

    const QString target = work + "/library/" + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    QDir().mkpath(target);
    const QUuid import = QUuid::createUuid();
    RecipeBatch batch(import);
    batch.setProvider(QStringLiteral("transfer"));
    batch.setIoChannel(id);
    for (int row = 0; row < session->rowCount(); ++row)
        for (int role : { PreviewKind, StateKind, RawKind }) {
            session->itemFromRecord(&batch, session->index(row, 0), role, QDir(target));
            result.files.total += session->index(row, 0).data(role).toString().isEmpty() ? 0 : 1;
        }
    int done = 0;
    clock.restart();
    logger.completed = [&] { result.files.count(++done, clock.elapsed()); };
    batch.submit(&logger);
    probe.start();
    if (!runUntil([&] { return completed.contains(import); }))
        qFatal("the import never completed");
    result.importStallMs = probe.stop();
    logger.completed = nullptr;
    return result;
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
    qRegisterMetaType<VideosModel::DownloadRequest>();
    QString dir;
    int objects = 5000;
    QList<int> delays { 0, 5 };
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--dir")
            dir = args[i + 1];
        if (args[i] == "--objects")
            objects = std::max(1000, args[i + 1].toInt());
        if (args[i] == "--delays") {
            delays.clear();
            for (const QString& d : args[i + 1].split(','))
                delays << d.toInt();
        }
    }
    QTemporaryDir temp(
        dir.isEmpty() ? QDir::tempPath() + "/bench_cameralisting-XXXXXX" : dir + "/bench-XXXXXX");
    const QString camera = temp.filePath("camera");
    // Two pictures in five have a state file: 2.4 objects per picture.
    const int pictures = objects * 5 / 12;
    int made = 0;
    for (int i = 0; i < pictures && made < objects; ++i) {
        const QString base
            = QStringLiteral("%1/DCIM/%2/IMG_%3").arg(camera).arg(100 + i / 200).arg(i, 5, 10, QChar('0'));
        writeFile(base + ".jpg", 2048, 'j');
        writeFile(base + ".vrx", 4096, 'r');
        made += 2;
        if (i % 5 < 2 && made < objects) {
            writeFile(base + ".vrxs", 512, 's');
            ++made;
        }
    }
    std::printf("camera: %d files\n", made);
    // The devices' data and cache folders go under the benchmark's folder.
    qputenv("HOME", QFile::encodeName(temp.filePath("home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(temp.filePath("home/data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(temp.filePath("home/cache")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp.filePath("home/config")));
    AppSettings settings;
    // A camera of real pictures for the whole stack, about as many objects.
    const QString realCamera = temp.filePath("realcamera");
    vrxgen::TreeOptions options;
    options.pictures = objects * 5 / 12;
    options.moduleWidth = 32;
    options.moduleHeight = 24;
    options.hotPixelsPerModule = 0;
    options.videos = 0;
    options.presets = 0;
    if (!vrxgen::makeCameraTree(realCamera.toStdString(), options))
        qFatal("cannot write the camera tree");
    bool good = true;
    for (const int delay : qAsConst(delays)) {
        FolderDeviceManager manager;
        const QString id = manager.attach(camera, "Z40");
        FolderDevice::Faults faults;
        faults.callDelayMs = delay;
        // Properties read one object at a time, as the objects come: the slow path, and
        // the one whose rate can be followed object by object.
        faults.noBulk = true;
        manager.controls(id)->setFaults(faults);
        Result result;
        result.listing.total = made;
        result.copying.total = made;
        listIntoSession(app, manager, id, temp.filePath("data"), &result);
        copyThroughSession(app, manager, id, temp.filePath("data"), temp.filePath("copy"), &result);
        QDir(temp.filePath("copy")).removeRecursively();
        const double listRatio
            = result.listing.first() > 0 ? result.listing.last() / result.listing.first() : 0;
        const double copyRatio
            = result.copying.first() > 0 ? result.copying.last() / result.copying.first() : 0;
        std::printf("%d ms per call:\n", delay);
        std::printf("  listing: %.0f objects/s over the first 500, %.0f over the last 500 of %d; ratio %.2f "
                    "(aim >= 0.80); longest GUI-thread stall %lld ms (aim <= 50)\n",
            result.listing.first(), result.listing.last(), made, listRatio, (long long)result.listingStallMs);
        std::printf("  copying: %.0f objects/s over the first 500, %.0f over the last 500 of %d; ratio %.2f "
                    "(aim >= 0.80); longest GUI-thread stall %lld ms (aim <= 50); %d failed\n",
            result.copying.first(), result.copying.last(), result.copying.total, copyRatio,
            (long long)result.copyingStallMs, result.failed);
        good = good && result.failed == 0;

        const QString work = temp.filePath(QStringLiteral("work%1").arg(delay));
        QDir().mkpath(work);
        const StackResult stack = runStack(realCamera, work, delay);
        const int rowWindow = std::max(1, stack.pictures / 10);
        StackResult shown = stack;
        shown.rows.window = rowWindow;
        shown.files.window = std::max(1, stack.files.total / 10);
        std::printf(
            "  camera tab (%d pictures, %d files): rows %.0f/s over the first %d, %.0f/s over the last %d; "
            "ratio %.2f (aim >= 0.80); all previews read after %lld ms; longest GUI-thread stall %lld ms "
            "(aim <= 50)\n",
            stack.pictures, stack.files.total, shown.rows.first(), rowWindow, shown.rows.last(), rowWindow,
            shown.rows.first() > 0 ? shown.rows.last() / shown.rows.first() : 0,
            (long long)stack.correlatedMs, (long long)stack.listingStallMs);
        std::printf(
            "  import: files %.0f/s over the first %d, %.0f/s over the last %d; ratio %.2f (aim >= 0.80); "
            "longest GUI-thread stall %lld ms (aim <= 50)\n",
            shown.files.first(), shown.files.window, shown.files.last(), shown.files.window,
            shown.files.first() > 0 ? shown.files.last() / shown.files.first() : 0,
            (long long)stack.importStallMs);
        std::fflush(stdout);
    }
    return good ? 0 : 1;
}
