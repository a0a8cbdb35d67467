// Reading time grows linearly with the input: state streams with ever more appended rating
// records behind a depth map, and pictures with ever more frames. Each input doubles the one
// before; the figure is its reading time as a ratio to that of the one before, measured in the
// same run: at most 2 for a linear reader (less while a fixed cost dominates), 4 for a
// quadratic one. Last, crafted pictures whose compressed zeros claim frames of 8192 x 8192
// (far more samples than the camera writes): refused when opened, in time linear in the file.
#include "ciapi/ciapi.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/vrx/bytes.h"
#include "ciapi/vrx/vrxwriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

using namespace CIAPI;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::uint64_t g_sink = 0;

template <typename F> double seconds(int rounds, F&& f)
{
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        f();
    return std::chrono::duration<double>(Clock::now() - start).count() / rounds;
}

std::vector<std::uint8_t> stateWithRatings(int records)
{
    state::EngineState s;
    state::DepthState d;
    d.type = 2;
    d.map.width = 1024;
    d.map.height = 768;
    d.map.depth.assign(std::size_t(1024) * 768, 2.f);
    s.depth = d;
    auto bytes = state::StateCodec::write(s);
    for (int i = 0; i < records; ++i) {
        state::EngineState r;
        r.rating = i % 6;
        const auto rec = state::StateCodec::write(r);
        bytes.insert(bytes.end(), rec.begin(), rec.end());
    }
    return bytes;
}

std::vector<std::uint8_t> pictureWithFrames(int frames)
{
    vrx::Metadata meta;
    meta.moduleCount = 1;
    meta.frameCount = frames;
    vrx::ModuleInfo m;
    m.width = 1024;
    m.height = 768;
    m.whiteLevel = 1023;
    vrx::VrxWriter w;
    w.addMetadata(meta);
    w.addModule(m);
    std::vector<std::uint16_t> samples(std::size_t(m.width) * m.height);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = std::uint16_t(64 + i % 512);
    for (int f = 0; f < frames; ++f)
        w.addFrame(m, f, samples, vrx::RawDeltaZstd, 1);
    return w.finish();
}

// A zstd frame of `size` zero bytes in a few bytes per 128 KiB block.
std::vector<std::uint8_t> zstdZeros(std::uint64_t size)
{
    vrx::ByteWriter w;
    w.u32(0xFD2FB528u);
    w.u8(0xE0); // 8-byte content size, single segment
    w.u64(size);
    for (std::uint64_t left = size; left > 0;) {
        const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(left, 128 * 1024));
        left -= n;
        // A three-byte run-length block header, then the byte 0.
        w.u32((left == 0 ? 1u : 0u) | (1u << 1) | (n << 3));
    }
    return w.take();
}

std::vector<std::uint8_t> craftedZeros(int side, int frames)
{
    vrx::Metadata meta;
    meta.moduleCount = 1;
    meta.frameCount = frames;
    vrx::ModuleInfo m;
    m.width = m.height = side;
    m.whiteLevel = 1023;
    vrx::VrxWriter w;
    w.addMetadata(meta);
    w.addModule(m);
    const std::uint64_t plain = std::uint64_t(side) * side * 2;
    const auto zeros = zstdZeros(plain);
    for (int f = 0; f < frames; ++f) {
        vrx::ByteWriter p;
        for (std::int32_t v : { 0, f, side, side, int(vrx::RawDeltaZstd), 0 })
            p.i32(v);
        p.u64(plain);
        p.raw(zeros.data(), zeros.size());
        w.addChunk("RAW ", std::uint32_t(f), p.take());
    }
    return w.finish();
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    auto readState = [&](const std::vector<std::uint8_t>& bytes) {
        return seconds(rounds, [&] {
            std::istringstream in(std::string(bytes.begin(), bytes.end()));
            g_sink += std::uint64_t(StateFileEditor(in).userRating());
        });
    };
    readState(stateWithRatings(1)); // warm-up
    double before = 0;
    for (int records : { 2000, 4000, 8000, 16000, 32000 }) {
        const auto bytes = stateWithRatings(records);
        const double t = readState(bytes);
        std::printf("state, %5d rating records after a depth map (%zu bytes): %.2f ms, ratio to half as many "
                    "%.2f\n",
            records, bytes.size(), t * 1e3, before > 0 ? t / before : 0.);
        before = t;
    }

    before = 0;
    for (int frames : { 4, 8, 16, 32, 64 }) {
        const auto bytes = pictureWithFrames(frames);
        const double t = seconds(rounds, [&] {
            auto renderer = Renderer::Create(0);
            renderer->setInputDataStream(bytes.data(), bytes.size());
            ImagePyramid out = renderer->outputBuffer();
            const int level = ImagePyramid::LevelCountFor(out[0].width(), out[0].height()) - 1;
            renderer->render(level, ROI { 0, 0, 1 << 20, 1 << 20 }, 0, true);
            g_sink += out[level].data()[0];
        });
        std::printf(
            "picture open and coarsest level, %2d frames of 1024 x 768: %.1f ms, ratio to half as many "
            "%.2f\n",
            frames, t * 1e3, before > 0 ? t / before : 0.);
        before = t;
    }
    before = 0;
    for (int frames : { 4, 8, 16, 32, 64 }) {
        const auto bytes = craftedZeros(8192, frames);
        int refused = 0;
        const double t = seconds(rounds, [&] {
            try {
                auto renderer = Renderer::Create(0);
                renderer->setInputDataStream(bytes.data(), bytes.size());
                ImagePyramid out = renderer->outputBuffer();
                renderer->render(0, ROI { 0, 0, 1, 1 }, 0, true);
                g_sink += out[0].data()[0];
            } catch (const std::runtime_error&) {
                ++refused;
            }
        });
        std::printf(
            "crafted picture, %2d frames of 8192 x 8192 zeros (%zu bytes): %s in %.2f ms, ratio to half "
            "as many %.2f\n",
            frames, bytes.size(), refused ? "refused" : "opened", t * 1e3, before > 0 ? t / before : 0.);
        before = t;
    }
    return g_sink == 42 ? 1 : 0;
}
