#include "ciapi/vrx/hotpixelrecord.h"

#include "ciapi/vrx/bytes.h"
#include "ciapi/vrx/crc32.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace CIAPI::vrx {

namespace {
constexpr char kMagic[4] = { 'Q', 'H', 'P', 'X' };
constexpr std::size_t kFixed = 4 + 2 + 2 + 16;
} // namespace

std::vector<std::uint8_t> HotPixelRecord::encode() const
{
    if (modules.size() > static_cast<std::size_t>(limits::kMaxModules))
        throw std::runtime_error("Too many modules in calibration record");
    ByteWriter w;
    w.tag(kMagic);
    w.u16(1);
    w.u16(static_cast<std::uint16_t>(modules.size()));
    for (std::uint32_t word : cameraUuid)
        w.u32(word);
    for (const auto& pixels : modules) {
        w.u32(static_cast<std::uint32_t>(pixels.size()));
        for (const PixelPos& p : pixels) {
            w.u16(p.x);
            w.u16(p.y);
        }
    }
    const std::uint32_t crc = crc32(w.bytes().data(), w.bytes().size());
    w.u32(crc);
    return w.take();
}

bool HotPixelRecord::looksLikeRecord(const std::uint8_t* data, std::size_t length)
{
    return data && length >= kFixed + 4 && std::memcmp(data, kMagic, 4) == 0;
}

HotPixelRecord HotPixelRecord::decode(const std::uint8_t* data, std::size_t length, std::size_t* consumed)
{
    if (!looksLikeRecord(data, length))
        throw std::runtime_error("Not a calibration record");
    ByteReader r(data, length, "calibration record");
    r.skip(4);
    if (r.u16() != 1)
        throw std::runtime_error("Unknown calibration record version");
    const std::uint16_t moduleCount = r.u16();
    if (moduleCount > limits::kMaxModules)
        throw std::runtime_error("Too many modules in calibration record");
    HotPixelRecord record;
    for (auto& word : record.cameraUuid)
        word = r.u32();
    record.modules.resize(moduleCount);
    for (auto& pixels : record.modules) {
        const std::uint32_t count = r.u32();
        if (count > r.remaining() / 4)
            throw std::runtime_error("Truncated calibration record");
        pixels.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            PixelPos p;
            p.x = r.u16();
            p.y = r.u16();
            pixels.push_back(p);
        }
    }
    const std::size_t body = r.pos();
    const std::uint32_t crc = r.u32();
    if (crc != crc32(data, body))
        throw std::runtime_error("Calibration record checksum mismatch");
    if (consumed)
        *consumed = r.pos();
    return record;
}

void repairHotPixels(
    std::vector<std::uint16_t>& samples, int width, int height, const std::vector<PixelPos>& pixels)
{
    if (width <= 0 || height <= 0 || samples.size() != static_cast<std::size_t>(width) * height)
        return;
    const std::set<PixelPos> listed(pixels.begin(), pixels.end());
    for (const PixelPos& p : pixels) {
        if (p.x >= width || p.y >= height)
            continue;
        std::uint16_t values[4];
        int n = 0;
        const int offsets[4][2] = { { -2, 0 }, { 2, 0 }, { 0, -2 }, { 0, 2 } };
        for (const auto& o : offsets) {
            const int x = p.x + o[0];
            const int y = p.y + o[1];
            if (x < 0 || y < 0 || x >= width || y >= height)
                continue;
            if (listed.count(PixelPos { static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y) }))
                continue;
            values[n++] = samples[static_cast<std::size_t>(y) * width + x];
        }
        if (n == 0)
            continue;
        // Insertion sort of at most four values (std::sort here trips a false array-bounds warning).
        for (int i = 1; i < n; ++i)
            for (int j = i; j > 0 && values[j - 1] > values[j]; --j)
                std::swap(values[j - 1], values[j]);
        const std::uint16_t v = (n % 2)
            ? values[n / 2]
            : static_cast<std::uint16_t>((values[n / 2 - 1] + values[n / 2] + 1) / 2);
        samples[static_cast<std::size_t>(p.y) * width + p.x] = v;
    }
}

} // namespace CIAPI::vrx
