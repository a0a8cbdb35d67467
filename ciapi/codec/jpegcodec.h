#pragma once

#include "ciapi/image.h"

#include <cstdint>
#include <vector>

namespace CIAPI::codec {

// JPEG through libjpeg-turbo.
class JpegCodec
{
public:
    struct Info
    {
        int width = 0;
        int height = 0;
    };
    // Header only; std::runtime_error when the bytes are not a JPEG.
    static Info readInfo(const std::uint8_t* data, std::size_t length);
    // The library's scaled size for num/denom.
    static Info scaledSize(const Info& info, int num, int denom);
    // The smallest supported scale whose long side is still >= minLongSide (or 1/1).
    static void chooseScale(const Info& info, int minLongSide, int* num, int* denom);
    // Decodes at num/denom into `out` (which must be at least the scaled size; extra
    // rows/columns are left alone). bgra selects the byte order. std::runtime_error on a
    // damaged stream.
    static void decode(
        const std::uint8_t* data, std::size_t length, int num, int denom, Image& out, bool bgra);
    // Decodes at the scale into a new engine image.
    static Image decodeImage(
        const std::uint8_t* data, std::size_t length, int num = 1, int denom = 1, bool bgra = false);
    // Encodes RGBA (or BGRA) rows.
    static std::vector<std::uint8_t> encode(
        const std::uint8_t* pixels, int width, int height, int stride, bool bgra, int quality);
    static std::vector<std::uint8_t> encode(const Image& image, int quality);
};

} // namespace CIAPI::codec
