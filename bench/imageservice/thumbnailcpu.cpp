// CPU time (user + sys) of a gallery thumbnail drawn from the raw file, against
// `vipsthumbnail` on the same pixels.
//
// The pictures: the demo library of tools/vrxgen (module 2080 x 1560, a quarter 2080 x 1170;
// one or two frames; two thirds compressed; some with a state file of ratings).
//
// The reference: for every picture the mosaic the engine starts from (the reference module's
// frames averaged, 16-bit, one sample per sensor pixel in the sensor's colour pattern),
// written once as a one-band 16-bit TIFF and compressed as the raw frame is (zstd with the
// horizontal predictor for compressed pictures, none for the others). TIFF strips have no
// reduced-resolution load, so `vipsthumbnail` decodes every sample, as the engine must; it
// then shrinks to the engine's thumbnail size (the coarsest pyramid level, exactly). It
// reads one averaged frame where the engine decodes every frame, and it does no demosaic,
// white balance, colour matrix or tone work where the engine does all of them: a strict
// reference. Its process start (measured on a 2 x 2 TIFF) is taken off, and each process
// draws one picture's copies, so the figure is its cost per picture.
//
// The engine: `IndexTask::renderThumbnail` on a fresh source, as the index task calls it;
// the image service: `ImageLocator::requestLoad` of every file until every output came
// back, the whole process's CPU. One thread: the engine's pool limited to one worker, calls
// one after another, `VIPS_CONCURRENCY=1`, an image service of one index thread. All
// threads: as many calling threads (index threads) as CPUs, the pool and vips at their
// default. Each figure is the median of three rounds.
#include "bench/imageservice/thumbnailcpu.h"
#include "bench/imageservice/waituntil.h"

#include "ciapi/bytesource.h"
#include "ciapi/ciapi.h"
#include "ciapi/image.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/vrx/vrximage.h"
#include "engine/imageclient.h"
#include "engine/imagelocator.h"
#include "engine/indextask.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"
#include "engine/vrxmessage.h"
#include "tools/vrxgen/cameratree.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace imageservicebench {

namespace {

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double cpuSeconds(int who)
{
    rusage u {};
    getrusage(who, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

struct Picture
{
    QString raw; // the demo file
    std::vector<QString> copies; // hard links of the raw file (with their state files)
    std::vector<QString> tiffs; // hard links of the reference TIFF
    int width = 0; // thumbnail size
    int height = 0;
};

bool writeTiff(
    const QString& path, const std::vector<uint16_t>& samples, int width, int height, bool compress)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(16));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISBLACK));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, uint16_t(compress ? COMPRESSION_ZSTD : COMPRESSION_NONE));
    if (compress)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL));
    const uint32_t rows = 64; // strips of 64 rows, as image writers commonly make them
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
    bool ok = true;
    std::vector<uint16_t> strip;
    for (uint32_t y = 0; y < uint32_t(height) && ok; y += rows) {
        const uint32_t n = std::min(rows, uint32_t(height) - y);
        // A copy: the encoder may change the samples it is given.
        strip.assign(samples.begin() + ptrdiff_t(y) * width, samples.begin() + ptrdiff_t(y + n) * width);
        ok = TIFFWriteEncodedStrip(tif, y / rows, strip.data(), tmsize_t(strip.size() * 2)) >= 0;
    }
    TIFFClose(tif);
    return ok;
}

// CPU seconds of one vipsthumbnail process (children's user + sys); negative on failure.
double runVips(
    const std::vector<QString>& inputs, const QString& outFolder, int width, int height, int concurrency)
{
    std::vector<std::string> args { "vipsthumbnail", "-s",
        std::to_string(width) + "x" + std::to_string(height) + "!", "-o",
        QFile::encodeName(outFolder).toStdString() + "/%s.v" };
    for (const QString& in : inputs)
        args.push_back(QFile::encodeName(in).toStdString());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "VIPS_CONCURRENCY=", 17) != 0)
            env.emplace_back(*e);
    if (concurrency > 0)
        env.push_back("VIPS_CONCURRENCY=" + std::to_string(concurrency));
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "vipsthumbnail", nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return cpuSeconds(RUSAGE_CHILDREN) - before;
}

// Collects thumbnails the service sends.
class Cell : public QObject, public ImageClient
{
public:
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage&) override { done = true; }
    void fileInvalid(QUrl) override { done = true; }
    void routerDetached(ImageRouter*) override { }
    bool done = false;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The calls of `work` for every copy of every picture on `threads` threads; CPU per picture.
double engineCpu(const std::vector<Picture>& pictures, int threads)
{
    std::vector<QString> files;
    for (const Picture& p : pictures)
        files.insert(files.end(), p.copies.begin(), p.copies.end());
    std::atomic<size_t> next { 0 };
    const auto work = [&] {
        const CIAPI::BackgroundWork background; // as the index task draws it
        for (size_t i = next++; i < files.size(); i = next++) {
            const QUrl url = QUrl::fromLocalFile(files[i]);
            StreamSource source(url);
            IndexTask::renderThumbnail(source, ImageLocator::kGlBgra, 1, {}, stateFilePathFor(url));
        }
    };
    const double before = cpuSeconds(RUSAGE_SELF);
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    return (cpuSeconds(RUSAGE_SELF) - before) / double(files.size());
}

double serviceCpu(const std::vector<Picture>& pictures, int threads)
{
    std::vector<QString> files;
    for (const Picture& p : pictures)
        files.insert(files.end(), p.copies.begin(), p.copies.end());
    const double before = cpuSeconds(RUSAGE_SELF);
    {
        ImageLocator locator(threads, nullptr);
        std::vector<std::unique_ptr<Cell>> cells;
        for (const QString& f : files) {
            cells.push_back(std::make_unique<Cell>());
            locator.requestLoad(QUrl::fromLocalFile(f), cells.back().get());
        }
        waitUntil(
            [&] { return std::all_of(cells.begin(), cells.end(), [](const auto& c) { return c->done; }); });
    }
    return (cpuSeconds(RUSAGE_SELF) - before) / double(files.size());
}

} // namespace

void thumbnailCpu(const QString& folder, int count, int repeats)
{
    const QString rawFolder = folder + "/raw";
    const QString setFolder = folder + "/set";
    const QString tiffFolder = folder + "/tiff";
    const QString outFolder = folder + "/out";
    for (const QString& f : { setFolder, tiffFolder, outFolder })
        QDir().mkpath(f);
    if (!vrxgen::makeDemoLibrary(QFile::encodeName(rawFolder).toStdString(), count)) {
        std::printf("thumbnail CPU: cannot write the demo pictures\n");
        return;
    }
    std::vector<Picture> pictures;
    int minW = 1 << 30, maxW = 0;
    for (const QString& name : QDir(rawFolder).entryList({ "*.vrx" }, QDir::Files, QDir::Name)) {
        Picture p;
        p.raw = rawFolder + "/" + name;
        QFile file(p.raw);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = file.readAll();
        const auto image
            = CIAPI::vrx::VrxImage::open(CIAPI::ByteSource::fromMemory(bytes.data(), size_t(bytes.size())));
        const int ref = image->referenceModule();
        const CIAPI::vrx::ModuleInfo& mod = image->module(ref);
        const int levels = CIAPI::ImagePyramid::LevelCountFor(image->outputWidth(), image->outputHeight());
        const CIAPI::Point<int> size
            = CIAPI::ImagePyramid::LevelSize(image->outputWidth(), image->outputHeight(), levels - 1);
        p.width = size.x;
        p.height = size.y;
        minW = std::min(minW, p.width);
        maxW = std::max(maxW, p.width);
        const QString base = name.left(name.size() - 4);
        const QString tiff = tiffFolder + "/" + base + ".tif";
        if (!writeTiff(tiff, image->averageFrames(ref), mod.width, mod.height, image->compressed())) {
            std::printf("thumbnail CPU: cannot write %s\n", qPrintable(tiff));
            return;
        }
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(p.raw));
        for (int k = 0; k < repeats; ++k) {
            const QString copy = QString("%1/%2_%3").arg(setFolder, base).arg(k);
            const QString tiffCopy = QString("%1/%2_%3.tif").arg(tiffFolder, base).arg(k);
            if (::link(QFile::encodeName(p.raw).constData(), QFile::encodeName(copy + ".vrx").constData())
                    != 0
                || ::link(QFile::encodeName(tiff).constData(), QFile::encodeName(tiffCopy).constData())
                    != 0) {
                std::printf("thumbnail CPU: cannot link the copies\n");
                return;
            }
            if (QFile::exists(state))
                QFile::copy(state, StateFile::pathFor(QUrl::fromLocalFile(copy + ".vrx")));
            p.copies.push_back(copy + ".vrx");
            p.tiffs.push_back(tiffCopy);
        }
        pictures.push_back(std::move(p));
    }
    if (pictures.empty())
        return;
    const int all = QThread::idealThreadCount();
    std::printf(
        "thumbnail CPU from raw: %d demo pictures x %d, thumbnails %d to %d wide; CPU (user + sys) per"
        " picture\n  reference: vipsthumbnail on the reference module's mosaic as a 16-bit TIFF,"
        " compressed as the raw frame (zstd) or not, at the thumbnail's size\n",
        int(pictures.size()), repeats, minW, maxW);

    // vipsthumbnail's process start, on a 2 x 2 picture.
    const QString tiny = tiffFolder + "/tiny.tif";
    writeTiff(tiny, std::vector<uint16_t>(4, 1000), 2, 2, false);
    auto startCost = [&](int concurrency) {
        std::vector<double> v;
        for (int i = 0; i < 5; ++i)
            v.push_back(runVips({ tiny }, outFolder, 2, 2, concurrency));
        return median(v);
    };
    if (startCost(1) < 0) {
        std::printf("  vipsthumbnail not found or failing: no reference, no ratio\n");
        return;
    }

    for (int threads : { 1, all }) {
        std::vector<double> vips, engine, service;
        const int concurrency = threads == 1 ? 1 : 0;
        const double start = startCost(concurrency);
        for (int round = 0; round < 3; ++round) {
            double sum = 0;
            int n = 0;
            for (const Picture& p : pictures) {
                const double s = runVips(p.tiffs, outFolder, p.width, p.height, concurrency);
                if (s < 0) {
                    std::printf("  vipsthumbnail failed\n");
                    return;
                }
                sum += s - start;
                n += int(p.tiffs.size());
            }
            vips.push_back(sum / n);
            CIAPI::StaticShutdown();
            CIAPI::render::WorkerPool::instance().setThreadLimit(threads == 1 ? 1 : 0);
            engine.push_back(engineCpu(pictures, threads));
            service.push_back(serviceCpu(pictures, threads));
            CIAPI::StaticShutdown();
            CIAPI::render::WorkerPool::instance().setThreadLimit(0);
        }
        const double v = median(vips), e = median(engine), s = median(service);
        std::printf("  %d thread(s): vipsthumbnail %.1f ms (its start %.1f ms left out), engine %.1f ms,"
                    " image service %.1f ms\n",
            threads, v * 1e3, start * 1e3, e * 1e3, s * 1e3);
        std::printf(
            "    ratio engine/vipsthumbnail %.2f, image service/vipsthumbnail %.2f (aim: at most 0.70)\n",
            e / v, s / v);
    }
}

} // namespace imageservicebench
