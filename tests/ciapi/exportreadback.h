#pragma once

// Readers for the engine's export formats, used by the tests to check what was written.
// Header-only so each test executable takes what it needs.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <tiffio.h>
#include <turbojpeg.h>
#include <unistd.h>

namespace enginetest {

struct Decoded
{
    int width = 0;
    int height = 0;
    std::vector<float> pixels; // interleaved RGB, 0..1 for 8/16-bit formats, linear for HDR
    float at(int x, int y, int c) const { return pixels[(size_t(y) * width + x) * 3 + c]; }
};

inline Decoded readJpeg(const std::vector<uint8_t>& bytes)
{
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    if (tjDecompressHeader3(tj, bytes.data(), bytes.size(), &w, &h, &sub, &cs) != 0) {
        tjDestroy(tj);
        throw std::runtime_error("not a JPEG");
    }
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    const int rc = tjDecompress2(tj, bytes.data(), bytes.size(), rgb.data(), w, 0, h, TJPF_RGB, 0);
    tjDestroy(tj);
    if (rc != 0)
        throw std::runtime_error("JPEG does not decode");
    Decoded d { w, h, {} };
    d.pixels.reserve(rgb.size());
    for (uint8_t v : rgb)
        d.pixels.push_back(v / 255.f);
    return d;
}

inline Decoded readPpm(const std::vector<uint8_t>& bytes)
{
    std::string text(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
    std::istringstream in(text);
    std::string magic;
    int w = 0, h = 0, maxv = 0;
    in >> magic >> w >> h >> maxv;
    if (magic != "P6" || maxv != 255 || w <= 0 || h <= 0)
        throw std::runtime_error("not a PPM");
    const size_t header = size_t(in.tellg()) + 1;
    if (bytes.size() != header + size_t(w) * h * 3)
        throw std::runtime_error("PPM size mismatch");
    Decoded d { w, h, {} };
    for (size_t i = header; i < bytes.size(); ++i)
        d.pixels.push_back(bytes[i] / 255.f);
    return d;
}

// Read through a temporary file: libtiff reads from a descriptor (a duplicate, which it closes).
inline Decoded readDng(const std::vector<uint8_t>& bytes)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()
        || std::fflush(file.get()))
        throw std::runtime_error("cannot hold the DNG in a temporary file");
    std::rewind(file.get());
    const std::unique_ptr<TIFF, void (*)(TIFF*)> tif(
        TIFFFdOpen(dup(fileno(file.get())), "export.dng", "r"), &TIFFClose);
    uint32_t w = 0, h = 0;
    uint16_t bps = 0, spp = 0, photometric = 0;
    void* version = nullptr;
    if (!tif || !TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w)
        || !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h)
        || !TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps)
        || !TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp)
        || !TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric) || bps != 16 || spp != 3
        || photometric != 34892 || TIFFGetField(tif.get(), TIFFTAG_DNGVERSION, &version) != 1)
        throw std::runtime_error("not a 16-bit linear RGB DNG");
    Decoded d { int(w), int(h), {} };
    std::vector<uint16_t> line(size_t(w) * 3);
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif.get(), line.data(), y, 0) < 0)
            throw std::runtime_error("DNG scanline does not read");
        for (uint16_t v : line)
            d.pixels.push_back(v / 65535.f);
    }
    return d;
}

inline Decoded readHdr(const std::vector<uint8_t>& bytes)
{
    const std::string s(bytes.begin(), bytes.end());
    if (s.rfind("#?RADIANCE\n", 0) != 0)
        throw std::runtime_error("not a Radiance file");
    const size_t blank = s.find("\n\n");
    if (blank == std::string::npos || s.find("FORMAT=32-bit_rle_rgbe") > blank)
        throw std::runtime_error("Radiance header incomplete");
    size_t eol = s.find('\n', blank + 2);
    int w = 0, h = 0;
    if (std::sscanf(s.c_str() + blank + 2, "-Y %d +X %d", &h, &w) != 2 || eol == std::string::npos)
        throw std::runtime_error("Radiance resolution line");
    size_t p = eol + 1;
    Decoded d { w, h, {} };
    std::vector<uint8_t> line(size_t(w) * 4);
    auto byte = [&]() -> uint8_t {
        if (p >= bytes.size())
            throw std::runtime_error("Radiance data truncated");
        return bytes[p++];
    };
    for (int y = 0; y < h; ++y) {
        if (w >= 8 && w <= 0x7fff && p + 4 <= bytes.size() && bytes[p] == 2 && bytes[p + 1] == 2) {
            p += 2;
            const int lw = (byte() << 8) | byte();
            if (lw != w)
                throw std::runtime_error("Radiance scanline width");
            for (int c = 0; c < 4; ++c)
                for (int x = 0; x < w;) {
                    int n = byte();
                    if (n > 128) {
                        n -= 128;
                        const uint8_t v = byte();
                        if (x + n > w)
                            throw std::runtime_error("Radiance run overflows");
                        for (int i = 0; i < n; ++i)
                            line[size_t(x++) * 4 + c] = v;
                    } else {
                        if (n == 0 || x + n > w)
                            throw std::runtime_error("Radiance literal overflows");
                        for (int i = 0; i < n; ++i)
                            line[size_t(x++) * 4 + c] = byte();
                    }
                }
        } else {
            for (auto& v : line)
                v = byte();
        }
        for (int x = 0; x < w; ++x) {
            const uint8_t* e = &line[size_t(x) * 4];
            const float f = e[3] ? std::ldexp(1.f, int(e[3]) - 136) : 0.f;
            for (int c = 0; c < 3; ++c)
                d.pixels.push_back((e[c] + 0.5f) * f * (e[3] ? 1.f : 0.f));
        }
    }
    if (p != bytes.size())
        throw std::runtime_error("Radiance trailing bytes");
    return d;
}

// Formats in the engine's order: JPEG, PPM, DNG, Radiance HDR.
inline Decoded readAny(const std::vector<uint8_t>& bytes, int format)
{
    return format == 0 ? readJpeg(bytes)
        : format == 1  ? readPpm(bytes)
        : format == 2  ? readDng(bytes)
                       : readHdr(bytes);
}

struct ExifSeen
{
    int orientation = -1;
    std::string dateTimeOriginal;
    std::string imageUniqueId;
};

// Walks the first APP1 "Exif" segment (little-endian TIFF, as the engine writes it).
inline ExifSeen readExif(const std::vector<uint8_t>& jpeg)
{
    ExifSeen seen;
    size_t p = 2;
    while (p + 4 < jpeg.size() && jpeg[p] == 0xff) {
        const int marker = jpeg[p + 1];
        const size_t len = (size_t(jpeg[p + 2]) << 8) | jpeg[p + 3];
        if (marker == 0xe1 && len > 8 && std::memcmp(&jpeg[p + 4], "Exif\0\0", 6) == 0) {
            const uint8_t* t = &jpeg[p + 10];
            const size_t tn = len - 8;
            auto u16 = [&](size_t o) { return o + 2 <= tn ? uint32_t(t[o] | (t[o + 1] << 8)) : 0u; };
            auto u32 = [&](size_t o) { return o + 4 <= tn ? uint32_t(u16(o) | (u16(o + 2) << 16)) : 0u; };
            auto text = [&](size_t entry) {
                const uint32_t count = u32(entry + 4);
                const size_t at = count <= 4 ? entry + 8 : u32(entry + 8);
                if (at + count > tn || count == 0)
                    return std::string();
                return std::string(reinterpret_cast<const char*>(t + at), count - 1);
            };
            auto walk = [&](size_t ifd, auto& self) -> void {
                const uint32_t n = u16(ifd);
                for (uint32_t i = 0; i < n; ++i) {
                    const size_t e = ifd + 2 + i * 12;
                    const uint32_t tag = u16(e);
                    if (tag == 0x0112)
                        seen.orientation = int(u16(e + 8));
                    else if (tag == 0x9003)
                        seen.dateTimeOriginal = text(e);
                    else if (tag == 0xA420)
                        seen.imageUniqueId = text(e);
                    else if (tag == 0x8769)
                        self(u32(e + 8), self);
                }
            };
            if (t[0] == 'I' && t[1] == 'I')
                walk(u32(4), walk);
            return seen;
        }
        p += 2 + len;
    }
    return seen;
}

} // namespace enginetest
