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

// Weight of layer k at each pixel (1 at its own position, falling to 0 one layer away).
// Returns whether any weight is above 0.
bool weightRow(const float* p, int n, float k, float* w)
{
    int x = 0;
    bool any = false;
#if defined(__SSE2__)
    const __m128 kk = _mm_set1_ps(k), one = _mm_set1_ps(1.f), zero = _mm_setzero_ps();
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 seen = zero;
    for (; x + 4 <= n; x += 4) {
        const __m128 d = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(p + x), kk), magnitude);
        const __m128 wt = _mm_max_ps(_mm_sub_ps(one, d), zero);
        seen = _mm_or_ps(seen, _mm_cmpgt_ps(wt, zero));
        _mm_storeu_ps(w + x, wt);
    }
    any = _mm_movemask_ps(seen) != 0;
#endif
    for (; x < n; ++x) {
        const float wt = std::max(0.f, 1.f - std::fabs(p[x] - k));
        any |= wt > 0.f;
        w[x] = wt;
    }
    return any;
}

// Lowest and highest of n values, into lo and hi (values that are not numbers are passed over).
void rangeRow(const float* p, int n, float& lo, float& hi)
{
    int x = 0;
#if defined(__SSE2__)
    if (n >= 4) {
        __m128 l = _mm_set1_ps(lo), h = _mm_set1_ps(hi);
        for (; x + 4 <= n; x += 4) {
            const __m128 v = _mm_loadu_ps(p + x);
            l = _mm_min_ps(v, l);
            h = _mm_max_ps(v, h);
        }
        alignas(16) float ls[4], hs[4];
        _mm_store_ps(ls, l);
        _mm_store_ps(hs, h);
        for (int i = 0; i < 4; ++i) {
            lo = std::min(lo, ls[i]);
            hi = std::max(hi, hs[i]);
        }
    }
#endif
    for (; x < n; ++x) {
        lo = std::min(lo, p[x]);
        hi = std::max(hi, p[x]);
    }
}

// Colours premultiplied by the layer's weight.
void multiplyRow(const float* v, const float* w, int n, float* o)
{
    int x = 0;
#if defined(__SSE2__)
    for (; x + 4 <= n; x += 4)
        _mm_storeu_ps(o + x, _mm_mul_ps(_mm_loadu_ps(v + x), _mm_loadu_ps(w + x)));
#endif
    for (; x < n; ++x)
        o[x] = v[x] * w[x];
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
// With `weight`, the samples blurred are src[i] * weight[i] (a colour premultiplied by a
// layer's weight, made as the sums need it rather than stored first); its rows are `ws` apart.
template <bool Product>
void boxRows(const float* src, size_t ss, const float* weight, size_t ws, float* dst, size_t ds, int W, int H,
    int cx0, int cx1, int r)
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
        const float* w0 = Product ? weight + y * ws : nullptr;
        const float* w1 = Product ? w0 + ws : nullptr;
        const float* w2 = Product ? w1 + ws : nullptr;
        const float* w3 = Product ? w2 + ws : nullptr;
        auto at = [](const float* v, const float* w, int i) { return Product ? v[i] * w[i] : v[i]; };
        float* d0 = dst + y * ds - cx0;
        float* d1 = d0 + ds;
        float* d2 = d1 + ds;
        float* d3 = d2 + ds;
        float c0 = 0.f, c1 = 0.f, c2 = 0.f, c3 = 0.f;
        for (int x = a0; x < a1; ++x) {
            c0 += at(s0, w0, x);
            c1 += at(s1, w1, x);
            c2 += at(s2, w2, x);
            c3 += at(s3, w3, x);
        }
        for (int x = cx0; x < cx1; ++x) {
            d0[x] = c0 * norm;
            d1[x] = c1 * norm;
            d2[x] = c2 * norm;
            d3[x] = c3 * norm;
            if (x < addEnd) {
                const int i = x + r + 1;
                c0 += at(s0, w0, i);
                c1 += at(s1, w1, i);
                c2 += at(s2, w2, i);
                c3 += at(s3, w3, i);
            }
            if (x >= subFrom) {
                const int i = x - r;
                c0 -= at(s0, w0, i);
                c1 -= at(s1, w1, i);
                c2 -= at(s2, w2, i);
                c3 -= at(s3, w3, i);
            }
        }
    }
    for (; y < H; ++y) {
        const float* s = src + y * ss;
        const float* w = Product ? weight + y * ws : nullptr;
        auto at = [&](int i) { return Product ? s[i] * w[i] : s[i]; };
        float* d = dst + y * ds;
        float acc = 0.f;
        for (int x = a0; x < a1; ++x)
            acc += at(x);
        for (int x = cx0; x < cx1; ++x) {
            d[x - cx0] = acc * norm;
            const int add = x + r + 1, sub = x - r;
            if (add < W)
                acc += at(add);
            if (sub >= 0)
                acc -= at(sub);
        }
    }
}

// Box blur of radius r along columns: src (n columns x H rows), rows [cy0, cy1) of the result
// one at a time: each is written to target(row) (row counted from cy0), then done(row, values)
// is called with it.
template <class Target, class Done>
void boxCols(const float* src, size_t ss, int n, int H, int cy0, int cy1, int r, Target target, Done done)
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
        float* d = target(y - cy0);
        for (int x = 0; x < n; ++x)
            d[x] = acc[x] * norm;
        done(y - cy0, d);
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

void refocusPositions(const float* depth, int n, const RefocusSettings& settings, float* pos)
{
    // Layer spacing: at most kMaxLayersEachSide layers on each side of the focus.
    const float step = std::max(1.f, settings.maxRadius / kMaxLayersEachSide);
    const int layers = 2 * kMaxLayersEachSide + 1;
    // signedRadius with its constants hoisted.
    const float nearInv = 1.f / std::max(1e-3f, settings.nearDepth);
    const float farInv = 1.f / std::max(1e-3f, settings.farDepth);
    const float range = std::max(1e-6f, nearInv - farInv);
    const float focusInv = 1.f / std::max(1e-3f, settings.focusDepth);
    const float maxRadius = settings.maxRadius;
    for (int x = 0; x < n; ++x) {
        const float c = (1.f / std::max(1e-3f, depth[x]) - focusInv) / range;
        const float radius = std::clamp(c * settings.strength * maxRadius, -maxRadius, maxRadius);
        pos[x] = std::clamp(radius / step + kMaxLayersEachSide, 0.f, float(layers - 1));
    }
}

void refocusLayers(const RgbPlanes<float>& in, const PlaneF& pos, const Rect& region, const Rect& center,
    const RefocusSettings& settings, RgbPlanes<float>& out, int outX, int outY, RefocusScratch& scratch,
    const float* range)
{
    const int W = region.width(), H = region.height();
    const int cw = center.width(), ch = center.height();
    const float step = std::max(1.f, settings.maxRadius / kMaxLayersEachSide);
    const int layers = 2 * kMaxLayersEachSide + 1;
    float lo = 1e9f, hi = -1e9f;
    if (range) {
        lo = range[0];
        hi = range[1];
    } else {
        for (int y = 0; y < H; ++y)
            rangeRow(pos.row(region.y0 + y) + region.x0, W, lo, hi);
    }
    const int firstLayer = static_cast<int>(std::floor(lo));
    const int lastLayer = std::min(layers - 1, static_cast<int>(std::ceil(hi)));

    RgbPlanes<float>& acc = scratch.acc;
    acc.reset(cw, ch);
    for (auto& p : acc.c)
        p.fill(0.f);
    scratch.accWeight.reset(cw, ch);
    scratch.accWeight.fill(0.f);
    // The layer's weight (region pixels), the horizontal pass of a blur (centre columns), the
    // blurred weight (centre) and one row of a blurred colour.
    PlaneF& weight = scratch.weight;
    PlaneF& hpass = scratch.hpass;
    weight.reset(W, H);
    hpass.reset(cw, H);
    scratch.blurredWeight.reset(cw, ch);
    scratch.rowValues.resize(size_t(cw));

    // Far (most negative) to near. A blur of radius r reads the centre and r pixels around it
    // (and one more that its running sums add after the last pixel): only those are made.
    for (int k = firstLayer; k <= lastLayer; ++k) {
        const int radius = static_cast<int>(std::lround(std::fabs(float(k - kMaxLayersEachSide)) * step));
        const Rect reach
            = Rect { center.x0 - radius, center.y0 - radius, center.x1 + radius + 1, center.y1 + radius + 1 }
                  .intersected(Rect { 0, 0, W, H });
        bool any = false;
        for (int y = reach.y0; y < reach.y1; ++y)
            any |= weightRow(pos.row(region.y0 + y) + region.x0 + reach.x0, reach.width(), float(k),
                weight.row(y) + reach.x0);
        if (!any)
            continue;
        // The weight blurred into its plane; then each colour, premultiplied by it on the way,
        // blurred a row at a time and composited at once.
        PlaneF& blurredWeight = scratch.blurredWeight;
        float* rowValues = scratch.rowValues.data();
        auto composite = [&](int c) {
            return [&, c](int y, const float* values) {
                compositeRow(acc.c[c].row(y), values, blurredWeight.row(y), cw);
            };
        };
        if (radius == 0) {
            for (int y = 0; y < ch; ++y)
                std::copy_n(weight.row(center.y0 + y) + center.x0, cw, blurredWeight.row(y));
            for (int c = 0; c < 3; ++c)
                for (int y = 0; y < ch; ++y) {
                    multiplyRow(in.c[c].row(region.y0 + center.y0 + y) + region.x0 + center.x0,
                        weight.row(center.y0 + y) + center.x0, cw, rowValues);
                    composite(c)(y, rowValues);
                }
        } else {
            boxRows<false>(weight.row(reach.y0), weight.stride(), nullptr, 0, hpass.row(reach.y0),
                hpass.stride(), W, reach.height(), center.x0, center.x1, radius);
            boxCols(
                hpass.row(0), hpass.stride(), cw, H, center.y0, center.y1, radius,
                [&](int y) { return blurredWeight.row(y); }, [](int, const float*) {});
            for (int c = 0; c < 3; ++c) {
                boxRows<true>(in.c[c].row(region.y0 + reach.y0) + region.x0, in.c[c].stride(),
                    weight.row(reach.y0), weight.stride(), hpass.row(reach.y0), hpass.stride(), W,
                    reach.height(), center.x0, center.x1, radius);
                boxCols(
                    hpass.row(0), hpass.stride(), cw, H, center.y0, center.y1, radius,
                    [&](int) { return rowValues; }, composite(c));
            }
        }
        for (int y = 0; y < ch; ++y)
            compositeRow(scratch.accWeight.row(y), blurredWeight.row(y), blurredWeight.row(y), cw);
    }
    for (int y = 0; y < ch; ++y) {
        const float* aa = scratch.accWeight.row(y);
        for (int c = 0; c < 3; ++c) {
            const float* a = acc.c[c].row(y);
            float* o = out.c[c].row(outY + y) + outX;
            resolveRow(a, aa, in.c[c].row(region.y0 + center.y0 + y) + region.x0 + center.x0, cw, o);
        }
    }
}

double refocusCost(
    const PlaneF& pos, const Rect& region, const Rect& center, const RefocusSettings& settings, float* range)
{
    const float step = std::max(1.f, settings.maxRadius / kMaxLayersEachSide);
    const int layers = 2 * kMaxLayersEachSide + 1;
    float lo = 1e9f, hi = -1e9f;
    for (int y = region.y0; y < region.y1; ++y)
        rangeRow(pos.row(y) + region.x0, region.width(), lo, hi);
    if (range) {
        range[0] = lo;
        range[1] = hi;
    }
    const int firstLayer = static_cast<int>(std::floor(lo));
    const int lastLayer = std::min(layers - 1, static_cast<int>(std::ceil(hi)));
    double cost = 0;
    for (int k = firstLayer; k <= lastLayer; ++k) {
        const int r = static_cast<int>(std::lround(std::fabs(float(k - kMaxLayersEachSide)) * step));
        cost += double(std::min(region.width(), center.width() + 2 * r))
            * std::min(region.height(), center.height() + 2 * r);
    }
    return cost;
}

void refocusRegion(const RgbPlanes<float>& in, const PlaneF& depth, const Rect& center,
    const RefocusSettings& settings, RgbPlanes<float>& out, RefocusScratch* scratch)
{
    // Without the caller's planes, planes kept per thread and reused region after region.
    thread_local RefocusScratch own;
    RefocusScratch& s = scratch ? *scratch : own;
    const int W = in.width(), H = in.height();
    s.pos.reset(W, H);
    for (int y = 0; y < H; ++y)
        refocusPositions(depth.row(y), W, settings, s.pos.row(y));
    out.reset(center.width(), center.height());
    refocusLayers(in, s.pos, Rect { 0, 0, W, H }, center, settings, out, 0, 0, s);
}

} // namespace CIAPI::render
