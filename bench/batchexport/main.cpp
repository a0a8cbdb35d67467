// Exports and batch edits through the image service, each against a reference measured in
// the same run:
// - an export of `files` full-size pictures to JPEG (exportImageList) with the engine's
//   pool limited to 1, 2 and all CPUs, against developing the same pictures as the export
//   does (the engine writing raw pixels) and encoding them with libjpeg-turbo alone under
//   the same limit (aim <= 1.5x), and
//   the speed-up at all CPUs against one (aim: 75% of the CPU count);
// - a batch apply of an exposure patch over `batch` small pictures: pictures per second,
//   against reading and writing their state files alone.
// Usage: bench_batchexport [files=50] [batch=500] [module width=2080]. Prints, asserts
// nothing.
#include "ciapi/ciapi.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/renderer.h"
#include "ciapi/tuning.h"
#include "core/progresshandler.h"
#include "engine/imagelocator.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "tools/vrxgen/generator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <turbojpeg.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

namespace {

// Turns the event loop until `done` holds.
void waitUntil(const std::function<bool()>& done)
{
    while (!done()) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

std::vector<uint8_t> readAll(const QString& path)
{
    std::ifstream f(QFile::encodeName(path).toStdString(), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Develops each picture as the export does (the editors' renderer, full size, high
// fidelity) into raw pixels and encodes them with libjpeg-turbo; seconds.
double developAndEncode(const QStringList& paths, bool engineJpeg = false)
{
    QElapsedTimer clock;
    clock.start();
    tjhandle tj = tjInitCompress();
    for (const QString& path : paths) {
        const std::vector<uint8_t> vrx = readAll(path);
        auto renderer = CIAPI::Renderer::Create(3);
        renderer->setInputDataStream(vrx.data(), vrx.size());
        CIAPI::ApplyTuning(1, *renderer);
        // As an editor opens a picture: the depth (and with it the depth of field) is
        // computed and rendered.
        renderer->setProperty(CIAPI::IntParam::EagerDepth, 1);
        renderer->setProperty(CIAPI::IntParam::HighFidelity, 1);
        const CIAPI::ImagePyramid pyramid = renderer->outputBuffer();
        auto ppm = std::make_shared<std::ostringstream>(std::ios::binary | std::ios::out);
        renderer->writeImage(ppm, { pyramid[0].width(), pyramid[0].height() },
            engineJpeg ? CIAPI::ExportJPEG : CIAPI::ExportPPM, nullptr);
        if (engineJpeg)
            continue;
        const std::string bytes = ppm->str();
        int w = 0, h = 0, n = 0;
        if (std::sscanf(bytes.c_str(), "P6 %d %d 255%n", &w, &h, &n) != 2)
            continue;
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        tjCompress2(tj, reinterpret_cast<const unsigned char*>(bytes.data()) + n + 1, w, 0, h, TJPF_RGB,
            &jpeg, &size, TJSAMP_420, 95, 0);
        tjFree(jpeg);
    }
    tjDestroy(tj);
    return clock.nsecsElapsed() / 1e9;
}

// Exports every picture to JPEG through the service; seconds.
double exportAll(const QList<QUrl>& urls, const QString& folder)
{
    QDir(folder).removeRecursively();
    ImageLocator locator(QThread::idealThreadCount(), nullptr);
    locator.setLowSpaceMb(0);
    QElapsedTimer clock;
    clock.start();
    locator.exportImageList(urls, 1, 0, 2, QUrl::fromLocalFile(folder), QString(), true);
    waitUntil([&] {
        return locator.exportListsPending() == 0 && locator.exportQueue()->isIdle()
            && !locator.exportProgress()->active()
            && QDir(folder).entryList(QDir::Files).size() >= urls.size();
    });
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 50;
    const int batch = argc > 2 ? std::atoi(argv[2]) : 500;
    const int moduleWidth = argc > 3 ? std::atoi(argv[3]) : 2080;
    const int cpus = int(std::thread::hardware_concurrency());
    QTemporaryDir dir;

    // The same full-size picture under many names: every export still develops its own.
    vrxgen::PictureOptions options;
    options.moduleWidth = moduleWidth;
    options.moduleHeight = moduleWidth * 3 / 4;
    options.frames = 1;
    const vrxgen::Picture picture = vrxgen::makePicture(options);
    QStringList paths;
    QList<QUrl> urls;
    QDir().mkpath(dir.filePath("in"));
    for (int i = 0; i < files; ++i) {
        paths << dir.filePath(QStringLiteral("in/P%1.vrx").arg(i));
        vrxgen::writeFile(QFile::encodeName(paths.last()).toStdString(), picture.vrx);
        urls << QUrl::fromLocalFile(paths.last());
    }
    std::printf("export of %d pictures (%d x %d modules) to JPEG, full size\n", files, options.moduleWidth,
        options.moduleHeight);
    double one = 0;
    for (const int threads : { 1, 2, cpus }) {
        CIAPI::render::WorkerPool::instance().setThreadLimit(threads);
        const double reference = developAndEncode(paths);
        const double engine = developAndEncode(paths, true);
        const double service = exportAll(urls, dir.filePath(QStringLiteral("out%1").arg(threads)));
        if (threads == 1)
            one = service;
        std::printf("  %2d threads: export %.2f s (%.2f pictures/s), develop + libjpeg-turbo %.2f s: %.2fx "
                    "(aim <= 1.5); the engine's own JPEG write alone %.2fx",
            threads, service, files / service, reference, service / reference, service / engine);
        if (threads > 1)
            std::printf(", speed-up %.2f of %d (%.0f%%; aim 75%%)", one / service, threads,
                100.0 * one / service / threads);
        std::printf("\n");
    }
    CIAPI::render::WorkerPool::instance().setThreadLimit(cpus);

    // Batch apply over small pictures.
    QStringList small;
    QList<QUrl> smallUrls;
    QDir().mkpath(dir.filePath("batch"));
    vrxgen::PictureOptions little;
    little.moduleWidth = 128;
    little.moduleHeight = 96;
    const vrxgen::Picture tiny = vrxgen::makePicture(little);
    for (int i = 0; i < batch; ++i) {
        small << dir.filePath(QStringLiteral("batch/S%1.vrx").arg(i));
        vrxgen::writeFile(QFile::encodeName(small.last()).toStdString(), tiny.vrx);
        smallUrls << QUrl::fromLocalFile(small.last());
    }
    // The reference: each state file read and written again under its lock, nothing else.
    QElapsedTimer clock;
    clock.start();
    for (const QUrl& url : qAsConst(smallUrls))
        StateFile::writeRating(url, 1);
    const double stateOnly = clock.nsecsElapsed() / 1e9;
    {
        ImageLocator locator(QThread::idealThreadCount(), nullptr);
        ImageProperties patch;
        const auto exposure = patch.tuneToneEntry(QStringLiteral("exposure"));
        exposure->setCurrentValue(0.7);
        patch.markTuneTonePatch(exposure.get(), true);
        clock.restart();
        locator.applyProperties(smallUrls, &patch, true);
        ProgressHandler* progress = locator.patchProgressHandler();
        waitUntil([&] { return progress->progress() == batch && !progress->isInProgress(); });
        const double applied = clock.nsecsElapsed() / 1e9;
        std::printf(
            "batch apply over %d pictures: %.2f s, %.0f pictures/s; state files alone %.0f/s (%.1fx)\n",
            batch, applied, batch / applied, batch / stateOnly, applied / stateOnly);
    }
    CIAPI::StaticShutdown();
    return 0;
}
