#include "ciapi/render/refocus.h"

#include <algorithm>
#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace CIAPI::render {

namespace {

constexpr int kMaxLayersEachSide = 7;

// The per-pixel loops below go four at a time with the scalar steps in the same order
// (std::max(a, b) is max_ps(b, a) and std::min(a, b) is min_ps(b, a)), so the result is bit
// for bit the scalar one; the scalar loop finishes each row.

// Weight of layer k at each pixel (1 at its own position, falling to 0 one layer away) and the
// colours premultiplied by it. Returns whether any weight is above 0.
bool layerRow(const float* p, const float* r, const float* g, const float* b, int W, float k, float* w,
    float* lr, float* lg, float* lb)
{
    int x = 0;
    bool any = false;
#if defined(__SSE2__)
    const __m128 kk = _mm_set1_ps(k), one = _mm_set1_ps(1.f), zero = _mm_setzero_ps();
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 seen = zero;
    for (; x + 4 <= W; x += 4) {
        const __m128 d = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(p + x), kk), magnitude);
        const __m128 wt = _mm_max_ps(_mm_sub_ps(one, d), zero);
        seen = _mm_or_ps(seen, _mm_cmpgt_ps(wt, zero));
        _mm_storeu_ps(w + x, wt);
        _mm_storeu_ps(lr + x, _mm_mul_ps(_mm_loadu_ps(r + x), wt));
        _mm_storeu_ps(lg + x, _mm_mul_ps(_mm_loadu_ps(g + x), wt));
        _mm_storeu_ps(lb + x, _mm_mul_ps(_mm_loadu_ps(b + x), wt));
    }
    any = _mm_movemask_ps(seen) != 0;
#endif
    for (; x < W; ++x) {
        const float wt = std::max(0.f, 1.f - std::fabs(p[x] - k));
        any |= wt > 0.f;
        w[x] = wt;
        lr[x] = r[x] * wt;
        lg[x] = g[x] * wt;
        lb[x] = b[x] * wt;
    }
    return any;
}

// Over-compositing of one blurred layer row: o = o * (1 - min(1, A)) + C.
void compositeRow(float* o, const float* C, const float* A, int n)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128 one = _mm_set1_ps(1.f);
    for (; x + 4 <= n; x += 4) {
        const __m128 a = _mm_min_ps(_mm_loadu_ps(A + x), one);
        _mm_storeu_ps(
            o + x, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(o + x), _mm_sub_ps(one, a)), _mm_loadu_ps(C + x)));
    }
#endif
    for (; x < n; ++x) {
        const float a = std::min(1.f, A[x]);
        o[x] = o[x] * (1.f - a) + C[x];
    }
}

// The composite divided by its coverage; where nothing covered a pixel, the pixel itself.
void resolveRow(const float* a, const float* aa, const float* orig, int n, float* o)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128 eps = _mm_set1_ps(1e-6f);
    for (; x + 4 <= n; x += 4) {
        const __m128 cover = _mm_loadu_ps(aa + x);
        const __m128 covered = _mm_cmpgt_ps(cover, eps);
        const __m128 q = _mm_div_ps(_mm_loadu_ps(a + x), cover); // not used where uncovered
        _mm_storeu_ps(
            o + x, _mm_or_ps(_mm_and_ps(covered, q), _mm_andnot_ps(covered, _mm_loadu_ps(orig + x))));
    }
#endif
    for (; x < n; ++x)
        o[x] = aa[x] > 1e-6f ? a[x] / aa[x] : orig[x];
}

// Box blur of radius r along rows: src (W x H) to dst columns [cx0, cx1), all rows. Each row
// is a running sum, one long chain of additions; four rows go side by side so that their
// chains overlap (each row's sums are the same as alone).
void boxRows(const float* src, size_t ss, float* dst, size_t ds, int W, int H, int cx0, int cx1, int r)
{
    const float norm = 1.f / float(2 * r + 1);
    const int a0 = std::max(0, cx0 - r), a1 = std::min(W, cx0 + r + 1);
    // Columns [cx0, addEnd) add a sample ahead (x + r + 1 < W); [subFrom, cx1) drop one behind (x - r >= 0).
    const int addEnd = std::clamp(W - r - 1, cx0, cx1);
    const int subFrom = std::clamp(r, cx0, cx1);
    int y = 0;
    for (; y + 4 <= H; y += 4) {
        const float* s0 = src + y * ss;
        const float* s1 = s0 + ss;
        const float* s2 = s1 + ss;
        const float* s3 = s2 + ss;
        float* d0 = dst + y * ds - cx0;
        float* d1 = d0 + ds;
        float* d2 = d1 + ds;
        float* d3 = d2 + ds;
        float c0 = 0.f, c1 = 0.f, c2 = 0.f, c3 = 0.f;
        for (int x = a0; x < a1; ++x) {
            c0 += s0[x];
            c1 += s1[x];
            c2 += s2[x];
            c3 += s3[x];
        }
        for (int x = cx0; x < cx1; ++x) {
            d0[x] = c0 * norm;
            d1[x] = c1 * norm;
            d2[x] = c2 * norm;
            d3[x] = c3 * norm;
            if (x < addEnd) {
                const int i = x + r + 1;
                c0 += s0[i];
                c1 += s1[i];
                c2 += s2[i];
                c3 += s3[i];
            }
            if (x >= subFrom) {
                const int i = x - r;
                c0 -= s0[i];
                c1 -= s1[i];
                c2 -= s2[i];
                c3 -= s3[i];
            }
        }
    }
    for (; y < H; ++y) {
        const float* s = src + y * ss;
        float* d = dst + y * ds;
        float acc = 0.f;
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
    // Scratch planes are kept per thread and reused region after region.
    thread_local PlaneF pos;
    pos.reset(W, H);
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

    thread_local RgbPlanes<float> acc;
    acc.reset(cw, ch);
    for (auto& p : acc.c)
        p.fill(0.f);
    thread_local PlaneF accA;
    accA.reset(cw, ch);
    accA.fill(0.f);

    // Scratch: premultiplied layer (r, g, b, weight), its horizontal and full blur.
    thread_local PlaneF layer[4], hpass[4], blurred[4];
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
            any |= layerRow(p, in.c[0].row(y), in.c[1].row(y), in.c[2].row(y), W, float(k), w, lr, lg, lb);
        }
        if (!any)
            continue;
        const int radius = static_cast<int>(std::lround(std::fabs(float(k - kMaxLayersEachSide)) * step));
        for (int i = 0; i < 4; ++i) {
            if (radius == 0) {
                for (int y = 0; y < ch; ++y)
                    std::copy(layer[i].row(center.y0 + y) + center.x0,
                        layer[i].row(center.y0 + y) + center.x1, blurred[i].row(y));
                continue;
            }
            boxRows(layer[i].row(0), layer[i].stride(), hpass[i].row(0), hpass[i].stride(), W, H, center.x0,
                center.x1, radius);
            boxCols(hpass[i].row(0), hpass[i].stride(), blurred[i].row(0), blurred[i].stride(), cw, H,
                center.y0, center.y1, radius);
        }
        for (int y = 0; y < ch; ++y) {
            const float* A = blurred[3].row(y);
            float* aa = accA.row(y);
            for (int c = 0; c < 3; ++c)
                compositeRow(acc.c[c].row(y), blurred[c].row(y), A, cw);
            compositeRow(aa, A, A, cw);
        }
    }
    out.reset(cw, ch);
    for (int y = 0; y < ch; ++y) {
        const float* aa = accA.row(y);
        for (int c = 0; c < 3; ++c) {
            const float* a = acc.c[c].row(y);
            float* o = out.c[c].row(y);
            resolveRow(a, aa, in.c[c].row(center.y0 + y) + center.x0, cw, o);
        }
    }
}

} // namespace CIAPI::render
