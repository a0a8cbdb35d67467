#include "tools/vrxgen/generator.h"

#include "ciapi/codec/jpegcodec.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/vrxwriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>

namespace vrxgen {

using namespace CIAPI;

const char* const kIncompatibilityMarker = "5f0c9e2a7b3d41e68a9c0d2f4b6e8a1c";

namespace {

struct Rng
{
    std::uint64_t s;
    explicit Rng(std::uint64_t seed)
        : s(seed * 0x9E3779B97F4A7C15ull + 0xD1B54A32D192ED03ull)
    { }
    std::uint64_t next()
    {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ull;
    }
    float uniform() { return static_cast<float>(next() >> 40) / static_cast<float>(1ull << 24); }
    // Approximately normal (sum of four uniforms), mean 0, deviation 1.
    float normal() { return (uniform() + uniform() + uniform() + uniform() - 2.f) * 1.7320508f; }
};

std::uint8_t srgb8(float linear)
{
    linear = std::clamp(linear, 0.f, 1.f);
    const float s = linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1.f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::lround(s * 255.f));
}

std::string hexWords(const std::uint8_t bytes[16])
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

} // namespace

vrx::UuidWords cameraUuidWords(std::uint32_t cameraSeed)
{
    Rng r(cameraSeed + 0x51);
    vrx::UuidWords w;
    for (auto& v : w)
        v = static_cast<std::uint32_t>(r.next());
    return w;
}

vrx::UuidWords imageUuidWords(std::uint32_t seed)
{
    Rng r(seed + 0x1234567);
    vrx::UuidWords w;
    for (auto& v : w)
        v = static_cast<std::uint32_t>(r.next());
    // Version 4, variant 1 in the big-endian byte order of the words.
    w[1] = (w[1] & 0xffff0fffu) | 0x00004000u;
    w[2] = (w[2] & 0x3fffffffu) | 0x80000000u;
    return w;
}

std::string cameraUuidText(const vrx::UuidWords& w)
{
    // Two little-endian 64-bit words (w0 | w1 << 32, w2 | w3 << 32), each written big-endian.
    const std::uint64_t high = w[0] | (static_cast<std::uint64_t>(w[1]) << 32);
    const std::uint64_t low = w[2] | (static_cast<std::uint64_t>(w[3]) << 32);
    std::uint8_t b[16];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
        b[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    return hexWords(b);
}

std::string imageUuidText(const vrx::UuidWords& w)
{
    std::uint8_t b[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            b[4 * i + j] = static_cast<std::uint8_t>(w[static_cast<std::size_t>(i)] >> (24 - 8 * j));
    return hexWords(b);
}

Picture makePicture(const PictureOptions& o)
{
    if (o.moduleWidth < 16 || o.moduleHeight < 16 || (o.moduleWidth & 1) || (o.moduleHeight & 1))
        throw std::invalid_argument("Module size must be even and at least 16");
    if (o.modules < 1 || o.modules > 16 || o.frames < 1 || o.frames > 16)
        throw std::invalid_argument("Module or frame count out of range");
    Picture pic;
    pic.scene = Scene::make(o.seed);

    vrx::Metadata& m = pic.meta;
    m.cameraUuid = cameraUuidWords(o.cameraSeed);
    m.imageUuid = imageUuidWords(o.seed);
    m.captureTime = o.captureTime ? o.captureTime : 1700000000ll + static_cast<std::int64_t>(o.seed) * 3607;
    m.utcOffsetMinutes = o.utcOffsetMinutes;
    m.focalLength = o.focalLength;
    m.iso = o.iso;
    m.exposureTimeMs = 8.f;
    m.evOffset = 0.f;
    m.orientation = o.orientation;
    m.aspectMode = o.aspectMode;
    m.moduleCount = o.modules;
    m.frameCount = o.frames;
    m.wbTemperature = 5200.f;
    m.wbTint = 4.f;
    m.referenceModule = 0;

    vrx::VrxWriter writer(o.majorVersion, 0, o.compressed ? 1u : 0u);
    writer.addMetadata(m);

    const float scale = static_cast<float>(o.moduleWidth) / 256.f;
    for (int i = 0; i < o.modules; ++i) {
        vrx::ModuleInfo mod;
        mod.index = i;
        mod.width = o.moduleWidth;
        mod.height = o.moduleHeight;
        mod.cfa = o.cfa;
        mod.blackLevel = 256;
        mod.whiteLevel = 16383;
        mod.gains = { { 2.0f, 1.0f, 1.6f } };
        const float angle = 6.2831853f * static_cast<float>(i) / static_cast<float>(std::max(1, o.modules));
        const float radius = i == 0 ? 0.f : 6.f * scale;
        mod.baselineX = radius * std::cos(angle);
        mod.baselineY = radius * std::sin(angle);
        pic.modules.push_back(mod);
        writer.addModule(mod);
    }

    // Hot pixels: apart from each other and from the edges, so their neighbours are sound.
    Rng hotRng(o.seed * 31 + o.cameraSeed * 7 + 5);
    pic.hotPixels.resize(static_cast<std::size_t>(o.modules));
    for (int i = 0; i < o.modules; ++i) {
        std::set<vrx::PixelPos> chosen;
        int guard = 0;
        while (static_cast<int>(chosen.size()) < o.hotPixelsPerModule && guard++ < 100000) {
            const auto x = static_cast<std::uint16_t>(
                4 + hotRng.next() % static_cast<std::uint64_t>(o.moduleWidth - 8));
            const auto y = static_cast<std::uint16_t>(
                4 + hotRng.next() % static_cast<std::uint64_t>(o.moduleHeight - 8));
            bool near = false;
            for (const auto& p : chosen)
                if (std::abs(p.x - x) < 5 && std::abs(p.y - y) < 5)
                    near = true;
            if (!near)
                chosen.insert(vrx::PixelPos { x, y });
        }
        pic.hotPixels[static_cast<std::size_t>(i)].assign(chosen.begin(), chosen.end());
    }

    // Frames.
    const float w = static_cast<float>(o.moduleWidth);
    const float h = static_cast<float>(o.moduleHeight);
    for (int i = 0; i < o.modules; ++i) {
        const vrx::ModuleInfo& mod = pic.modules[static_cast<std::size_t>(i)];
        const float range = static_cast<float>(mod.whiteLevel - mod.blackLevel);
        // The clean mosaic once, noise per frame.
        std::vector<float> clean(static_cast<std::size_t>(o.moduleWidth) * o.moduleHeight);
        for (int y = 0; y < o.moduleHeight; ++y) {
            for (int x = 0; x < o.moduleWidth; ++x) {
                std::array<float, 3> rgb;
                pic.scene.sample(
                    (x + 0.5f) / w, (y + 0.5f) / h, mod.baselineX / w, mod.baselineY / h, &rgb, nullptr);
                const int c = vrx::cfaColor(vrx::isKnownCfa(mod.cfa) ? mod.cfa : 0, x, y);
                clean[static_cast<std::size_t>(y) * o.moduleWidth + x]
                    = 0.8f * rgb[static_cast<std::size_t>(c)] / mod.gains[static_cast<std::size_t>(c)];
            }
        }
        for (int f = 0; f < o.frames; ++f) {
            Rng noise(
                o.seed * 1000003ull + static_cast<std::uint64_t>(i) * 101 + static_cast<std::uint64_t>(f));
            std::vector<std::uint16_t> samples(clean.size());
            for (std::size_t k = 0; k < clean.size(); ++k) {
                const float v
                    = static_cast<float>(mod.blackLevel) + (clean[k] + o.noise * noise.normal()) * range;
                samples[k] = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0l, 65535l));
            }
            for (const auto& p : pic.hotPixels[static_cast<std::size_t>(i)])
                samples[static_cast<std::size_t>(p.y) * o.moduleWidth + p.x]
                    = static_cast<std::uint16_t>(mod.whiteLevel);
            writer.addFrame(mod, f, samples, o.compressed ? vrx::RawDeltaZstd : vrx::RawPlain, 3);
        }
    }

    if (o.depthMap) {
        vrx::DepthMap d;
        d.width = o.moduleWidth;
        d.height = o.moduleHeight;
        d.nearDepth = 0.5f;
        d.farDepth = 20.f;
        d.depth.resize(static_cast<std::size_t>(d.width) * d.height);
        for (int y = 0; y < d.height; ++y)
            for (int x = 0; x < d.width; ++x)
                pic.scene.sample((x + 0.5f) / w, (y + 0.5f) / h, 0.f, 0.f, nullptr,
                    &d.depth[static_cast<std::size_t>(y) * d.width + x]);
        writer.addDepthMap(d);
    }

    if (o.preview) {
        const int longSide = o.previewLongSide > 0 ? o.previewLongSide : std::min(1152, o.moduleWidth);
        const int pw = longSide;
        const int ph = std::max(
            1, static_cast<int>(std::lround(static_cast<double>(longSide) * o.moduleHeight / o.moduleWidth)));
        std::vector<std::uint8_t> rgba(static_cast<std::size_t>(pw) * ph * 4);
        for (int y = 0; y < ph; ++y) {
            for (int x = 0; x < pw; ++x) {
                std::array<float, 3> rgb;
                pic.scene.sample((x + 0.5f) / pw, (y + 0.5f) / ph, 0.f, 0.f, &rgb, nullptr);
                std::uint8_t* px = &rgba[(static_cast<std::size_t>(y) * pw + x) * 4];
                px[0] = srgb8(0.8f * rgb[0]);
                px[1] = srgb8(0.8f * rgb[1]);
                px[2] = srgb8(0.8f * rgb[2]);
                px[3] = 255;
            }
        }
        pic.previewJpeg = codec::JpegCodec::encode(rgba.data(), pw, ph, pw * 4, false, 88);
        writer.addPreview(pw, ph, pic.previewJpeg);
    }

    pic.vrx = writer.finish();
    if (o.hotPixelsPerModule > 0) {
        vrx::HotPixelRecord rec;
        rec.cameraUuid = m.cameraUuid;
        rec.modules = pic.hotPixels;
        pic.calibration = rec.encode();
    }
    return pic;
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace vrxgen
