#include "ciapi/render/refocus.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace CIAPI::render {

namespace {

constexpr int kMaxLayersEachSide = 7;

// Box blur of radius r along rows: src (W x H) to dst columns [cx0, cx1), all rows.
void boxRows(const float* src, size_t ss, float* dst, size_t ds, int W, int H, int cx0, int cx1, int r)
{
    const float norm = 1.f / float(2 * r + 1);
    for (int y = 0; y < H; ++y) {
        const float* s = src + y * ss;
        float* d = dst + y * ds;
        float acc = 0.f;
        const int a0 = std::max(0, cx0 - r), a1 = std::min(W, cx0 + r + 1);
        for (int x = a0; x < a1; ++x)
            acc += s[x];
        for (int x = cx0; x < cx1; ++x) {
            d[x - cx0] = acc * norm;
            const int add = x + r + 1, sub = x - r;
            if (add < W)
                acc += s[add];
            if (sub >= 0)
                acc -= s[sub];
        }
    }
}

// Box blur of radius r along columns: src (n columns x H rows) to dst rows [cy0, cy1).
void boxCols(const float* src, size_t ss, float* dst, size_t ds, int n, int H, int cy0, int cy1, int r)
{
    const float norm = 1.f / float(2 * r + 1);
    std::vector<float> acc(static_cast<size_t>(n), 0.f);
    const int a0 = std::max(0, cy0 - r), a1 = std::min(H, cy0 + r + 1);
    for (int y = a0; y < a1; ++y) {
        const float* s = src + y * ss;
        for (int x = 0; x < n; ++x)
            acc[x] += s[x];
    }
    for (int y = cy0; y < cy1; ++y) {
        float* d = dst + (y - cy0) * ds;
        for (int x = 0; x < n; ++x)
            d[x] = acc[x] * norm;
        const int add = y + r + 1, sub = y - r;
        if (add < H) {
            const float* s = src + add * ss;
            for (int x = 0; x < n; ++x)
                acc[x] += s[x];
        }
        if (sub >= 0) {
            const float* s = src + sub * ss;
            for (int x = 0; x < n; ++x)
                acc[x] -= s[x];
        }
    }
}

} // namespace

float RefocusSettings::signedRadius(float depth) const
{
    const float nearInv = 1.f / std::max(1e-3f, nearDepth);
    const float farInv = 1.f / std::max(1e-3f, farDepth);
    const float range = std::max(1e-6f, nearInv - farInv);
    const float c = (1.f / std::max(1e-3f, depth) - 1.f / std::max(1e-3f, focusDepth)) / range;
    return std::clamp(c * strength * maxRadius, -maxRadius, maxRadius);
}

int refocusHalo(const RefocusSettings& s)
{
    return s.active() ? static_cast<int>(std::ceil(s.maxRadius)) + 1 : 0;
}

void refocusRegion(const RgbPlanes<float>& in, const PlaneF& depth, const Rect& center,
                   const RefocusSettings& settings, RgbPlanes<float>& out)
{
    const int W = in.width(), H = in.height();
    const int cw = center.width(), ch = center.height();
    // Layer spacing: at most kMaxLayersEachSide layers on each side of the focus.
    const float step = std::max(1.f, settings.maxRadius / kMaxLayersEachSide);
    const int layers = 2 * kMaxLayersEachSide + 1;
    // Signed layer coordinate of every region pixel (signedRadius with its constants hoisted).
    PlaneF pos(W, H);
    float lo = 1e9f, hi = -1e9f;
    const float nearInv = 1.f / std::max(1e-3f, settings.nearDepth);
    const float farInv = 1.f / std::max(1e-3f, settings.farDepth);
    const float range = std::max(1e-6f, nearInv - farInv);
    const float focusInv = 1.f / std::max(1e-3f, settings.focusDepth);
    const float maxRadius = settings.maxRadius;
    for (int y = 0; y < H; ++y) {
        const float* d = depth.row(y);
        float* p = pos.row(y);
        for (int x = 0; x < W; ++x) {
            const float c = (1.f / std::max(1e-3f, d[x]) - focusInv) / range;
            const float radius = std::clamp(c * settings.strength * maxRadius, -maxRadius, maxRadius);
            p[x] = std::clamp(radius / step + kMaxLayersEachSide, 0.f, float(layers - 1));
            lo = std::min(lo, p[x]);
            hi = std::max(hi, p[x]);
        }
    }
    const int firstLayer = static_cast<int>(std::floor(lo));
    const int lastLayer = std::min(layers - 1, static_cast<int>(std::ceil(hi)));

    RgbPlanes<float> acc;
    acc.reset(cw, ch);
    for (auto& p : acc.c)
        p.fill(0.f);
    PlaneF accA(cw, ch);
    accA.fill(0.f);

    // Scratch: premultiplied layer (r, g, b, weight), its horizontal and full blur.
    PlaneF layer[4], hpass[4], blurred[4];
    for (int i = 0; i < 4; ++i) {
        layer[i].reset(W, H);
        hpass[i].reset(cw, H);
        blurred[i].reset(cw, ch);
    }
    // Far (most negative) to near.
    for (int k = firstLayer; k <= lastLayer; ++k) {
        bool any = false;
        for (int y = 0; y < H; ++y) {
            const float* p = pos.row(y);
            float* w = layer[3].row(y);
            float* lr = layer[0].row(y);
            float* lg = layer[1].row(y);
            float* lb = layer[2].row(y);
            const float* r = in.c[0].row(y);
            const float* g = in.c[1].row(y);
            const float* b = in.c[2].row(y);
            for (int x = 0; x < W; ++x) {
                const float wt = std::max(0.f, 1.f - std::fabs(p[x] - float(k)));
                any |= wt > 0.f;
                w[x] = wt;
                lr[x] = r[x] * wt;
                lg[x] = g[x] * wt;
                lb[x] = b[x] * wt;
            }
        }
        if (!any)
            continue;
        const int radius = static_cast<int>(std::lround(std::fabs(float(k - kMaxLayersEachSide)) * step));
        for (int i = 0; i < 4; ++i) {
            if (radius == 0) {
                for (int y = 0; y < ch; ++y)
                    std::copy(layer[i].row(center.y0 + y) + center.x0, layer[i].row(center.y0 + y) + center.x1,
                              blurred[i].row(y));
                continue;
            }
            boxRows(layer[i].row(0), layer[i].stride(), hpass[i].row(0), hpass[i].stride(), W, H, center.x0,
                    center.x1, radius);
            boxCols(hpass[i].row(0), hpass[i].stride(), blurred[i].row(0), blurred[i].stride(), cw, H, center.y0,
                    center.y1, radius);
        }
        for (int y = 0; y < ch; ++y) {
            const float* A = blurred[3].row(y);
            float* aa = accA.row(y);
            for (int c = 0; c < 3; ++c) {
                const float* C = blurred[c].row(y);
                float* o = acc.c[c].row(y);
                for (int x = 0; x < cw; ++x) {
                    const float a = std::min(1.f, A[x]);
                    o[x] = o[x] * (1.f - a) + C[x];
                }
            }
            for (int x = 0; x < cw; ++x) {
                const float a = std::min(1.f, A[x]);
                aa[x] = aa[x] * (1.f - a) + A[x];
            }
        }
    }
    out.reset(cw, ch);
    for (int y = 0; y < ch; ++y) {
        const float* aa = accA.row(y);
        for (int c = 0; c < 3; ++c) {
            const float* a = acc.c[c].row(y);
            float* o = out.c[c].row(y);
            const float* orig = in.c[c].row(center.y0 + y) + center.x0;
            for (int x = 0; x < cw; ++x)
                o[x] = aa[x] > 1e-6f ? a[x] / aa[x] : orig[x];
        }
    }
}

} // namespace CIAPI::render
