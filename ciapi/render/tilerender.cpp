#include "ciapi/render/tilerender.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace CIAPI::render {

namespace {

bool needsRegion(const TileInputs& in)
{
    return in.sharpening != 0.f || (in.refocus.active() && in.depth);
}

} // namespace

float sharpenAmount(const TileInputs& in)
{
    return std::clamp(in.sharpening, -100.f, 100.f) / 100.f * (in.sharpening > 0 ? 1.5f : 1.f);
}

void sharpenRow(const float* up, const float* mid, const float* dn, int x0, int x1, float amount, float* o)
{
    for (int x = x0; x < x1; ++x) {
        const float blur = (4.f * mid[x] + 2.f * (mid[x - 1] + mid[x + 1] + up[x] + dn[x]) + up[x - 1]
                               + up[x + 1] + dn[x - 1] + dn[x + 1])
            * (1.f / 16.f);
        o[x] = std::max(0.f, mid[x] + amount * (mid[x] - blur));
    }
}

namespace {

// The unsharp mask in place over the region; the outermost ring of the region is left as it
// is (the caller's halo covers it).
void sharpen(RgbPlanes<float>& img, float amount)
{
    const int W = img.width(), H = img.height();
    if (W < 3 || H < 3)
        return;
    std::vector<float> prev(static_cast<size_t>(W)), cur(static_cast<size_t>(W));
    for (auto& plane : img.c) {
        std::copy(plane.row(0), plane.row(0) + W, prev.begin());
        for (int y = 1; y < H - 1; ++y) {
            std::copy(plane.row(y), plane.row(y) + W, cur.begin());
            sharpenRow(prev.data(), cur.data(), plane.row(y + 1), 1, W - 1, amount, plane.row(y));
            prev.swap(cur);
        }
    }
}

// Linear values of `rect` and `halo` pixels around it (clipped to the level).
struct LinearRegion
{
    RgbPlanes<float>& planes;
    Rect region; // in level pixels
    Rect center; // `rect` in region pixels
};

void developRegion(const TileInputs& in, const Rect& rect, int halo, bool tone, LinearRegion& out)
{
    const RgbPlanes<uint16_t>& cam = *in.camera;
    const Rect level { 0, 0, in.width(), in.height() };
    const Rect region
        = Rect { rect.x0 - halo, rect.y0 - halo, rect.x1 + halo, rect.y1 + halo }.intersected(level);
    if (region.y0 < in.cameraTop || region.y1 > in.cameraTop + cam.height())
        throw std::logic_error("Region outside the developed rows");
    out.region = region;
    out.center = Rect { rect.x0 - region.x0, rect.y0 - region.y0, rect.x1 - region.x0, rect.y1 - region.y0 };
    RgbPlanes<float>& reg = out.planes;
    reg.reset(region.width(), region.height());
    for (int y = region.y0; y < region.y1; ++y)
        in.colour->toLinear(cam.c[0].row(y - in.cameraTop) + region.x0,
            cam.c[1].row(y - in.cameraTop) + region.x0, cam.c[2].row(y - in.cameraTop) + region.x0,
            region.width(), reg.c[0].row(y - region.y0), reg.c[1].row(y - region.y0),
            reg.c[2].row(y - region.y0), tone);
}

// Linear region with halo, sharpened and refocused; `out` covers `rect` only.
void linearRect(
    const TileInputs& in, const Rect& rect, RgbPlanes<float>& out, bool tone, LinearScratch* scratch)
{
    const bool refocus = in.refocus.active() && in.depth;
    const int halo = linearHalo(in);
    thread_local LinearScratch own; // reused tile after tile
    LinearScratch& s = scratch ? *scratch : own;
    LinearRegion lr { s.region, {}, {} };
    developRegion(in, rect, halo, tone, lr);
    if (in.sharpening != 0.f)
        sharpen(lr.planes, sharpenAmount(in));
    const Rect& center = lr.center;
    if (refocus) {
        depthRegion(in, lr.region, s.depth);
        refocusRegion(lr.planes, s.depth, center, in.refocus, out, &s.refocus);
        return;
    }
    out.reset(rect.width(), rect.height());
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < rect.height(); ++y)
            std::copy(lr.planes.c[c].row(center.y0 + y) + center.x0,
                lr.planes.c[c].row(center.y0 + y) + center.x1, out.c[c].row(y));
}

// Sharpening without refocus, one output row at a time straight from the unsharpened region:
// the same values as sharpen() followed by the encoding, without a pass over the region.
void sharpenedPixels(const TileInputs& in, const Rect& rect, uint8_t* out, size_t stride)
{
    thread_local RgbPlanes<float> planes; // reused tile after tile
    LinearRegion lr { planes, {}, {} };
    developRegion(in, rect, 1, true, lr);
    const int W = lr.region.width(), H = lr.region.height();
    const Rect& c = lr.center;
    const float amount = sharpenAmount(in);
    std::vector<float> rows(size_t(rect.width()) * 3);
    float* dst[3] = { rows.data(), rows.data() + rect.width(), rows.data() + 2 * rect.width() };
    const float* src[3];
    for (int ry = c.y0; ry < c.y1; ++ry) {
        const bool ring = W < 3 || H < 3 || ry == 0 || ry == H - 1;
        for (int k = 0; k < 3; ++k) {
            const PlaneF& plane = lr.planes.c[k];
            const float* mid = plane.row(ry);
            if (ring) {
                src[k] = mid + c.x0;
                continue;
            }
            float* o = dst[k] - c.x0; // indexed by region column
            const int x0 = std::max(c.x0, 1), x1 = std::min(c.x1, W - 1);
            if (c.x0 < x0)
                o[c.x0] = mid[c.x0];
            if (x1 < c.x1)
                o[x1] = mid[x1];
            sharpenRow(plane.row(ry - 1), mid, plane.row(ry + 1), x0, x1, amount, o);
            src[k] = dst[k];
        }
        in.colour->encodeRow(src[0], src[1], src[2], rect.width(), out + size_t(ry - c.y0) * stride, in.bgra);
    }
}

void falseColour(float t, uint8_t rgb[3])
{
    // Blue, cyan, green, yellow, red.
    static const float stops[5][3] = { { 0.1f, 0.1f, 0.9f }, { 0.f, 0.8f, 0.9f }, { 0.1f, 0.85f, 0.1f },
        { 0.95f, 0.9f, 0.f }, { 0.9f, 0.1f, 0.05f } };
    t = std::clamp(t, 0.f, 1.f) * 4.f;
    const int i = std::min(3, static_cast<int>(t));
    const float f = t - i;
    for (int c = 0; c < 3; ++c)
        rgb[c]
            = static_cast<uint8_t>(std::lround((stops[i][c] + (stops[i + 1][c] - stops[i][c]) * f) * 255.f));
}

void overlay(const TileInputs& in, const Rect& rect, uint8_t* out, size_t stride)
{
    const int ri = in.bgra ? 2 : 0, bi = in.bgra ? 0 : 2;
    const float nearInv = 1.f / std::max(1e-3f, in.refocus.nearDepth);
    const float farInv = 1.f / std::max(1e-3f, in.refocus.farDepth);
    PlaneF depth;
    if (in.depth)
        depth = depthRegion(in, rect);
    const RgbPlanes<uint16_t>& cam = *in.camera;
    const PlaneU8* sel = in.selection && !in.selection->empty() ? in.selection.get() : nullptr;
    const float selX = sel ? float(sel->width()) / cam.width() : 0.f;
    const float selY = sel ? float(sel->height()) / cam.height() : 0.f;
    // Refocus-point shading: a fixed band around the focus depth (as at the widest aperture);
    // the focus-slider view: the band at the aperture actually set. One unit of radius is the
    // in-focus limit for both, the same at every level.
    RefocusSettings band = in.refocus;
    band.strength = 1.f;
    band.maxRadius = 8.f;
    RefocusSettings aperture = band;
    aperture.strength = std::clamp(in.refocus.strength, 0.f, 1.f);
    for (int y = rect.y0; y < rect.y1; ++y) {
        uint8_t* p = out + (y - rect.y0) * stride;
        const float* d = in.depth ? depth.row(y - rect.y0) - rect.x0 : nullptr;
        const uint8_t* m = sel ? sel->row(std::min(sel->height() - 1, int((y + 0.5f) * selY))) : nullptr;
        for (int x = rect.x0; x < rect.x1; ++x, p += 4) {
            switch (in.mode) {
            case ViewMode::RefocusShading: {
                const bool sharp = d && std::fabs(band.signedRadius(d[x])) < 1.f;
                if (!sharp) {
                    p[ri] = static_cast<uint8_t>(p[ri] * 0.35f);
                    p[1] = static_cast<uint8_t>(p[1] * 0.35f);
                    p[bi] = static_cast<uint8_t>(p[bi] * 0.35f + 60.f);
                }
                break;
            }
            case ViewMode::FocusBand: {
                // Blur on the same scale as the shading above, but at the current aperture: the
                // band that stays sharp keeps its colours, the rest shows its depth, more strongly
                // the more it is blurred.
                const float blur = d ? std::fabs(aperture.signedRadius(d[x])) : 0.f;
                if (blur >= 1.f) {
                    uint8_t rgb[3];
                    falseColour(
                        (1.f / std::max(1e-3f, d[x]) - farInv) / std::max(1e-6f, nearInv - farInv), rgb);
                    const float a = 0.3f + 0.5f * blur / aperture.maxRadius;
                    p[ri] = static_cast<uint8_t>(p[ri] + (rgb[0] - p[ri]) * a);
                    p[1] = static_cast<uint8_t>(p[1] + (rgb[1] - p[1]) * a);
                    p[bi] = static_cast<uint8_t>(p[bi] + (rgb[2] - p[bi]) * a);
                }
                break;
            }
            case ViewMode::SelectionOverlay:
                if (m && m[std::min(sel->width() - 1, int((x + 0.5f) * selX))]) {
                    p[ri] = static_cast<uint8_t>((p[ri] + 255) / 2);
                    p[1] = static_cast<uint8_t>(p[1] / 2);
                    p[bi] = static_cast<uint8_t>((p[bi] + 255) / 2);
                } else {
                    p[ri] = static_cast<uint8_t>(p[ri] * 0.8f);
                    p[1] = static_cast<uint8_t>(p[1] * 0.8f);
                    p[bi] = static_cast<uint8_t>(p[bi] * 0.8f);
                }
                break;
            default:
                break;
            }
        }
    }
}

void debugView(const TileInputs& in, const Rect& rect, uint8_t* out, size_t stride)
{
    const int ri = in.bgra ? 2 : 0, bi = in.bgra ? 0 : 2;
    const RgbPlanes<uint16_t>& cam = *in.camera;
    for (int y = rect.y0; y < rect.y1; ++y) {
        uint8_t* p = out + (y - rect.y0) * stride;
        for (int x = rect.x0; x < rect.x1; ++x, p += 4) {
            const bool border = x == rect.x0 || y == rect.y0;
            p[ri] = border ? 255 : in.colour->encode(cam.c[0].row(y)[x] / 65535.f);
            p[1] = border ? 0 : in.colour->encode(cam.c[1].row(y)[x] / 65535.f);
            p[bi] = border ? 0 : in.colour->encode(cam.c[2].row(y)[x] / 65535.f);
            p[3] = 255;
        }
    }
}

} // namespace

int linearHalo(const TileInputs& in)
{
    const bool refocus = in.refocus.active() && in.depth;
    return (in.sharpening != 0.f ? 1 : 0) + (refocus ? refocusHalo(in.refocus) : 0);
}

PlaneF depthRegion(const TileInputs& in, const Rect& region)
{
    PlaneF out;
    depthRegion(in, region, out);
    return out;
}

void depthRegion(const TileInputs& in, const Rect& region, PlaneF& out)
{
    out.reset(region.width(), region.height());
    depthRows(in, region, out.row(0), out.stride());
}

void depthRows(const TileInputs& in, const Rect& region, float* first, size_t stride)
{
    const PlaneF& map = *in.depth;
    const float sx = float(map.width()) / in.width(), sy = float(map.height()) / in.height();
    std::vector<int> x0(size_t(region.width())), x1(size_t(region.width()));
    std::vector<float> tx(size_t(region.width()));
    for (int x = region.x0; x < region.x1; ++x) {
        const float fx = std::clamp((x + 0.5f) * sx - 0.5f, 0.f, float(map.width() - 1));
        x0[x - region.x0] = int(fx);
        x1[x - region.x0] = std::min(int(fx) + 1, map.width() - 1);
        tx[x - region.x0] = fx - int(fx);
    }
    for (int y = region.y0; y < region.y1; ++y) {
        const float fy = std::clamp((y + 0.5f) * sy - 0.5f, 0.f, float(map.height() - 1));
        const int ya = int(fy), yb = std::min(ya + 1, map.height() - 1);
        const float ty = fy - ya;
        const float* ra = map.row(ya);
        const float* rb = map.row(yb);
        float* o = first + size_t(y - region.y0) * stride;
        for (int i = 0; i < region.width(); ++i) {
            const float a = ra[x0[i]] + (ra[x1[i]] - ra[x0[i]]) * tx[i];
            const float b = rb[x0[i]] + (rb[x1[i]] - rb[x0[i]]) * tx[i];
            o[i] = a + (b - a) * ty;
        }
    }
}

void renderTile(const TileInputs& in, const Rect& rect, uint8_t* out, size_t stride)
{
    if (rect.empty())
        return;
    if (in.mode == ViewMode::Debug) {
        debugView(in, rect, out, stride);
        return;
    }
    if (!needsRegion(in)) {
        renderRows(in, rect, rect.y0, rect.y1, out, stride);
    } else if (!(in.refocus.active() && in.depth)) {
        sharpenedPixels(in, rect, out, stride);
    } else {
        RgbPlanes<float> lin;
        linearRect(in, rect, lin, true, nullptr);
        for (int y = 0; y < rect.height(); ++y)
            in.colour->encodeRow(
                lin.c[0].row(y), lin.c[1].row(y), lin.c[2].row(y), rect.width(), out + y * stride, in.bgra);
    }
    if (in.mode != ViewMode::Normal)
        overlay(in, rect, out, stride);
}

bool rendersRowByRow(const TileInputs& in)
{
    return in.mode == ViewMode::Normal && !needsRegion(in);
}

void renderRows(const TileInputs& in, const Rect& rect, int y0, int y1, uint8_t* out, size_t stride)
{
    const RgbPlanes<uint16_t>& cam = *in.camera;
    const size_t bytes = size_t(rect.width()) * sizeof(uint16_t);
    for (int y = y0; y < y1; ++y) {
        // A tile's rows are short runs far apart: fetch the one after next while this one works.
        if (y + 2 < rect.y1)
            for (const auto& plane : cam.c) {
                const char* next = reinterpret_cast<const char*>(plane.row(y + 2) + rect.x0);
                for (size_t at = 0; at < bytes; at += 64)
                    __builtin_prefetch(next + at);
            }
        in.colour->toPixels(cam.c[0].row(y) + rect.x0, cam.c[1].row(y) + rect.x0, cam.c[2].row(y) + rect.x0,
            rect.width(), out + size_t(y - y0) * stride, in.bgra);
    }
}

void renderLinear(
    const TileInputs& in, const Rect& rect, RgbPlanes<float>& out, bool tone, LinearScratch* scratch)
{
    linearRect(in, rect, out, tone, scratch);
}

} // namespace CIAPI::render
