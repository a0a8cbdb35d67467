#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace CIAPI::exporter {

// Facts written into the EXIF block of an exported JPEG.
struct ExifFacts
{
    int64_t captureTime = 0; // seconds since the epoch, UTC
    int utcOffsetMinutes = 0;
    std::string imageUniqueId; // 32 hex digits
};

// The EXIF APP1 payload ("Exif\0\0" and a little-endian TIFF structure): orientation 1,
// capture time (local, with its offset), image unique ID.
std::vector<uint8_t> exifBlock(const ExifFacts& facts);

// 8-bit RGB, rows packed. Quality 1..100; `fullChroma` keeps 4:4:4.
std::vector<uint8_t> encodeJpeg(
    const uint8_t* rgb, int width, int height, int quality, bool fullChroma, const ExifFacts& facts);

// Binary PPM (P6, maxval 255).
std::vector<uint8_t> encodePpm(const uint8_t* rgb, int width, int height);

// 16-bit RGB as a DNG (linear RGB, sRGB primaries, D65).
std::vector<uint8_t> encodeDng(const uint16_t* rgb, int width, int height, const ExifFacts& facts);
// The DNG tags of such a file on an open libtiff handle (TIFF*); false when one was refused.
bool setDngTags(void* tiff, int width, int height, const ExifFacts& facts);

// Float RGB as Radiance RGBE (run-length encoded scanlines where the format allows).
std::vector<uint8_t> encodeHdr(const float* rgb, int width, int height);

// 32 hex digits of a UUID held as four big-endian 32-bit words.
std::string uuidHex(const std::array<uint32_t, 4>& words);

} // namespace CIAPI::exporter
