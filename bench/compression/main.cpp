// In-place compression of generated raw files against the zstd library at the same level
// on the same bytes, in the same run: MB/s of raw input and output size over input size.
//   bench_compression [files=20] [level=98] [passes=3]
#include "ciapi/bytesource.h"
#include "ciapi/qzcompress.h"
#include "ciapi/vrx/rawcodec.h"
#include "ciapi/vrx/vrximage.h"
#include "tools/vrxgen/generator.h"

#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

struct Figures
{
    double seconds = 0;
    double outBytes = 0;
};

// The best of `passes` passes over all files.
template <typename F> Figures measure(const std::vector<std::string>& files, int passes, F&& compressOne)
{
    Figures best;
    for (int pass = 0; pass < passes; ++pass) {
        Figures f;
        const auto start = Clock::now();
        for (const std::string& bytes : files)
            f.outBytes += double(compressOne(bytes));
        f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (pass == 0 || f.seconds < best.seconds)
            best = f;
    }
    return best;
}

std::size_t viaCompressor(const std::string& bytes, int level, int threads, int verify)
{
    auto in = std::make_shared<std::istringstream>(bytes);
    auto out = std::make_shared<std::stringstream>();
    if (qzCompress::CompressVRX(in, out, level, threads, verify) != qzCompress::CompressionSuccess)
        std::abort();
    return std::size_t(out->tellp());
}

volatile std::size_t g_sink = 0;

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 20;
    const int level = argc > 2 ? std::atoi(argv[2]) : 98;
    const int passes = std::max(1, argc > 3 ? std::atoi(argv[3]) : 3);
    // The compressor reads large levels as a share of its strongest practical level.
    const int zstdLevel = level <= 22 ? level : std::min(19, 1 + std::min(level, 100) * 8 / 100);

    std::vector<std::string> files;
    double inBytes = 0;
    for (int i = 0; i < count; ++i) {
        vrxgen::PictureOptions o;
        o.seed = std::uint32_t(500 + i);
        o.moduleWidth = 1040;
        o.moduleHeight = 780;
        o.modules = 2;
        o.frames = 2;
        const vrxgen::Picture p = vrxgen::makePicture(o);
        files.emplace_back(p.vrx.begin(), p.vrx.end());
        inBytes += double(p.vrx.size());
    }
    const double mb = inBytes / (1024.0 * 1024.0);

    std::vector<char> dst(ZSTD_compressBound(files.front().size()) * 2);
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    const Figures lib = measure(files, passes, [&](const std::string& bytes) {
        dst.resize(std::max(dst.size(), ZSTD_compressBound(bytes.size())));
        return ZSTD_compressCCtx(cctx, dst.data(), dst.size(), bytes.data(), bytes.size(), zstdLevel);
    });
    ZSTD_freeCCtx(cctx);
    const Figures one
        = measure(files, passes, [&](const std::string& b) { return viaCompressor(b, level, 1, 0); });
    const Figures job
        = measure(files, passes, [&](const std::string& b) { return viaCompressor(b, level, 0, 1); });

    std::printf("compression of %d files, %.1f MB, level %d (zstd %d)\n", count, mb, level, zstdLevel);
    std::printf("zstd library, one thread:          %7.1f MB/s, size ratio %.3f\n", mb / lib.seconds,
        lib.outBytes / inBytes);
    std::printf("CompressVRX, one thread, no check: %7.1f MB/s, size ratio %.3f, speed vs zstd %.2f\n",
        mb / one.seconds, one.outBytes / inBytes, lib.seconds / one.seconds);
    std::printf("CompressVRX as the job runs it:    %7.1f MB/s, size ratio %.3f, speed vs zstd %.2f\n",
        mb / job.seconds, job.outBytes / inBytes, lib.seconds / job.seconds);

    // Where the compressor's time goes, on one thread: reading and checking the input
    // (container, CRCs, samples), the residual transform with zstd on it, zstd alone on
    // the same samples, and the rest (chunk copies, output CRCs, the container).
    double readSeconds = 0, packSeconds = 0, zstdSeconds = 0;
    ZSTD_CCtx* frames = ZSTD_createCCtx();
    for (const std::string& bytes : files) {
        auto start = Clock::now();
        auto image = CIAPI::vrx::VrxImage::open(
            CIAPI::ByteSource::fromStream(std::make_shared<std::istringstream>(bytes)));
        std::vector<std::vector<std::uint16_t>> samples;
        for (const auto& m : image->modules())
            for (int f = 0; f < image->framesOf(m.index); ++f)
                samples.push_back(image->decodeFrame(m.index, f));
        readSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        start = Clock::now();
        std::size_t k = 0;
        for (const auto& m : image->modules())
            for (int f = 0; f < image->framesOf(m.index); ++f, ++k)
                g_sink += CIAPI::vrx::RawCodec::encode(samples[k], m.width, m.height, zstdLevel).size();
        packSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        start = Clock::now();
        for (const auto& frame : samples)
            g_sink += ZSTD_compressCCtx(
                frames, dst.data(), dst.size(), frame.data(), frame.size() * 2, zstdLevel);
        zstdSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    ZSTD_freeCCtx(frames);
    const double total = one.seconds;
    std::printf(
        "CompressVRX time: input read and checked %.0f%%, transform and zstd %.0f%% (zstd alone on the "
        "same samples %.0f%%), container and copies %.0f%%\n",
        100 * readSeconds / total, 100 * packSeconds / total, 100 * zstdSeconds / total,
        100 * std::max(0.0, total - readSeconds - packSeconds) / total);
    return 0;
}
