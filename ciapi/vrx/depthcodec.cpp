#include "ciapi/vrx/depthcodec.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <zstd.h>

namespace CIAPI::vrx {

std::vector<std::uint8_t> DepthCodec::pack(const DepthMap& m)
{
    const std::size_t n = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    if (m.width <= 0 || m.height <= 0 || m.depth.size() != n || !(m.nearDepth > 0.f)
        || !(m.farDepth > m.nearDepth))
        throw std::runtime_error("Invalid depth map");
    std::vector<std::uint8_t> plain(n * 2);
    const float invNear = 1.f / m.nearDepth;
    const float invFar = 1.f / m.farDepth;
    for (std::size_t i = 0; i < n; ++i) {
        const float depth = m.depth[i] > 1e-6f ? m.depth[i] : 1e-6f;
        float t = (1.f / depth - invFar) / (invNear - invFar);
        t = t < 0.f ? 0.f : (t > 1.f ? 1.f : t);
        const auto q = static_cast<std::uint16_t>(std::lround(t * 65535.f));
        plain[2 * i] = static_cast<std::uint8_t>(q & 0xff);
        plain[2 * i + 1] = static_cast<std::uint8_t>(q >> 8);
    }
    std::vector<std::uint8_t> packed(ZSTD_compressBound(plain.size()));
    const std::size_t size = ZSTD_compress(packed.data(), packed.size(), plain.data(), plain.size(), 3);
    if (ZSTD_isError(size))
        throw std::runtime_error("Depth map compression failed");
    packed.resize(size);
    return packed;
}

void DepthCodec::unpack(const std::uint8_t* data, std::size_t length, DepthMap& m)
{
    const std::size_t n = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    m.depth.resize(n);
    float* first = m.depth.data();
    unpack(
        data, length, m, [&](int y) { return first + static_cast<std::size_t>(y) * m.width; }, nullptr);
}

void DepthCodec::unpack(const std::uint8_t* data, std::size_t length, const DepthMap& m,
    const std::function<float*(int y)>& row,
    const std::function<void(int, const std::function<void(int)>&)>& parallel)
{
    const std::size_t n = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    if (ZSTD_getFrameContentSize(data, length) != n * 2)
        throw std::runtime_error("Depth map size mismatch");
    // Every byte is written by zstd (its size is checked below): no zero fill first. With
    // `parallel`, its pages are faulted in side by side first, rather than one after another by
    // the decompression, which is serial; the table below is made beside the decompression.
    const std::unique_ptr<std::uint8_t[]> plain(new std::uint8_t[n * 2]);
    const float invNear = 1.f / m.nearDepth;
    const float invFar = 1.f / m.farDepth;
    auto depthOf = [&](std::uint32_t q) {
        const float t = static_cast<float>(q) / 65535.f;
        const float v = 1.f / (invFar + t * (invNear - invFar));
        return v < m.nearDepth ? m.nearDepth : (v > m.farDepth ? m.farDepth : v);
    };
    // A map larger than the number of codes: each code's depth worked out once.
    std::vector<float> table;
    const auto makeTable = [&] {
        if (n > 65536) {
            table.resize(65536);
            for (std::uint32_t q = 0; q < 65536; ++q)
                table[q] = depthOf(q);
        }
    };
    std::size_t got = 0;
    if (parallel) {
        constexpr std::size_t kPage = 4096, kPart = std::size_t(1) << 20;
        parallel(static_cast<int>((n * 2 + kPart - 1) / kPart), [&](int i) {
            const std::size_t end = std::min(n * 2, (static_cast<std::size_t>(i) + 1) * kPart);
            for (std::size_t at = static_cast<std::size_t>(i) * kPart; at < end; at += kPage)
                plain[at] = 0;
        });
        parallel(2, [&](int i) {
            if (i == 0)
                got = ZSTD_decompress(plain.get(), n * 2, data, length);
            else
                makeTable();
        });
    } else {
        got = ZSTD_decompress(plain.get(), n * 2, data, length);
        makeTable();
    }
    if (ZSTD_isError(got) || got != n * 2)
        throw std::runtime_error("Depth map damaged");
    const auto rows = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const std::uint8_t* p = plain.get() + static_cast<std::size_t>(y) * m.width * 2;
            float* out = row(y);
            if (table.empty()) {
                for (int x = 0; x < m.width; ++x)
                    out[x] = depthOf(p[2 * x] | (p[2 * x + 1] << 8));
            } else {
                for (int x = 0; x < m.width; ++x)
                    out[x] = table[p[2 * x] | (p[2 * x + 1] << 8)];
            }
        }
    };
    // Strips of about 128k samples.
    const int strip = std::max(1, (1 << 17) / m.width);
    const int strips = (m.height + strip - 1) / strip;
    if (parallel && strips > 1)
        parallel(strips, [&](int i) { rows(i * strip, std::min(m.height, (i + 1) * strip)); });
    else
        rows(0, m.height);
}

} // namespace CIAPI::vrx
