#pragma once

// Reference pictures of the rendering tests, kept as JPEG files written by the engine's own
// encoder. A render is encoded the same way before it is compared, so an unchanged render
// compares equal; the tolerant comparison lets rounding differences between machines and a
// handful of odd pixels pass, but not a colour shifted by a few steps or a changed region.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ciapi/codec/jpegcodec.h"
#include "exportreadback.h"

namespace enginetest {

// RGBA rows (as the renderer delivers them) as the reference file's bytes.
inline std::vector<uint8_t> goldenBytes(const std::vector<uint8_t>& rgba, int width, int height)
{
    return CIAPI::codec::JpegCodec::encode(rgba.data(), width, height, width * 4, false, 95);
}

inline std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

inline bool writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out.flush());
}

// Empty when `actual` lies within the tolerance of `expected` (each channel's mean absolute
// difference at most 0.6 of an 8-bit step, at most 0.1% of the pixels off by more than 24
// steps in a channel); else what differs.
inline std::string goldenMismatch(const Decoded& actual, const Decoded& expected)
{
    if (actual.width != expected.width || actual.height != expected.height)
        return "sizes differ";
    const size_t pixels = size_t(actual.width) * actual.height;
    double sum[3] = { 0, 0, 0 };
    size_t off = 0;
    for (size_t i = 0; i < pixels; ++i) {
        bool far = false;
        for (int c = 0; c < 3; ++c) {
            const double d = std::abs(actual.pixels[i * 3 + c] - expected.pixels[i * 3 + c]) * 255.0;
            sum[c] += d;
            far |= d > 24.5;
        }
        off += far;
    }
    std::string why;
    for (int c = 0; c < 3; ++c)
        if (sum[c] / pixels > 0.6)
            why += "channel " + std::to_string(c) + " off by " + std::to_string(sum[c] / pixels)
                + " on average; ";
    if (off > pixels / 1000)
        why += std::to_string(off) + " of " + std::to_string(pixels) + " pixels off";
    return why;
}

} // namespace enginetest
