#include "ciapi/render/rawdevelop.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "ciapi/render/workerpool.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace CIAPI::render {

namespace {

inline int mirror(int v, int n)
{
    if (n == 1)
        return 0;
    // Mirroring about the first and last sample keeps the filter-cell parity.
    while (v < 0 || v >= n) {
        if (v < 0)
            v = -v;
        if (v >= n)
            v = 2 * (n - 1) - v;
    }
    return v;
}

inline uint16_t toU16(float v)
{
    v = v * 65535.f + 0.5f;
    v = v < 0.f ? 0.f : (v > 65535.f ? 65535.f : v);
    return static_cast<uint16_t>(v);
}

constexpr int kBand = 32;

// Gradient-corrected bilinear demosaic of mosaic rows [ry0, ry1) and columns [rx0, rx1)
// into float planes (rows 0.. of `out` correspond to ry0..).
void demosaicBand(const PlaneF& mosaic, const CfaLayout& cfa, int rx0, int rx1, int ry0, int ry1, float* outR,
    float* outG, float* outB, size_t outStride)
{
    const int w = rx1 - rx0;
    const int pw = w + 4;
    const int ph = (ry1 - ry0) + 4;
    std::vector<float> pad(static_cast<size_t>(pw) * ph);
    for (int py = 0; py < ph; ++py) {
        const float* src = mosaic.row(mirror(ry0 + py - 2, mosaic.height()));
        float* dst = &pad[static_cast<size_t>(py) * pw];
        for (int px = 0; px < pw; ++px)
            dst[px] = src[mirror(rx0 + px - 2, mosaic.width())];
    }
    const int s = pw;
    for (int y = ry0; y < ry1; ++y) {
        const float* c = &pad[static_cast<size_t>(y - ry0 + 2) * pw + 2];
        float* o[3]
            = { outR + (y - ry0) * outStride, outG + (y - ry0) * outStride, outB + (y - ry0) * outStride };
        for (int i = 0; i < w; ++i, ++c) {
            const int x = rx0 + i;
            const int col = cfa[(y & 1) * 2 + (x & 1)];
            const float v = c[0];
            const float n4 = c[-1] + c[1] + c[-s] + c[s];
            const float far4 = c[-2] + c[2] + c[-2 * s] + c[2 * s];
            const float diag = c[-s - 1] + c[-s + 1] + c[s - 1] + c[s + 1];
            if (col == 1) {
                // Green site: which neighbours are red and which are blue.
                const int hcol = cfa[(y & 1) * 2 + ((x + 1) & 1)];
                const float hz = c[-1] + c[1];
                const float vt = c[-s] + c[s];
                const float h
                    = (5.f * v - c[-2] - c[2] - diag + 0.5f * (c[-2 * s] + c[2 * s]) + 4.f * hz) * 0.125f;
                const float vv
                    = (5.f * v - c[-2 * s] - c[2 * s] - diag + 0.5f * (c[-2] + c[2]) + 4.f * vt) * 0.125f;
                o[1][i] = v;
                o[hcol][i] = h;
                o[2 - hcol][i] = vv;
            } else {
                const float g = (4.f * v - far4 + 2.f * n4) * 0.125f;
                const float other = (6.f * v - 1.5f * far4 + 2.f * diag) * 0.125f;
                o[col][i] = v;
                o[1][i] = g;
                o[2 - col][i] = other;
            }
        }
    }
}

} // namespace

ColumnWeights::ColumnWeights(int sw, int W)
    : x0(size_t(W))
    , x1(size_t(W))
    , tx(size_t(W))
{
    const float sx = float(sw) / W;
    for (int x = 0; x < W; ++x) {
        const float fx = std::clamp((x + 0.5f) * sx - 0.5f, 0.f, float(sw - 1));
        x0[size_t(x)] = int(fx);
        x1[size_t(x)] = std::min(int(fx) + 1, sw - 1);
        tx[size_t(x)] = fx - int(fx);
    }
}

namespace {

// One level row of the bilinear resampling: source rows r0 and r1 weighed by ty.
void resampleRow(const float* r0, const float* r1, float ty, const ColumnWeights& cols, uint16_t* out)
{
    const int W = int(cols.tx.size());
    for (int x = 0; x < W; ++x) {
        const int x0 = cols.x0[size_t(x)], x1 = cols.x1[size_t(x)];
        const float tx = cols.tx[size_t(x)];
        const float a = r0[x0] + (r0[x1] - r0[x0]) * tx;
        const float b = r1[x0] + (r1[x1] - r1[x0]) * tx;
        out[x] = toU16(a + (b - a) * ty);
    }
}

// The two source rows and the weight of level row y.
struct SourceRows
{
    int y0, y1;
    float ty;
};
SourceRows sourceRowsOf(int y, int sh, int H)
{
    const float sy = float(sh) / H;
    const float fy = std::clamp((y + 0.5f) * sy - 0.5f, 0.f, float(sh - 1));
    const int y0 = int(fy);
    return { y0, std::min(y0 + 1, sh - 1), fy - y0 };
}

void resampleBilinear(const RgbPlanes<float>& src, RgbPlanes<uint16_t>& dst)
{
    const int W = dst.width(), H = dst.height();
    const ColumnWeights cols(src.width(), W);
    WorkerPool::instance().parallelFor((H + kBand - 1) / kBand, [&](int band) {
        for (int y = band * kBand; y < std::min(H, (band + 1) * kBand); ++y) {
            const SourceRows r = sourceRowsOf(y, src.height(), H);
            for (int ch = 0; ch < 3; ++ch)
                resampleRow(src.c[ch].row(r.y0), src.c[ch].row(r.y1), r.ty, cols, dst.c[ch].row(y));
        }
    });
}

// Averages the samples of each colour inside every level pixel's footprint. `rowOf(y, scratch)`
// gives mosaic row y (mirrored into the mosaic already), in `scratch` or elsewhere.
template <typename RowOf>
void binRows(int mosaicWidth, int mosaicHeight, const CfaLayout& cfa, const Rect& source,
    RgbPlanes<uint16_t>& dst, const RowOf& rowOf)
{
    const int W = dst.width(), H = dst.height();
    const double fx = double(source.width()) / W, fy = double(source.height()) / H;
    std::vector<int> xs(static_cast<size_t>(W) + 1);
    for (int x = 0; x <= W; ++x)
        xs[x] = source.x0 + std::min(source.width(), int(std::lround(x * fx)));
    std::vector<int> xe(static_cast<size_t>(W));
    for (int x = 0; x < W; ++x)
        xe[x] = std::max(xs[x + 1], xs[x] + 2); // every colour at least once
    // Each row holds two colours, one on even and one on odd columns: a footprint's sums of
    // each colour are then sums over every other sample, in the same order as one pass.
    const bool twoColoursARow = cfa[0] != cfa[1] && cfa[2] != cfa[3];
    WorkerPool::instance().parallelFor((H + kBand - 1) / kBand, [&](int band) {
        std::vector<float> sum(static_cast<size_t>(W) * 3);
        std::vector<int> cnt(static_cast<size_t>(W) * 3);
        std::vector<float> scratch;
        for (int y = band * kBand; y < std::min(H, (band + 1) * kBand); ++y) {
            const int ya = source.y0 + std::min(source.height(), int(std::lround(y * fy)));
            int yb = source.y0 + std::min(source.height(), int(std::lround((y + 1) * fy)));
            yb = std::max(yb, ya + 2); // every colour at least once
            std::fill(sum.begin(), sum.end(), 0.f);
            std::fill(cnt.begin(), cnt.end(), 0);
            for (int sy = ya; sy < yb; ++sy) {
                const float* row = rowOf(mirror(sy, mosaicHeight), scratch);
                const int* rowCfa = &cfa[(sy & 1) * 2];
                for (int x = 0; x < W; ++x) {
                    const int xa = xs[x];
                    const int xb = xe[x];
                    if (twoColoursARow && xb <= mosaicWidth) {
                        float a0 = 0.f, a1 = 0.f;
                        int sx = xa;
                        for (; sx + 1 < xb; sx += 2) {
                            a0 += row[sx];
                            a1 += row[sx + 1];
                        }
                        if (sx < xb)
                            a0 += row[sx];
                        const int c0 = rowCfa[xa & 1], c1 = rowCfa[(xa + 1) & 1];
                        sum[x * 3 + c0] += a0;
                        cnt[x * 3 + c0] += (xb - xa + 1) / 2;
                        sum[x * 3 + c1] += a1;
                        cnt[x * 3 + c1] += (xb - xa) / 2;
                        continue;
                    }
                    float acc[3] = { 0.f, 0.f, 0.f };
                    int n[3] = { 0, 0, 0 };
                    for (int sx = xa; sx < xb; ++sx) {
                        const int col = rowCfa[sx & 1];
                        acc[col] += row[mirror(sx, mosaicWidth)];
                        ++n[col];
                    }
                    for (int ch = 0; ch < 3; ++ch) {
                        sum[x * 3 + ch] += acc[ch];
                        cnt[x * 3 + ch] += n[ch];
                    }
                }
            }
            for (int ch = 0; ch < 3; ++ch) {
                uint16_t* out = dst.c[ch].row(y);
                for (int x = 0; x < W; ++x) {
                    const int n = cnt[x * 3 + ch];
                    out[x] = toU16(n ? sum[x * 3 + ch] / n : 0.f);
                }
            }
        }
    });
}

void binLevel(const PlaneF& mosaic, const CfaLayout& cfa, const Rect& source, RgbPlanes<uint16_t>& dst)
{
    binRows(mosaic.width(), mosaic.height(), cfa, source, dst,
        [&](int y, std::vector<float>&) { return mosaic.row(y); });
}

// The scale and black level finish() applies to the frames' sums.
struct Finishing
{
    float scale;
    float blackSum;
    Finishing(const SensorLevels& levels, int frameCount)
    {
        const float frames = float(frameCount);
        scale = 1.f / ((levels.white - levels.black) * frames);
        blackSum = levels.black * frames;
    }
};

// One row of frame sums finished: max(0, (sum - blackSum) * gain), g0 on even and g1 on
// odd columns. The vector steps make the scalar operations in the same order.
template <typename T> void finishRow(const T* src, int w, float blackSum, float g0, float g1, float* dst)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128 gains = _mm_setr_ps(g0, g1, g0, g1);
    const __m128 black = _mm_set1_ps(blackSum);
    const __m128 zero = _mm_setzero_ps();
    for (; x + 4 <= w; x += 4) {
        __m128i v;
        if constexpr (sizeof(T) == 2)
            v = _mm_unpacklo_epi16(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x)), _mm_setzero_si128());
        else
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x)); // sums below 2^24
        const __m128 f = _mm_mul_ps(_mm_sub_ps(_mm_cvtepi32_ps(v), black), gains);
        _mm_storeu_ps(dst + x, _mm_max_ps(f, zero)); // max(f, 0): 0 for NaN, as std::max(0, f)
    }
#endif
    for (; x < w; ++x)
        dst[x] = std::max(0.f, (float(src[x]) - blackSum) * ((x & 1) ? g1 : g0));
}

constexpr HotPixel kNeighbours[8]
    = { { -2, 0 }, { 2, 0 }, { 0, -2 }, { 0, 2 }, { -2, -2 }, { 2, 2 }, { -2, 2 }, { 2, -2 } };

} // namespace

MosaicAccumulator::MosaicAccumulator(int width, int height)
    : m_width(width)
    , m_height(height)
{
    if (width <= 0 || height <= 0)
        throw std::runtime_error("No raw frames to render");
    if (size_t(width) * size_t(height) > (size_t(1) << 28))
        throw std::runtime_error("Raw frames too large");
}

uint16_t* MosaicAccumulator::nextFrame()
{
    if (m_frames == 256)
        throw std::runtime_error("Too many raw frames");
    // Not zero filled: a frame is written whole before it is committed.
    std::unique_ptr<uint16_t[]>& room = m_frames == 0 ? m_first : m_next;
    if (!room)
        room.reset(new uint16_t[size_t(m_width) * size_t(m_height)]);
    return room.get();
}

void MosaicAccumulator::commit()
{
    commit(nullptr);
}

void MosaicAccumulator::commit(const uint16_t* frame)
{
    if (m_frames == 0) {
        if (frame)
            std::copy_n(frame, size_t(m_width) * size_t(m_height), nextFrame());
        m_frames = 1;
        return;
    }
    if (m_frames == 256)
        throw std::runtime_error("Too many raw frames");
    const int w = m_width, h = m_height;
    const bool second = !m_sum;
    if (second)
        m_sum.reset(new uint32_t[size_t(w) * size_t(h)]);
    WorkerPool::instance().parallelFor((h + kBand - 1) / kBand, [&](int band) {
        const size_t i0 = size_t(band) * kBand * size_t(w);
        const size_t i1 = size_t(std::min(h, (band + 1) * kBand)) * size_t(w);
        const uint16_t* src = frame ? frame : m_next.get();
        uint32_t* acc = m_sum.get();
        if (second && m_second) {
            const uint16_t* first = m_first.get();
            const uint16_t* kept = m_second.get();
            for (size_t i = i0; i < i1; ++i)
                acc[i] = uint32_t(first[i]) + kept[i] + src[i];
        } else if (second) {
            const uint16_t* first = m_first.get();
            for (size_t i = i0; i < i1; ++i)
                acc[i] = uint32_t(first[i]) + src[i];
        } else {
            for (size_t i = i0; i < i1; ++i)
                acc[i] += src[i];
        }
    });
    if (second) {
        m_first.reset();
        m_second.reset();
    }
    ++m_frames;
}

void MosaicAccumulator::adopt(std::unique_ptr<uint16_t[]> frame)
{
    if (!frame)
        throw std::logic_error("No frame to add");
    if (m_frames == 0) {
        m_first = std::move(frame);
        m_frames = 1;
        return;
    }
    if (m_frames == 1) {
        m_second = std::move(frame);
        m_frames = 2;
        return;
    }
    commit(frame.get());
}

void MosaicAccumulator::finishSamples(size_t at, float blackSum, float g0, float g1, float* dst) const
{
    const int w = m_width;
    if (m_sum) {
        finishRow(m_sum.get() + at, w, blackSum, g0, g1, dst);
    } else if (m_second) {
        // The two frames' sums of this row, as the sums' plane would hold them.
        thread_local std::vector<uint32_t> sums;
        sums.resize(size_t(w));
        const uint16_t* a = m_first.get() + at;
        const uint16_t* b = m_second.get() + at;
        for (int x = 0; x < w; ++x)
            sums[size_t(x)] = uint32_t(a[x]) + b[x];
        finishRow(sums.data(), w, blackSum, g0, g1, dst);
    } else {
        finishRow(m_first.get() + at, w, blackSum, g0, g1, dst);
    }
}

void MosaicAccumulator::add(const RawFrameView& f)
{
    const int w = m_width, h = m_height;
    if (f.width != w || f.height != h || !f.data || f.stride < size_t(w))
        throw std::runtime_error("Raw frames differ in size");
    uint16_t* dst = nextFrame();
    for (int y = 0; y < h; ++y)
        std::copy_n(f.data + size_t(y) * f.stride, w, dst + size_t(y) * size_t(w));
    commit();
}

void MosaicAccumulator::check(const SensorLevels& levels) const
{
    if (m_frames == 0)
        throw std::runtime_error("No raw frames to render");
    if (!(levels.white > levels.black))
        throw std::runtime_error("Bad sensor white level");
}

PlaneF MosaicAccumulator::finish(
    const CfaLayout& cfa, const SensorLevels& levels, const std::vector<HotPixel>& hotPixels) const
{
    check(levels);
    const int w = m_width, h = m_height;
    const Finishing k(levels, m_frames);
    PlaneF out(w, h);
    WorkerPool::instance().parallelFor((h + kBand - 1) / kBand, [&](int band) {
        for (int y = band * kBand; y < std::min(h, (band + 1) * kBand); ++y) {
            const float g0 = levels.gains[cfa[(y & 1) * 2]] * k.scale;
            const float g1 = levels.gains[cfa[(y & 1) * 2 + 1]] * k.scale;
            finishSamples(size_t(y) * size_t(w), k.blackSum, g0, g1, out.row(y));
        }
    });
    // Hot pixels: the mean of the same-colour neighbours two samples away that are not hot
    // themselves (so no repaired pixel is read: the order of the repairs does not matter). The
    // set of them sorted, rather than a flag for every sample of the mosaic to fill first.
    std::vector<uint64_t> hot;
    for (const HotPixel& p : hotPixels)
        if (p.x >= 0 && p.y >= 0 && p.x < w && p.y < h)
            hot.push_back(uint64_t(p.y) * uint64_t(w) + uint64_t(p.x));
    std::sort(hot.begin(), hot.end());
    const auto isHot = [&](int x, int y) {
        return std::binary_search(hot.begin(), hot.end(), uint64_t(y) * uint64_t(w) + uint64_t(x));
    };
    for (const HotPixel& p : hotPixels) {
        if (p.x < 0 || p.y < 0 || p.x >= w || p.y >= h)
            continue;
        float sum = 0.f;
        int n = 0;
        for (const HotPixel& o : kNeighbours) {
            const int x = p.x + o.x, y = p.y + o.y;
            if (x < 0 || y < 0 || x >= w || y >= h || isHot(x, y))
                continue;
            sum += out.at(x, y);
            ++n;
        }
        if (n)
            out.at(p.x, p.y) = sum / n;
    }
    return out;
}

RgbPlanes<uint16_t> MosaicAccumulator::bin(const CfaLayout& cfa, const SensorLevels& levels,
    const std::vector<HotPixel>& hotPixels, const Rect& source, int width, int height) const
{
    check(levels);
    const Rect whole { 0, 0, m_width, m_height };
    if (width <= 0 || height <= 0 || source.empty() || !(source.intersected(whole) == source)
        || !levelBins(source, width))
        throw std::runtime_error("Bad level geometry");
    const int w = m_width, h = m_height;
    const Finishing k(levels, m_frames);
    // The finished value of one sample, as finish() computes it.
    const auto value = [&](int x, int y) {
        const float g = levels.gains[cfa[(y & 1) * 2 + (x & 1)]] * k.scale;
        return std::max(0.f, (float(sample(size_t(y) * size_t(w) + size_t(x))) - k.blackSum) * g);
    };
    // The listed pixels inside the mosaic, by row, and the set of them for the neighbour test.
    std::vector<uint64_t> hot;
    for (const HotPixel& p : hotPixels)
        if (p.x >= 0 && p.y >= 0 && p.x < w && p.y < h)
            hot.push_back(uint64_t(p.y) * uint64_t(w) + uint64_t(p.x));
    std::sort(hot.begin(), hot.end());
    hot.erase(std::unique(hot.begin(), hot.end()), hot.end());
    const auto isHot = [&](int x, int y) {
        return std::binary_search(hot.begin(), hot.end(), uint64_t(y) * uint64_t(w) + uint64_t(x));
    };
    RgbPlanes<uint16_t> out;
    out.reset(width, height);
    binRows(w, h, cfa, source, out, [&](int y, std::vector<float>& row) -> const float* {
        row.resize(size_t(w));
        const float g0 = levels.gains[cfa[(y & 1) * 2]] * k.scale;
        const float g1 = levels.gains[cfa[(y & 1) * 2 + 1]] * k.scale;
        const size_t at = size_t(y) * size_t(w);
        float* dst = row.data();
        finishSamples(at, k.blackSum, g0, g1, dst);
        // This row's listed pixels, repaired as finish() repairs them.
        auto it = std::lower_bound(hot.begin(), hot.end(), at);
        for (; it != hot.end() && *it < at + size_t(w); ++it) {
            const int px = int(*it - at);
            float sum = 0.f;
            int n = 0;
            for (const HotPixel& o : kNeighbours) {
                const int x = px + o.x, yy = y + o.y;
                if (x < 0 || yy < 0 || x >= w || yy >= h || isHot(x, yy))
                    continue;
                sum += value(x, yy);
                ++n;
            }
            if (n)
                dst[px] = sum / n;
        }
        return dst;
    });
    return out;
}

bool levelBins(const Rect& source, int width)
{
    return width > 0 && double(source.width()) / width >= 1.5;
}

RgbPlanes<uint16_t> developLevel(
    const PlaneF& mosaic, const CfaLayout& cfa, const Rect& source, int width, int height)
{
    const Rect whole { 0, 0, mosaic.width(), mosaic.height() };
    if (width <= 0 || height <= 0 || source.empty() || !(source.intersected(whole) == source))
        throw std::runtime_error("Bad level geometry");
    RgbPlanes<uint16_t> out;
    out.reset(width, height);
    if (levelBins(source, width)) {
        binLevel(mosaic, cfa, source, out);
        return out;
    }
    const int sw = source.width(), sh = source.height();
    if (sw == width && sh == height) {
        WorkerPool::instance().parallelFor((sh + kBand - 1) / kBand, [&](int band) {
            const int y0 = source.y0 + band * kBand;
            const int y1 = std::min(source.y1, y0 + kBand);
            const size_t bs = (static_cast<size_t>(sw) + 15) & ~size_t(15);
            std::vector<float> tmp(bs * kBand * 3);
            demosaicBand(mosaic, cfa, source.x0, source.x1, y0, y1, tmp.data(), tmp.data() + bs * kBand,
                tmp.data() + 2 * bs * kBand, bs);
            for (int ch = 0; ch < 3; ++ch)
                for (int y = y0; y < y1; ++y) {
                    const float* s = tmp.data() + ch * bs * kBand + (y - y0) * bs;
                    uint16_t* d = out.c[ch].row(y - source.y0);
                    for (int x = 0; x < sw; ++x)
                        d[x] = toU16(s[x]);
                }
        });
        return out;
    }
    RgbPlanes<float> full;
    full.reset(sw, sh);
    WorkerPool::instance().parallelFor((sh + kBand - 1) / kBand, [&](int band) {
        const int y0 = source.y0 + band * kBand;
        const int y1 = std::min(source.y1, y0 + kBand);
        demosaicBand(mosaic, cfa, source.x0, source.x1, y0, y1, full.c[0].row(y0 - source.y0),
            full.c[1].row(y0 - source.y0), full.c[2].row(y0 - source.y0), full.c[0].stride());
    });
    resampleBilinear(full, out);
    return out;
}

LevelRows::LevelRows(
    std::shared_ptr<const PlaneF> mosaic, const CfaLayout& cfa, const Rect& source, int width, int height)
    : m_mosaic(std::move(mosaic))
    , m_cfa(cfa)
    , m_source(source)
    , m_width(width)
    , m_height(height)
{
    const Rect whole { 0, 0, m_mosaic->width(), m_mosaic->height() };
    if (width <= 0 || height <= 0 || source.empty() || !(source.intersected(whole) == source))
        throw std::runtime_error("Bad level geometry");
    m_sameSize = source.width() == width && source.height() == height;
    if (!m_sameSize)
        m_columns = ColumnWeights(source.width(), width);
}

bool LevelRows::streams() const
{
    return !levelBins(m_source, m_width);
}

void LevelRows::develop(int y0, int y1, RgbPlanes<uint16_t>& out, int outRow) const
{
    const int sw = m_source.width(), sh = m_source.height();
    // Demosaiced source rows [m0, m1) this range reads.
    const int m0 = m_sameSize ? y0 : sourceRowsOf(y0, sh, m_height).y0;
    const int m1 = m_sameSize ? y1 : sourceRowsOf(y1 - 1, sh, m_height).y1 + 1;
    const size_t bs = (static_cast<size_t>(sw) + 15) & ~size_t(15);
    const size_t rows = size_t(m1 - m0);
    thread_local std::vector<float> tmp;
    tmp.resize(bs * rows * 3);
    float* planes[3] = { tmp.data(), tmp.data() + bs * rows, tmp.data() + 2 * bs * rows };
    demosaicBand(*m_mosaic, m_cfa, m_source.x0, m_source.x1, m_source.y0 + m0, m_source.y0 + m1, planes[0],
        planes[1], planes[2], bs);
    for (int y = y0; y < y1; ++y)
        for (int ch = 0; ch < 3; ++ch) {
            uint16_t* d = out.c[ch].row(outRow + y - y0);
            if (m_sameSize) {
                const float* src = planes[ch] + size_t(y - m0) * bs;
                for (int x = 0; x < sw; ++x)
                    d[x] = toU16(src[x]);
            } else {
                const SourceRows r = sourceRowsOf(y, sh, m_height);
                resampleRow(planes[ch] + size_t(r.y0 - m0) * bs, planes[ch] + size_t(r.y1 - m0) * bs, r.ty,
                    m_columns, d);
            }
        }
}

} // namespace CIAPI::render
