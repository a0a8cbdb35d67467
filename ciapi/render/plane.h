#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace CIAPI::render {

// A rectangle in pixels, exclusive right and bottom.
struct Rect
{
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    Rect intersected(const Rect& o) const
    {
        return { std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1) };
    }
    bool operator==(const Rect& o) const { return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1; }
};

// Memory for planes: from the allocator (64-byte aligned), or mapped from the system when it is
// at least `mapFrom` bytes (`mapped` then tells how many bytes were mapped, else 0).
inline void* allocatePlaneMemory(size_t bytes, size_t mapFrom, size_t& mapped)
{
    mapped = 0;
#if defined(__linux__)
    if (bytes >= mapFrom) {
        const size_t page = 4096;
        mapped = (bytes + page - 1) & ~(page - 1);
        void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        return p;
    }
#else
    (void)mapFrom;
#endif
    void* p = std::aligned_alloc(64, bytes);
    if (!p)
        throw std::bad_alloc();
    return p;
}

inline void freePlaneMemory(void* p, size_t mapped)
{
#if defined(__linux__)
    if (mapped) {
        munmap(p, mapped);
        return;
    }
#endif
    std::free(p);
}

// One channel of samples, rows 64-byte aligned. Move-only; no copy by accident.
template <typename T> class Plane
{
public:
    Plane() = default;
    Plane(int width, int height) { reset(width, height); }

    // From now on, memory of at least `bytes` is mapped from the system and unmapped when let
    // go (rather than taken from the allocator). For planes a pool thread allocates and keeps
    // for tasks to come: once let go, the allocator would keep them at the top of that thread's
    // arena, out of reach of ReturnFreeMemory().
    void mapFrom(size_t bytes) { m_mapFrom = bytes; }

    // New size, contents undefined. The memory is kept when it is large enough, so a plane
    // reused for tile after tile (or band after band) is allocated, and faulted in, once.
    void reset(int width, int height)
    {
        if (width < 0 || height < 0 || (width > 0 && height > (1 << 28) / std::max(1, width)))
            throw std::runtime_error("Image plane too large");
        const size_t rowBytes = (static_cast<size_t>(width) * sizeof(T) + 63) & ~size_t(63);
        const size_t bytes = std::max<size_t>(64, rowBytes * static_cast<size_t>(height));
        if (bytes > m_capacity || !m_data) {
            size_t mapped = 0;
            void* p = allocatePlaneMemory(bytes, m_mapFrom, mapped);
            m_data.reset(static_cast<T*>(p));
            m_data.get_deleter().mapped = mapped; // after the old memory went with its own size
            m_capacity = bytes;
        }
        m_width = width;
        m_height = height;
        m_stride = rowBytes / sizeof(T);
    }

    void fill(T v)
    {
        for (int y = 0; y < m_height; ++y)
            std::fill(row(y), row(y) + m_width, v);
    }

    int width() const { return m_width; }
    int height() const { return m_height; }
    size_t stride() const { return m_stride; } // in samples
    bool empty() const { return m_width == 0 || m_height == 0; }
    T* row(int y) { return m_data.get() + static_cast<size_t>(y) * m_stride; }
    const T* row(int y) const { return m_data.get() + static_cast<size_t>(y) * m_stride; }
    T& at(int x, int y) { return row(y)[x]; }
    const T& at(int x, int y) const { return row(y)[x]; }

private:
    struct Free
    {
        size_t mapped = 0; // bytes mapped, or 0 for the allocator's memory
        void operator()(T* p) const { freePlaneMemory(p, mapped); }
    };
    std::unique_ptr<T, Free> m_data;
    int m_width = 0;
    int m_height = 0;
    size_t m_stride = 0;
    size_t m_capacity = 0; // bytes at m_data
    size_t m_mapFrom = ~size_t(0); // never
};

using PlaneF = Plane<float>;
using PlaneU16 = Plane<uint16_t>;
using PlaneU8 = Plane<uint8_t>;

// Three planes of one picture (red, green, blue).
template <typename T> struct RgbPlanes
{
    Plane<T> c[3];
    void reset(int w, int h)
    {
        for (auto& p : c)
            p.reset(w, h);
    }
    void mapFrom(size_t bytes)
    {
        for (auto& p : c)
            p.mapFrom(bytes);
    }
    int width() const { return c[0].width(); }
    int height() const { return c[0].height(); }
};

} // namespace CIAPI::render
