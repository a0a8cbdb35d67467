#include "ciapi/depth/depthdocument.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace CIAPI::depth {

namespace {

// Revisions are unique across documents, so a cache keyed by one never mistakes a
// replaced document for the one it was filled from.
uint64_t nextRevision()
{
    static std::atomic<uint64_t> counter { 1 };
    return counter.fetch_add(1) + 1;
}

constexpr uint32_t kEditsMagic = 0x31454451; // "QDE1"
constexpr uint32_t kBaseMagic = 0x31424451; // "QDB1"

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putFloats(std::vector<uint8_t>& out, const float* f, size_t n)
{
    const size_t at = out.size();
    out.resize(at + n * 4);
    std::memcpy(out.data() + at, f, n * 4); // little-endian host
}

struct Reader
{
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    uint32_t u32()
    {
        if (n - at < 4)
            throw std::runtime_error("Depth data is truncated");
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(p[at + i]) << (8 * i);
        at += 4;
        return v;
    }
    void floats(float* f, size_t count)
    {
        if (count > (n - at) / 4)
            throw std::runtime_error("Depth data is truncated");
        std::memcpy(f, p + at, count * 4);
        at += count * 4;
    }
};

} // namespace

void DepthDocument::setBase(PlaneF base)
{
    m_base = std::move(base);
    m_current.reset(m_base.width(), m_base.height());
    for (int y = 0; y < m_base.height(); ++y)
        std::copy(m_base.row(y), m_base.row(y) + m_base.width(), m_current.row(y));
    m_patches.clear();
    m_applied = 0;
    clearSelection();
    m_revision = nextRevision();
}

void DepthDocument::clear()
{
    m_base = PlaneF();
    m_current = PlaneF();
    m_patches.clear();
    m_applied = 0;
    m_faceMatting = false;
    clearSelection();
    m_revision = nextRevision();
}

void DepthDocument::apply(const Rect& r, const std::vector<float>& values)
{
    const int w = r.width();
    for (int y = r.y0; y < r.y1; ++y)
        std::copy(values.begin() + size_t(y - r.y0) * w, values.begin() + size_t(y - r.y0 + 1) * w,
            m_current.row(y) + r.x0);
    m_revision = nextRevision();
}

void DepthDocument::push(DepthPatch patch)
{
    const Rect whole { 0, 0, width(), height() };
    if (!hasDepth() || patch.rect.empty() || !(patch.rect.intersected(whole) == patch.rect)
        || patch.after.size() != size_t(patch.rect.width()) * patch.rect.height())
        throw std::runtime_error("Depth edit outside the depth map");
    patch.before.resize(patch.after.size());
    for (int y = patch.rect.y0; y < patch.rect.y1; ++y)
        std::copy(m_current.row(y) + patch.rect.x0, m_current.row(y) + patch.rect.x1,
            patch.before.begin() + size_t(y - patch.rect.y0) * patch.rect.width());
    m_patches.resize(m_applied);
    apply(patch.rect, patch.after);
    m_patches.push_back(std::move(patch));
    m_applied = m_patches.size();
}

bool DepthDocument::undo()
{
    if (m_applied == 0)
        return false;
    --m_applied;
    apply(m_patches[m_applied].rect, m_patches[m_applied].before);
    return true;
}

bool DepthDocument::redo()
{
    if (m_applied >= m_patches.size())
        return false;
    apply(m_patches[m_applied].rect, m_patches[m_applied].after);
    ++m_applied;
    return true;
}

void DepthDocument::resetEdits()
{
    if (hasDepth()) {
        PlaneF base = std::move(m_base);
        setBase(std::move(base));
    }
    m_faceMatting = false;
    m_revision = nextRevision();
}

void DepthDocument::setFaceMatting(bool on)
{
    if (on != m_faceMatting) {
        m_faceMatting = on;
        m_revision = nextRevision();
    }
}

float DepthDocument::depthAt(float u, float v) const
{
    if (!hasDepth())
        throw std::runtime_error("No depth yet");
    if (!(u >= 0.f && u < 1.f && v >= 0.f && v < 1.f))
        throw std::runtime_error("Point outside the picture");
    const float fx = std::clamp(u * width() - 0.5f, 0.f, float(width() - 1));
    const float fy = std::clamp(v * height() - 0.5f, 0.f, float(height() - 1));
    const int x0 = int(fx), y0 = int(fy);
    const int x1 = std::min(x0 + 1, width() - 1), y1 = std::min(y0 + 1, height() - 1);
    const float tx = fx - x0, ty = fy - y0;
    const float a = m_current.at(x0, y0) + (m_current.at(x1, y0) - m_current.at(x0, y0)) * tx;
    const float b = m_current.at(x0, y1) + (m_current.at(x1, y1) - m_current.at(x0, y1)) * tx;
    return a + (b - a) * ty;
}

std::pair<float, float> DepthDocument::range() const
{
    if (!hasDepth())
        return { 0.f, 0.f };
    float lo = 1e30f, hi = -1e30f;
    for (int y = 0; y < height(); ++y) {
        const float* r = m_current.row(y);
        for (int x = 0; x < width(); ++x) {
            lo = std::min(lo, r[x]);
            hi = std::max(hi, r[x]);
        }
    }
    return { lo, hi };
}

void DepthDocument::clearSelection()
{
    if (hasDepth()) {
        m_selection.reset(width(), height());
        m_selection.fill(0);
    } else {
        m_selection = PlaneU8();
    }
    m_selectionRevision = nextRevision();
}

void DepthDocument::touchSelection()
{
    m_selectionRevision = nextRevision();
}

bool DepthDocument::selectionEmpty() const
{
    for (int y = 0; y < m_selection.height(); ++y) {
        const uint8_t* r = m_selection.row(y);
        if (std::any_of(r, r + m_selection.width(), [](uint8_t v) { return v != 0; }))
            return false;
    }
    return true;
}

std::vector<uint8_t> DepthDocument::saveEdits() const
{
    std::vector<uint8_t> out;
    put32(out, kEditsMagic);
    put32(out, static_cast<uint32_t>(m_patches.size()));
    put32(out, static_cast<uint32_t>(m_applied));
    put32(out, m_faceMatting ? 1u : 0u);
    for (const DepthPatch& p : m_patches) {
        put32(out, uint32_t(p.rect.x0));
        put32(out, uint32_t(p.rect.y0));
        put32(out, uint32_t(p.rect.x1));
        put32(out, uint32_t(p.rect.y1));
        putFloats(out, p.after.data(), p.after.size());
    }
    return out;
}

void DepthDocument::restoreEdits(const uint8_t* data, size_t size)
{
    Reader r { data, size };
    if (r.u32() != kEditsMagic)
        throw std::runtime_error("Unknown depth edit data");
    const uint32_t count = r.u32();
    const uint32_t applied = r.u32();
    const bool matting = r.u32() != 0;
    if (applied > count || count > size / 16)
        throw std::runtime_error("Damaged depth edit data");
    std::vector<DepthPatch> patches;
    const Rect whole { 0, 0, width(), height() };
    for (uint32_t i = 0; i < count; ++i) {
        DepthPatch p;
        p.rect.x0 = int(r.u32());
        p.rect.y0 = int(r.u32());
        p.rect.x1 = int(r.u32());
        p.rect.y1 = int(r.u32());
        if (p.rect.empty() || !(p.rect.intersected(whole) == p.rect))
            throw std::runtime_error("Damaged depth edit data");
        p.after.resize(size_t(p.rect.width()) * p.rect.height());
        r.floats(p.after.data(), p.after.size());
        patches.push_back(std::move(p));
    }
    // Replay over the base map so that every edit knows what it replaced.
    PlaneF base(m_base.width(), m_base.height());
    for (int y = 0; y < base.height(); ++y)
        std::copy(m_base.row(y), m_base.row(y) + base.width(), base.row(y));
    setBase(std::move(base));
    for (DepthPatch& p : patches)
        push(std::move(p));
    while (m_applied > applied)
        undo();
    m_faceMatting = matting;
    m_revision = nextRevision();
}

std::vector<uint8_t> DepthDocument::saveBase() const
{
    std::vector<uint8_t> out;
    put32(out, kBaseMagic);
    put32(out, uint32_t(m_base.width()));
    put32(out, uint32_t(m_base.height()));
    for (int y = 0; y < m_base.height(); ++y)
        putFloats(out, m_base.row(y), size_t(m_base.width()));
    return out;
}

PlaneF DepthDocument::loadBase(const uint8_t* data, size_t size)
{
    Reader r { data, size };
    if (r.u32() != kBaseMagic)
        throw std::runtime_error("Unknown depth map data");
    const uint32_t w = r.u32(), h = r.u32();
    if (w == 0 || h == 0 || w > 16384 || h > 16384 || size_t(w) * h > (size - 12) / 4)
        throw std::runtime_error("Damaged depth map data");
    PlaneF plane { int(w), int(h) };
    for (uint32_t y = 0; y < h; ++y)
        r.floats(plane.row(int(y)), w);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (!std::isfinite(plane.at(int(x), int(y))) || plane.at(int(x), int(y)) <= 0.f)
                throw std::runtime_error("Damaged depth map data");
    return plane;
}

} // namespace CIAPI::depth
