#pragma once

// Reference pictures of the rendering tests: 8-bit RGB PNG files (written and read here with
// zlib, so engine-only builds need no image library) and the tolerant comparison of a render
// against one.

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace enginetest {

struct RgbImage
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb; // rows without padding

    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
    uint8_t* at(int x, int y) { return &rgb[(size_t(y) * width + x) * 3]; }
};

// RGBA rows (as the renderer delivers them, alpha dropped) to RGB.
inline RgbImage rgbFromRgba(const std::vector<uint8_t>& rgba, int width, int height)
{
    RgbImage img { width, height, std::vector<uint8_t>(size_t(width) * height * 3) };
    for (size_t i = 0, n = size_t(width) * height; i < n; ++i)
        std::copy(&rgba[i * 4], &rgba[i * 4] + 3, &img.rgb[i * 3]);
    return img;
}

namespace png {

inline void putBe32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(uint8_t(v >> s));
}

inline uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    putBe32(out, uint32_t(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    putBe32(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

inline int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

const uint8_t kSignature[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };

} // namespace png

// Writes an 8-bit RGB PNG (every row filtered with Paeth, which suits rendered pictures).
inline void writePng(const std::string& path, const RgbImage& img)
{
    using namespace png;
    const size_t rowBytes = size_t(img.width) * 3;
    std::vector<uint8_t> raw;
    raw.reserve((rowBytes + 1) * img.height);
    for (int y = 0; y < img.height; ++y) {
        raw.push_back(4);
        const uint8_t* row = img.at(0, y);
        const uint8_t* up = y ? img.at(0, y - 1) : nullptr;
        for (size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= 3 ? row[i - 3] : 0, b = up ? up[i] : 0, c = up && i >= 3 ? up[i - 3] : 0;
            raw.push_back(uint8_t(row[i] - paeth(a, b, c)));
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 9) != Z_OK)
        throw std::runtime_error("PNG compression failed");
    packed.resize(packedSize);

    std::vector<uint8_t> file(kSignature, kSignature + 8);
    std::vector<uint8_t> header;
    putBe32(header, uint32_t(img.width));
    putBe32(header, uint32_t(img.height));
    header.insert(header.end(), { 8, 2, 0, 0, 0 }); // 8 bits, RGB, deflate, adaptive filters, no interlace
    chunk(file, "IHDR", header);
    chunk(file, "IDAT", packed);
    chunk(file, "IEND", {});
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    if (!out.flush())
        throw std::runtime_error("Cannot write " + path);
}

// Reads an 8-bit RGB PNG as writePng writes it (no interlacing, Paeth rows); throws on anything else.
inline RgbImage readPng(const std::string& path)
{
    using namespace png;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot open " + path);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 8 || !std::equal(kSignature, kSignature + 8, file.begin()))
        throw std::runtime_error("Not a PNG file: " + path);
    RgbImage img;
    std::vector<uint8_t> packed;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t len = be32(&file[at]);
        if (len > file.size() - at - 12)
            throw std::runtime_error("Truncated PNG chunk");
        const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        const uint8_t* data = &file[at + 8];
        if (uint32_t(crc32(0, &file[at + 4], len + 4)) != be32(data + len))
            throw std::runtime_error("PNG chunk CRC mismatch");
        if (type == "IHDR") {
            if (len != 13 || data[8] != 8 || data[9] != 2 || data[12] != 0)
                throw std::runtime_error("Only 8-bit RGB PNG without interlacing is read");
            img.width = int(be32(data));
            img.height = int(be32(data + 4));
            if (img.width <= 0 || img.height <= 0 || img.width > 8192 || img.height > 8192)
                throw std::runtime_error("PNG size out of range");
        } else if (type == "IDAT") {
            packed.insert(packed.end(), data, data + len);
        } else if (type == "IEND") {
            break;
        }
        at += 12 + len;
    }
    if (img.width == 0)
        throw std::runtime_error("PNG without a header");
    const size_t rowBytes = size_t(img.width) * 3;
    std::vector<uint8_t> raw((rowBytes + 1) * img.height);
    uLongf rawSize = uLongf(raw.size());
    if (uncompress(raw.data(), &rawSize, packed.data(), uLong(packed.size())) != Z_OK
        || rawSize != raw.size())
        throw std::runtime_error("Corrupt PNG image data");
    img.rgb.resize(rowBytes * img.height);
    for (int y = 0; y < img.height; ++y) {
        if (raw[y * (rowBytes + 1)] != 4)
            throw std::runtime_error("Only rows filtered as writePng filters them are read");
        const uint8_t* src = &raw[y * (rowBytes + 1) + 1];
        uint8_t* row = img.at(0, y);
        const uint8_t* up = y ? img.at(0, y - 1) : nullptr;
        for (size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= 3 ? row[i - 3] : 0, b = up ? up[i] : 0, c = up && i >= 3 ? up[i - 3] : 0;
            row[i] = uint8_t(src[i] + paeth(a, b, c));
        }
    }
    return img;
}

// How far a render lies from its reference.
struct GoldenDifference
{
    bool sameSize = false;
    double meanAbs[3] = { 0, 0, 0 }; // per channel, in 8-bit steps
    int pixelsOff = 0; // pixels with a channel off by more than the pixel tolerance
    int pixels = 0;
};

// The tolerance: rounding differences between machines and a handful of odd pixels pass;
// a colour shifted by a few steps over the picture, or a changed region, does not.
struct GoldenTolerance
{
    double meanAbs = 0.6; // per channel
    int pixelStep = 24; // a pixel is "off" beyond this in any channel
    double pixelsOffShare = 0.001; // share of the pixels allowed to be off
};

inline GoldenDifference goldenDifference(const RgbImage& actual, const RgbImage& expected, int pixelStep)
{
    GoldenDifference d;
    d.sameSize = actual.width == expected.width && actual.height == expected.height;
    if (!d.sameSize)
        return d;
    d.pixels = actual.width * actual.height;
    double sum[3] = { 0, 0, 0 };
    for (int i = 0; i < d.pixels; ++i) {
        bool off = false;
        for (int c = 0; c < 3; ++c) {
            const int diff
                = std::abs(int(actual.rgb[size_t(i) * 3 + c]) - int(expected.rgb[size_t(i) * 3 + c]));
            sum[c] += diff;
            off |= diff > pixelStep;
        }
        d.pixelsOff += off;
    }
    for (int c = 0; c < 3; ++c)
        d.meanAbs[c] = sum[c] / d.pixels;
    return d;
}

inline bool withinTolerance(const GoldenDifference& d, const GoldenTolerance& t = {})
{
    if (!d.sameSize)
        return false;
    for (double m : d.meanAbs)
        if (m > t.meanAbs)
            return false;
    return d.pixelsOff <= int(t.pixelsOffShare * d.pixels);
}

inline std::string describe(const GoldenDifference& d)
{
    if (!d.sameSize)
        return "sizes differ";
    return "mean absolute difference " + std::to_string(d.meanAbs[0]) + " / " + std::to_string(d.meanAbs[1])
        + " / " + std::to_string(d.meanAbs[2]) + ", " + std::to_string(d.pixelsOff) + " of "
        + std::to_string(d.pixels) + " pixels off";
}

} // namespace enginetest
