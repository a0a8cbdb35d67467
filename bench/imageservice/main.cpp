// Image service throughput and latency, each figure against a reference measured in the
// same run:
// - files indexed per second, requestMetadata to the indexed announcement, first pass
//   and again, against the same engine calls run directly on as many threads (the first
//   pass also against a direct run that keeps every output, as the keepers do);
// - thumbnails per second through requestLoad against the same;
// - time to the first screenful of 40 thumbnails while the whole folder indexes
//   (median and 95th percentile over several rounds);
// - the longest stall of the GUI thread while the service works;
// - how long a step handed to a pool waits while every pool thread renders thumbnails:
//   the global pool against the editors' own recycle pool, and how long a step someone
//   waits for waits there against its own run time.
// - CPU time of a thumbnail drawn from raw against vipsthumbnail (thumbnailcpu.cpp);
// - how long an editor's render waits on the engine's own pool while thumbnails fill it,
//   against its own run time (enginepoolwait.cpp).
// Usage: bench_imageservice [files=2000] [rounds=7], or bench_imageservice cpu [pictures=12]
// [repeats=4] for the CPU comparison alone, or bench_imageservice pool [pictures=24]
// [copies=20] [rounds=8] for the editor's render alone. Data goes to a temporary folder.
#include "bench/imageservice/enginepoolwait.h"
#include "bench/imageservice/thumbnailcpu.h"
#include "bench/imageservice/waituntil.h"
#include "ciapi/rendererbase.h"
#include "ciapi/tuning.h"
#include "core/asynctask.h"
#include "engine/directstreamreader.h"
#include "engine/imagelocator.h"
#include "engine/streamsource.h"
#include "tools/vrxgen/generator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using imageservicebench::waitUntil;

// Counts outputs per file.
class Counter : public QObject, public ImageClient
{
public:
    QObject* object() override { return this; }
    void imageOutput(const VrxMessage&) override { ++outputs; }
    void fileInvalid(QUrl) override { ++outputs; }
    void routerDetached(ImageRouter*) override { }
    int outputs = 0;
};

// The longest gap between ticks of a 1 ms timer on the GUI thread.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setInterval(1);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            if (m_last > 0)
                m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
    }
    void start()
    {
        m_longest = 0;
        m_last = 0;
        m_clock.start();
        m_timer.start();
    }
    double stopMs()
    {
        m_timer.stop();
        return m_longest / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Outputs a reference run holds on to until it ends, as the service's keepers do.
struct KeptOutputs
{
    QMutex mutex;
    std::vector<CIAPI::ImagePyramid> pyramids;
};

// The task's engine calls for one file, without the service around them.
void directRead(const QUrl& url, bool metadata, int channelOrder, KeptOutputs* kept)
{
    auto source = std::make_shared<StreamSource>(url);
    DirectStreamReader reader;
    reader.setSource(source);
    reader.renderer().setProperty(
        CIAPI::IntParam::ChannelOrderBGRA, channelOrder == ImageLocator::kGlBgra ? 1 : 0);
    CIAPI::ApplyTuning(1, reader.renderer());
    if (metadata) {
        VrxMetadata record;
        record.resetFromFile(url);
        record.readRendererMetadata(reader.renderer());
    }
    const CIAPI::ImagePyramid pyramid = IndexTask::renderThumbnail(*source, channelOrder, 1);
    if (kept) {
        QMutexLocker lock(&kept->mutex);
        kept->pyramids.push_back(pyramid);
    }
}

double directRate(const QList<QUrl>& files, int threads, bool metadata, bool keep)
{
    KeptOutputs kept;
    std::atomic<int> next { 0 };
    QElapsedTimer t;
    t.start();
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&] {
            for (int k = next++; k < files.size(); k = next++)
                directRead(files[k], metadata, ImageLocator::kGlBgra, keep ? &kept : nullptr);
        });
    for (auto& th : pool)
        th.join();
    // Measured before the kept outputs are let go, as a folder's keepers live on.
    return files.size() / (t.nsecsElapsed() / 1e9);
}

double indexRate(ImageLocator& locator, const QList<QUrl>& files, double* stallMs)
{
    int indexed = 0;
    const auto c1 = QObject::connect(&locator, &ImageLocator::notifyFileIndexedSignal, [&] { ++indexed; });
    const auto c2 = QObject::connect(&locator, &ImageLocator::notifyFileInvalidSignal, [&] { ++indexed; });
    StallMeter stall;
    stall.start();
    QElapsedTimer t;
    t.start();
    for (const QUrl& url : files)
        locator.requestMetadata(url);
    waitUntil([&] { return indexed >= files.size(); });
    const double rate = files.size() / (t.nsecsElapsed() / 1e9);
    *stallMs = std::max(*stallMs, stall.stopMs());
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    return rate;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

double median(const std::vector<double>& v)
{
    return percentile(v, 0.5);
}

// Microseconds until a step handed to `pool` starts, while `busy` keeps every thread of
// the global pool rendering.
double postLatencyUs(QThreadPool* pool)
{
    QElapsedTimer t;
    std::atomic<qint64> started { -1 };
    t.start();
    (new AsyncTask([&] { started = t.nsecsElapsed(); }, true))->start(pool);
    while (started.load() < 0)
        QThread::usleep(100);
    return started.load() / 1e3;
}

struct StepTimes
{
    double waitUs;
    double runUs;
};

// A step someone waits for (a checksum over a picture-sized buffer) handed to `pool`: how
// long it waited to start and how long it then ran.
StepTimes userStep(QThreadPool* pool, const std::vector<quint32>& data)
{
    QElapsedTimer t;
    std::atomic<qint64> started { -1 };
    std::atomic<qint64> ended { -1 };
    std::atomic<quint32> sum { 0 };
    t.start();
    (new AsyncTask(
         [&] {
             started = t.nsecsElapsed();
             quint32 s = 0;
             for (quint32 v : data)
                 s = s * 31 + v;
             sum = s;
             ended = t.nsecsElapsed();
         },
         true))
        ->start(pool);
    while (ended.load() < 0)
        QThread::usleep(100);
    return { started.load() / 1e3, (ended.load() - started.load()) / 1e3 };
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}"));
    if (argc > 1 && std::strcmp(argv[1], "cpu") == 0) {
        QTemporaryDir dir;
        if (!dir.isValid())
            return 1;
        imageservicebench::thumbnailCpu(dir.path(), argc > 2 ? std::max(1, std::atoi(argv[2])) : 12,
            argc > 3 ? std::max(1, std::atoi(argv[3])) : 4);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "pool") == 0) {
        QTemporaryDir dir;
        if (!dir.isValid())
            return 1;
        imageservicebench::editorRenderWait(dir.path(), argc > 2 ? std::max(1, std::atoi(argv[2])) : 24,
            argc > 3 ? std::max(1, std::atoi(argv[3])) : 20, argc > 4 ? std::max(2, std::atoi(argv[4])) : 8);
        return 0;
    }
    const int count = argc > 1 ? std::max(40, std::atoi(argv[1])) : 2000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    const int threads = QThread::idealThreadCount();

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    // A few distinct pictures, copied under many names, in two sets: one for the service,
    // one for the reference, so neither reads what the other has just touched.
    std::vector<std::vector<std::uint8_t>> pictures;
    for (int i = 0; i < 16; ++i) {
        vrxgen::PictureOptions o;
        o.seed = std::uint32_t(1000 + i);
        o.frames = 1;
        o.orientation = i % 8;
        pictures.push_back(vrxgen::makePicture(o).vrx);
    }
    QList<QUrl> serviceFiles;
    QList<QUrl> referenceFiles;
    for (const char* set : { "service", "reference" }) {
        QDir().mkpath(dir.path() + "/" + set);
        for (int i = 0; i < count; ++i) {
            const QString path = dir.path() + QString("/%1/IMG_%2.vrx").arg(set).arg(i, 5, 10, QChar('0'));
            vrxgen::writeFile(QFile::encodeName(path).toStdString(), pictures[size_t(i) % pictures.size()]);
            (QString(set) == "service" ? serviceFiles : referenceFiles) << QUrl::fromLocalFile(path);
        }
    }
    std::printf("image service: %d files, %d threads, %d rounds\n", count, threads, rounds);

    // Each figure is the median over rounds, service and reference taking turns, so a
    // busy machine tilts one side less.
    double stallMs = 0;
    {
        std::vector<double> cold, coldRef, coldKept, warm, warmRef;
        for (int r = 0; r < rounds; ++r) {
            ImageLocator locator(threads, nullptr);
            cold.push_back(indexRate(locator, serviceFiles, &stallMs));
            coldRef.push_back(directRate(referenceFiles, threads, true, false));
            coldKept.push_back(directRate(referenceFiles, threads, true, true));
            warm.push_back(indexRate(locator, serviceFiles, &stallMs));
            warmRef.push_back(directRate(referenceFiles, threads, true, false));
        }
        std::printf("indexing, first pass: %.0f files/s vs direct %.0f files/s  ratio %.2f"
                    " (vs direct keeping every output as keepers do: %.2f)\n",
            median(cold), median(coldRef), median(cold) / median(coldRef), median(cold) / median(coldKept));
        std::printf("indexing, again:      %.0f files/s vs direct %.0f files/s  ratio %.2f\n", median(warm),
            median(warmRef), median(warm) / median(warmRef));
    }
    {
        std::vector<double> rates, refs;
        for (int r = 0; r < rounds; ++r) {
            ImageLocator locator(threads, nullptr);
            std::vector<std::unique_ptr<Counter>> cells;
            StallMeter stall;
            stall.start();
            QElapsedTimer t;
            t.start();
            for (const QUrl& url : serviceFiles) {
                cells.push_back(std::make_unique<Counter>());
                locator.requestLoad(url, cells.back().get());
            }
            waitUntil([&] {
                return std::all_of(cells.begin(), cells.end(), [](const auto& c) { return c->outputs > 0; });
            });
            rates.push_back(count / (t.nsecsElapsed() / 1e9));
            stallMs = std::max(stallMs, stall.stopMs());
            refs.push_back(directRate(referenceFiles, threads, false, false));
        }
        std::printf("thumbnails:           %.0f /s vs direct %.0f /s  ratio %.2f\n", median(rates),
            median(refs), median(rates) / median(refs));
    }
    {
        std::vector<double> firstScreen;
        std::vector<double> whole;
        for (int r = 0; r < rounds; ++r) {
            ImageLocator locator(threads, nullptr);
            int indexed = 0;
            QObject::connect(&locator, &ImageLocator::notifyFileIndexedSignal, [&] { ++indexed; });
            std::vector<std::unique_ptr<Counter>> screen;
            StallMeter stall;
            stall.start();
            QElapsedTimer t;
            t.start();
            for (const QUrl& url : serviceFiles)
                locator.requestMetadata(url);
            for (int i = 0; i < 40; ++i) {
                screen.push_back(std::make_unique<Counter>());
                locator.requestLoad(serviceFiles[i], screen.back().get());
            }
            waitUntil([&] {
                return std::all_of(
                    screen.begin(), screen.end(), [](const auto& c) { return c->outputs > 0; });
            });
            firstScreen.push_back(t.nsecsElapsed() / 1e6);
            waitUntil([&] { return indexed >= count; });
            whole.push_back(t.nsecsElapsed() / 1e6);
            stallMs = std::max(stallMs, stall.stopMs());
        }
        std::printf(
            "first 40 thumbnails while %d index: median %.1f ms, p95 %.1f ms (whole folder median %.0f ms,"
            " screen/whole %.3f)\n",
            count, percentile(firstScreen, 0.5), percentile(firstScreen, 0.95), percentile(whole, 0.5),
            percentile(firstScreen, 0.5) / percentile(whole, 0.5));
    }
    std::printf("longest GUI-thread stall: %.1f ms\n", stallMs);
    {
        // Steps posted while the service keeps the global pool busy.
        QThreadPool own;
        own.setMaxThreadCount(2);
        ImageLocator locator(threads, nullptr);
        int indexed = 0;
        QObject::connect(&locator, &ImageLocator::notifyFileIndexedSignal, [&] { ++indexed; });
        for (const QUrl& url : serviceFiles)
            locator.requestMetadata(url);
        std::vector<double> global;
        std::vector<double> separate;
        std::vector<double> userWait;
        std::vector<double> userRun;
        std::vector<quint32> picture(size_t(4) << 20);
        for (size_t i = 0; i < picture.size(); ++i)
            picture[i] = quint32(i * 2654435761u);
        for (int i = 0; i < 20 && indexed < count * 3 / 4; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents); // what arrived meanwhile
            const StepTimes step = userStep(QThreadPool::globalInstance(), picture);
            userWait.push_back(step.waitUs);
            userRun.push_back(step.runUs);
            global.push_back(postLatencyUs(QThreadPool::globalInstance()));
            separate.push_back(postLatencyUs(&own));
        }
        waitUntil([&] { return indexed >= count; });
        if (!userWait.empty())
            std::printf("user step on the global pool behind a full thumbnail load: waited median %.0f us"
                        " (max %.0f), ran median %.0f us  wait/run median %.3f, worst %.3f\n",
                percentile(userWait, 0.5), percentile(userWait, 1.0), percentile(userRun, 0.5),
                percentile(userWait, 0.5) / std::max(1.0, percentile(userRun, 0.5)),
                percentile(userWait, 1.0) / std::max(1.0, percentile(userRun, 0.5)));
        if (!global.empty())
            std::printf("recycle step start while thumbnails render: global pool median %.0f us (max %.0f),"
                        " own pool median %.0f us (max %.0f)  ratio %.1f\n",
                percentile(global, 0.5), percentile(global, 1.0), percentile(separate, 0.5),
                percentile(separate, 1.0),
                percentile(global, 0.5) / std::max(1.0, percentile(separate, 0.5)));
    }
    imageservicebench::editorRenderWait(dir.path() + "/pool", 24, 20, 4);
    imageservicebench::thumbnailCpu(dir.path() + "/cpu", 12, 4);
    return 0;
}
