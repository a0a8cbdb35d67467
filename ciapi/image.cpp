#include "ciapi/image.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace CIAPI {

ROI ROI::clipped(int w, int h) const
{
    ROI r { x0 < 0 ? 0 : x0, y0 < 0 ? 0 : y0, x1 > w ? w : x1, y1 > h ? h : y1 };
    if (r.empty())
        return ROI {};
    return r;
}

namespace {
std::atomic<long long> liveBytes { 0 };
}

struct Image::Data
{
    int width = 0;
    int height = 0;
    int stride = 0;
    int format = 0;
    uint8_t* pixels = nullptr;
    bool owned = false;
    long long bytes = 0;

    ~Data()
    {
        if (owned) {
            std::free(pixels);
            liveBytes -= bytes;
        }
    }
};

long long Image::LiveBytes()
{
    return liveBytes.load();
}

Image Image::Create(int width, int height, int pixelFormat, int stride, int flags, uint8_t* buffer)
{
    if (width < 0 || height < 0)
        throw std::invalid_argument("Image size must not be negative");
    if (pixelFormat != PixelFormatRGBA8 && pixelFormat != PixelFormatBGRA8)
        throw std::invalid_argument("Unknown pixel format");
    if (flags != 0)
        throw std::invalid_argument("Image flags must be 0");
    if (width > (1 << 20) || height > (1 << 20))
        throw std::invalid_argument("Image too large");
    const long long minStride = static_cast<long long>(width) * 4;
    Image image;
    image.d = std::make_shared<Data>();
    image.d->width = width;
    image.d->height = height;
    image.d->format = pixelFormat;
    if (buffer) {
        if (stride == 0)
            stride = static_cast<int>(minStride);
        if (stride < minStride)
            throw std::invalid_argument("Image stride too small");
        image.d->stride = stride;
        image.d->pixels = buffer;
        return image;
    }
    long long aligned = (minStride + 63) / 64 * 64;
    if (stride > aligned)
        aligned = (static_cast<long long>(stride) + 63) / 64 * 64;
    if (aligned == 0)
        aligned = 64;
    const long long bytes = aligned * (height > 0 ? height : 1);
    if (aligned > (1ll << 30) || bytes > (1ll << 34))
        throw std::invalid_argument("Image too large");
    image.d->stride = static_cast<int>(aligned);
    image.d->pixels = static_cast<uint8_t*>(std::aligned_alloc(64, static_cast<size_t>(bytes)));
    if (!image.d->pixels)
        throw std::bad_alloc();
    image.d->owned = true;
    image.d->bytes = bytes;
    liveBytes += bytes;
    return image;
}

int Image::width() const
{
    return d ? d->width : 0;
}
int Image::height() const
{
    return d ? d->height : 0;
}
int Image::stride() const
{
    return d ? d->stride : 0;
}
int Image::pixelFormat() const
{
    return d ? d->format : 0;
}
uint8_t* Image::data() const
{
    return d ? d->pixels : nullptr;
}
bool Image::empty() const
{
    return !d || d->width == 0 || d->height == 0;
}

struct ImagePyramid::Data
{
    std::vector<Image> levels;
};

ImagePyramid ImagePyramid::Create(int levels)
{
    if (levels < 0 || levels > 32)
        throw std::invalid_argument("Pyramid level count out of range");
    ImagePyramid p;
    p.d = std::make_shared<Data>();
    p.d->levels.resize(static_cast<size_t>(levels));
    return p;
}

int ImagePyramid::LevelCountFor(int width, int height)
{
    int levels = 1;
    while (levels < 31) {
        const Point<int> s = LevelSize(width, height, levels - 1);
        if (s.x <= 512 && s.y <= 512)
            break;
        ++levels;
    }
    return levels;
}

Point<int> ImagePyramid::LevelSize(int width, int height, int level)
{
    const int w = level >= 31 ? 0 : width >> level;
    const int h = level >= 31 ? 0 : height >> level;
    return { w < 1 ? 1 : w, h < 1 ? 1 : h };
}

int ImagePyramid::levelCount() const
{
    return d ? static_cast<int>(d->levels.size()) : 0;
}

Image& ImagePyramid::operator[](int level)
{
    if (!d || level < 0 || level >= static_cast<int>(d->levels.size()))
        throw std::out_of_range("Pyramid level out of range");
    return d->levels[static_cast<size_t>(level)];
}

const Image& ImagePyramid::operator[](int level) const
{
    if (!d || level < 0 || level >= static_cast<int>(d->levels.size()))
        throw std::out_of_range("Pyramid level out of range");
    return d->levels[static_cast<size_t>(level)];
}

} // namespace CIAPI
