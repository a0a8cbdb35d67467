// A camera of 5,000 objects (previews, raw files, state files in folders of 200 pictures)
// served by a FolderDevice whose every call takes 0 ms and then 5 ms: it is listed into a
// capture session (the model the camera tab shows) and then every file is copied through
// the portable-device session. For both, the objects per second over the first 500
// objects and over the last 500 of 5,000 are printed with their ratio (1.0: the cost per
// object does not grow with the camera), and the longest time the GUI thread was kept
// busy meanwhile, measured by a zero timer. The device offers no bulk property read, so
// objects are reported one by one as they are read.
// Aims: the rate at 5,000 within 20% of the rate at 500; no GUI-thread stall over 50 ms.
//
//   bench_cameralisting [--dir DIR] [--objects N] [--delays 0,5]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "capture/capturesession.h"
#include "capture/filekind.h"
#include "capture/sessionlistener.h"
#include "capture/wincaptureproxy.h"
#include "capture/winsessionproxy.h"
#include "platform/folderdevice.h"

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
    }
    return good ? 0 : 1;
}
