#include "ciapi/vrx/depthcodec.h"

#include <cmath>
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
    if (ZSTD_getFrameContentSize(data, length) != n * 2)
        throw std::runtime_error("Depth map size mismatch");
    std::vector<std::uint8_t> plain(n * 2);
    const std::size_t got = ZSTD_decompress(plain.data(), plain.size(), data, length);
    if (ZSTD_isError(got) || got != plain.size())
        throw std::runtime_error("Depth map damaged");
    m.depth.resize(n);
    const float invNear = 1.f / m.nearDepth;
    const float invFar = 1.f / m.farDepth;
    auto depthOf = [&](std::uint32_t q) {
        const float t = static_cast<float>(q) / 65535.f;
        const float v = 1.f / (invFar + t * (invNear - invFar));
        return v < m.nearDepth ? m.nearDepth : (v > m.farDepth ? m.farDepth : v);
    };
    if (n <= 65536) {
        for (std::size_t i = 0; i < n; ++i)
            m.depth[i] = depthOf(plain[2 * i] | (plain[2 * i + 1] << 8));
        return;
    }
    // A map larger than the number of codes: each code's depth worked out once.
    std::vector<float> table(65536);
    for (std::uint32_t q = 0; q < 65536; ++q)
        table[q] = depthOf(q);
    for (std::size_t i = 0; i < n; ++i)
        m.depth[i] = table[plain[2 * i] | (plain[2 * i + 1] << 8)];
}

} // namespace CIAPI::vrx
