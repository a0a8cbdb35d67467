// Engine data side throughput, each figure against a reference measured in the same run:
// thumbnails through DirectRenderer vs plain libjpeg-turbo decoding at the same scale,
// compression vs the zstd library at the same level, state saves and loads vs writing and
// reading the same bytes.
#include "ciapi/ciapi.h"
#include "ciapi/codec/jpegcodec.h"
#include "ciapi/qzcompress.h"
#include "ciapi/state/statecodec.h"
#include "tools/vrxgen/generator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <turbojpeg.h>
#include <zstd.h>

using namespace CIAPI;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F> double perSecond(int iterations, F&& f)
{
    const auto start = Clock::now();
    for (int i = 0; i < iterations; ++i)
        f(i);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return iterations / s;
}

volatile std::uint64_t g_sink = 0;

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;

    // Thumbnails.
    std::vector<vrxgen::Picture> pictures;
    for (std::uint32_t i = 0; i < 6; ++i) {
        vrxgen::PictureOptions o;
        o.seed = 100 + i;
        o.moduleWidth = 256;
        o.moduleHeight = 192;
        o.previewLongSide = 1152;
        pictures.push_back(vrxgen::makePicture(o));
    }
    auto renderer = DirectRenderer::Create(4);
    const double direct = perSecond(rounds * 6, [&](int i) {
        const auto& pic = pictures[static_cast<std::size_t>(i % 6)];
        renderer->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        Image img = Image::Create(renderer->width(), renderer->height());
        renderer->render(img);
        g_sink += img.data()[0];
    });
    tjhandle h = tjInitDecompress();
    std::vector<std::uint8_t> out(1152 * 864 * 4);
    const double plain = perSecond(rounds * 6, [&](int i) {
        const auto& jpeg = pictures[static_cast<std::size_t>(i % 6)].previewJpeg;
        int w = 0, hh = 0, ss = 0, cs = 0;
        tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &hh, &ss, &cs);
        int num = 1, den = 1;
        codec::JpegCodec::chooseScale({ w, hh }, 384, &num, &den);
        const auto s = codec::JpegCodec::scaledSize({ w, hh }, num, den);
        tjDecompress2(h, jpeg.data(), jpeg.size(), out.data(), s.width, s.width * 4, s.height, TJPF_RGBA,
            TJFLAG_FASTDCT);
        g_sink += out[0];
    });
    tjDestroy(h);
    std::printf(
        "thumbnails/s: DirectRenderer %.0f, plain decode %.0f, ratio %.2f\n", direct, plain, direct / plain);

    // Compression.
    vrxgen::PictureOptions big;
    big.seed = 7;
    big.moduleWidth = 1040;
    big.moduleHeight = 780;
    big.modules = 2;
    big.frames = 2;
    const auto pic = vrxgen::makePicture(big);
    const double mb = static_cast<double>(pic.vrx.size()) / (1024.0 * 1024.0);
    const int level = 3;
    const int crounds = std::max(2, rounds / 8);
    const double ours = perSecond(crounds, [&](int) {
        auto in = std::make_shared<std::istringstream>(std::string(pic.vrx.begin(), pic.vrx.end()));
        auto sink = std::make_shared<std::stringstream>();
        qzCompress::CompressVRX(in, sink, level, 1, 0);
        g_sink += sink->str().size();
    });
    std::vector<std::uint8_t> dst(ZSTD_compressBound(pic.vrx.size()));
    const double lib = perSecond(crounds,
        [&](int) { g_sink += ZSTD_compress(dst.data(), dst.size(), pic.vrx.data(), pic.vrx.size(), level); });
    std::printf("compression MB/s (zstd level %d, one thread): CompressVRX %.1f, zstd %.1f, ratio %.2f\n",
        level, ours * mb, lib * mb, ours / lib);

    // State saves and loads.
    state::EngineState s;
    s.imageId = pic.meta.imageUuid;
    s.rating = 3;
    s.tuneFloats = std::map<int, float> { { 2, 0.5f }, { 3, 5000.f } };
    s.depthOfField = 4.f;
    s.focusDepth = 2.f;
    state::DepthState d;
    d.type = 2;
    d.map.width = 1040;
    d.map.height = 780;
    d.map.depth.assign(1040 * 780, 2.f);
    for (std::size_t i = 0; i < d.map.depth.size(); ++i)
        d.map.depth[i] = 1.f + static_cast<float>(i % 1040) / 100.f;
    s.depth = d;
    s.thumbnailJpeg = pictures[0].previewJpeg;
    const std::string path = "/tmp/ostra-bench-state.vrxs";
    const double saves = perSecond(rounds, [&](int) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        state::StateCodec::write(f, s);
    });
    const double loads = perSecond(rounds, [&](int) {
        std::ifstream f(path, std::ios::binary);
        g_sink += static_cast<std::uint64_t>(state::StateCodec::read(f).segments);
    });
    const auto bytes = state::StateCodec::write(s);
    const double rawWrites = perSecond(rounds, [&](int) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    });
    const double rawReads = perSecond(rounds, [&](int) {
        std::ifstream f(path, std::ios::binary);
        std::vector<char> buf(bytes.size());
        f.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        g_sink += static_cast<std::uint64_t>(buf[0]);
    });
    std::remove(path.c_str());
    std::printf("state (%zu bytes) saves/s %.0f (plain write %.0f, ratio %.2f); loads/s %.0f (plain read "
                "%.0f, ratio %.2f)\n",
        bytes.size(), saves, rawWrites, saves / rawWrites, loads, rawReads, loads / rawReads);
    return g_sink == 42 ? 1 : 0;
}
