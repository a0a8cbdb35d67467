// Level-0 rendering against memcpy of the same bytes, at one thread and all cores, and
// export against plain libjpeg-turbo encoding of the same pixels. Prints ratios.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include <turbojpeg.h>

#include "ciapi/ciapi.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/renderer.h"
#include "ciapi/tuning.h"
#include "tools/vrxgen/generator.h"

using namespace CIAPI;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F> double bestSeconds(int runs, F&& f)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

double memcpySeconds(size_t bytes, int threads)
{
    std::vector<uint8_t> a(bytes, 1), b(bytes);
    const size_t chunk = (bytes + threads - 1) / threads;
    return bestSeconds(5, [&] {
        render::WorkerPool::instance().parallelFor(threads, [&](int i) {
            const size_t at = size_t(i) * chunk;
            if (at < bytes)
                std::memcpy(b.data() + at, a.data() + at, std::min(chunk, bytes - at));
        });
    });
}

} // namespace

int main()
{
    vrxgen::PictureOptions o;
    o.focalLength = 150; // level 0: 4160 x 3120
    o.moduleWidth = 2080;
    o.moduleHeight = 1560;
    o.frames = 1;
    const vrxgen::Picture pic = vrxgen::makePicture(o);
    const int hw = render::WorkerPool::instance().threadCount();
    std::printf("level 0 4160 x 3120, %d hardware threads\n", hw);

    for (int threads : { 1, hw }) {
        StaticShutdown();
        render::WorkerPool::instance().setThreadLimit(threads);
        auto r = Renderer::Create(3);
        r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        ApplyTuning(0, *r);
        r->setProperty(FloatParam::Sharpening, 0.f);
        r->setProperty(IntParam::EagerDepth, 1);
        ImagePyramid p = r->outputBuffer();
        const ROI all { 0, 0, p[0].width(), p[0].height() };
        const double mp = double(all.width()) * all.height() / 1e6;
        // Tuning only: depth of field fully closed, so no refocus.
        r->setProperty(FloatParam::DepthOfField, 15.2f);
        r->render(0, all, 1, true); // develops level 0 once
        float ev = 0.f;
        // The best of many short runs: on a shared machine it shows what the code can do rather
        // than how busy the other cores were.
        const double tune = bestSeconds(9, [&] {
            r->setProperty(FloatParam::Exposure, ev += 0.01f);
            r->render(0, all, 1, true);
        });
        r->setProperty(FloatParam::DepthOfField, 2.8f);
        const double refocus = bestSeconds(2, [&] {
            r->setProperty(FloatParam::Exposure, ev += 0.01f);
            r->render(0, all, 1, true);
        });
        const double copy = memcpySeconds(size_t(all.width()) * all.height() * 4, threads);
        std::printf("%2d thread(s): tuning-only %.1f MP/s, refocus %.1f MP/s, memcpy %.1f MP/s; "
                    "memcpy/tuning %.2fx, memcpy/refocus %.2fx\n",
            threads, mp / tune, mp / refocus, mp / copy, tune / copy, refocus / copy);
        static double tuneOne = 0;
        if (threads == 1)
            tuneOne = tune;
        else
            std::printf("scaling: %.0f%% of %d cores\n", 100.0 * tuneOne / tune / threads, threads);
    }
    StaticShutdown();
    render::WorkerPool::instance().setThreadLimit(0);

    // Export of 2080 x 1560 as JPEG vs libjpeg-turbo encoding of the same number of pixels.
    auto r = Renderer::Create(0);
    r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
    ApplyTuning(0, *r);
    r->setProperty(IntParam::ExportColorSpace, 4);
    const Point<int> size { 2080, 1560 };
    const double mp = size.x * size.y / 1e6;
    auto out = std::make_shared<std::ostringstream>();
    r->writeImage(out, size, ExportJPEG, nullptr); // warm the caches
    const double exportS = bestSeconds(3, [&] {
        auto s = std::make_shared<std::ostringstream>();
        r->writeImage(s, size, ExportJPEG, nullptr);
    });
    std::vector<uint8_t> rgb(size_t(size.x) * size.y * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(i * 7 % 251);
    tjhandle tj = tjInitCompress();
    const double jpegS = bestSeconds(3, [&] {
        unsigned char* buf = nullptr;
        unsigned long n = 0;
        tjCompress2(tj, rgb.data(), size.x, 0, size.y, TJPF_RGB, &buf, &n, TJSAMP_420, 88, 0);
        tjFree(buf);
    });
    tjDestroy(tj);
    std::printf("export JPEG %.1f MP/s, plain libjpeg-turbo %.1f MP/s; export/plain time %.2fx\n",
        mp / exportS, mp / jpegS, exportS / jpegS);
    StaticShutdown();
    return 0;
}
