#include "ciapi/codec/jpegcodec.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <turbojpeg.h>

namespace CIAPI::codec {

namespace {
struct Handle
{
    explicit Handle(bool compress)
        : h(compress ? tjInitCompress() : tjInitDecompress())
    {
        if (!h)
            throw std::runtime_error("JPEG library unavailable");
    }
    ~Handle() { tjDestroy(h); }
    tjhandle h;
};

constexpr int kMaxSide = 32768;
} // namespace

JpegCodec::Info JpegCodec::readInfo(const std::uint8_t* data, std::size_t length)
{
    if (!data || length < 4 || length > (1ull << 31))
        throw std::runtime_error("Not a JPEG image");
    Handle handle(false);
    int w = 0;
    int h = 0;
    int subsamp = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle.h, data, static_cast<unsigned long>(length), &w, &h, &subsamp, &colorspace)
        != 0)
        throw std::runtime_error(std::string("Not a JPEG image: ") + tjGetErrorStr2(handle.h));
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide)
        throw std::runtime_error("JPEG size out of range");
    return { w, h };
}

JpegCodec::Info JpegCodec::scaledSize(const Info& info, int num, int denom)
{
    return { TJSCALED(info.width, (tjscalingfactor { num, denom })),
        TJSCALED(info.height, (tjscalingfactor { num, denom })) };
}

void JpegCodec::chooseScale(const Info& info, int minLongSide, int* num, int* denom)
{
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    *num = 1;
    *denom = 1;
    int bestLong = info.width > info.height ? info.width : info.height;
    for (int i = 0; i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom)
            continue;
        const Info s = scaledSize(info, f.num, f.denom);
        const int longSide = s.width > s.height ? s.width : s.height;
        if (longSide >= minLongSide && longSide < bestLong) {
            bestLong = longSide;
            *num = f.num;
            *denom = f.denom;
        }
    }
}

void JpegCodec::decode(
    const std::uint8_t* data, std::size_t length, int num, int denom, Image& out, bool bgra)
{
    const Info info = readInfo(data, length);
    const Info s = scaledSize(info, num, denom);
    if (out.empty() || out.width() < s.width || out.height() < s.height)
        throw std::runtime_error("JPEG target image too small");
    Handle handle(false);
    if (tjDecompress2(handle.h, data, static_cast<unsigned long>(length), out.data(), s.width, out.stride(),
            s.height, bgra ? TJPF_BGRA : TJPF_RGBA, TJFLAG_FASTDCT | TJFLAG_LIMITSCANS)
        != 0) {
        // Warnings (such as a short stream that still decoded) are accepted; errors are not.
        if (tjGetErrorCode(handle.h) == TJERR_FATAL)
            throw std::runtime_error(std::string("Damaged JPEG image: ") + tjGetErrorStr2(handle.h));
    }
}

Image JpegCodec::decodeImage(const std::uint8_t* data, std::size_t length, int num, int denom, bool bgra)
{
    const Info s = scaledSize(readInfo(data, length), num, denom);
    Image image = Image::Create(s.width, s.height, bgra ? PixelFormatBGRA8 : PixelFormatRGBA8);
    decode(data, length, num, denom, image, bgra);
    return image;
}

std::vector<std::uint8_t> JpegCodec::encode(
    const std::uint8_t* pixels, int width, int height, int stride, bool bgra, int quality)
{
    if (!pixels || width <= 0 || height <= 0)
        throw std::runtime_error("Nothing to encode");
    Handle handle(true);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle.h, pixels, width, stride, height, bgra ? TJPF_BGRA : TJPF_RGBA, &jpeg, &size,
            TJSAMP_420, quality, TJFLAG_FASTDCT)
        != 0) {
        tjFree(jpeg);
        throw std::runtime_error(std::string("JPEG encoding failed: ") + tjGetErrorStr2(handle.h));
    }
    std::vector<std::uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    return out;
}

std::vector<std::uint8_t> JpegCodec::encode(const Image& image, int quality)
{
    return encode(image.data(), image.width(), image.height(), image.stride(),
        image.pixelFormat() == PixelFormatBGRA8, quality);
}

} // namespace CIAPI::codec
