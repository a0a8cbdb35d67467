#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace CIAPI {

// A point in pixels (int) or in normalised image coordinates (float).
template <typename T> struct Point
{
    T x {};
    T y {};
    bool operator==(const Point& o) const { return x == o.x && y == o.y; }
    bool operator!=(const Point& o) const { return !(*this == o); }
};

using PointF = Point<float>;

// A rectangle of pixels {x0, y0, x1, y1}; right and bottom are exclusive.
struct ROI
{
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;
    int y1 = 0;
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    bool operator==(const ROI& o) const { return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1; }
    bool operator!=(const ROI& o) const { return !(*this == o); }
    // The part of this rectangle that lies inside {0, 0, w, h}; empty rectangles come back as {0,0,0,0}.
    ROI clipped(int w, int h) const;
};

// Pixel formats of an Image. Every format stores 4 bytes per pixel.
enum PixelFormat : int {
    PixelFormatRGBA8 = 0, // R, G, B, A bytes in memory order
    PixelFormatBGRA8 = 1, // B, G, R, A bytes in memory order
};

// An 8-bit, 4-channel image. A copy is a second handle on the same pixels: the
// pixels stay valid, at a fixed address, while any handle lives.
class Image
{
public:
    Image() = default; // empty

    // A width x height image. With a null buffer the engine allocates the pixels: rows
    // start 64-byte aligned and stride is the smallest multiple of 64 not below
    // width x 4 (a stride given here is raised to that). With a buffer the image wraps
    // the caller's memory (not owned); stride 0 then means width x 4. `flags` is reserved
    // and must be 0. Negative sizes or a too small stride throw std::invalid_argument.
    static Image Create(int width, int height, int pixelFormat = PixelFormatRGBA8, int stride = 0,
        int flags = 0, uint8_t* buffer = nullptr);
    // Bytes of the pixel buffers the engine allocated that are still alive, in the whole
    // process (diagnostics and tests).
    static long long LiveBytes();

    int width() const;
    int height() const;
    int stride() const; // bytes per row
    int pixelFormat() const;
    uint8_t* data() const;
    uint8_t* row(int y) const { return data() + static_cast<std::ptrdiff_t>(y) * stride(); }
    bool empty() const; // no pixels (no handle, or zero width or height)

    // Same handle (not same content).
    bool operator==(const Image& o) const { return d == o.d; }
    bool operator!=(const Image& o) const { return d != o.d; }

private:
    struct Data;
    std::shared_ptr<Data> d;
};

// A shared handle on the levels of one rendered picture. Copies share the levels;
// operator== compares the handle, never the content, and every Create() is a new,
// distinct handle. Level 0 is the finest. Copying a handle is thread-safe.
class ImagePyramid
{
public:
    ImagePyramid() = default; // a null handle, equal only to other null handles

    // A new handle with `levels` empty level slots (0 is allowed: sentinel pyramids).
    static ImagePyramid Create(int levels);

    // Level sizes of a pyramid for a level-0 size: level i is max(1, w >> i) x
    // max(1, h >> i), and the coarsest level is the first that fits in 512 x 512.
    static int LevelCountFor(int width, int height);
    static Point<int> LevelSize(int width, int height, int level);

    int levelCount() const;
    // Out of range (or on a null handle) throws std::out_of_range.
    Image& operator[](int level);
    const Image& operator[](int level) const;

    bool operator==(const ImagePyramid& o) const { return d == o.d; }
    bool operator!=(const ImagePyramid& o) const { return d != o.d; }
    bool isNull() const { return !d; }

private:
    struct Data;
    std::shared_ptr<Data> d;
};

} // namespace CIAPI
