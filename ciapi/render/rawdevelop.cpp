#include "ciapi/render/rawdevelop.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "ciapi/render/workerpool.h"

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

void binLevel(const PlaneF& mosaic, const CfaLayout& cfa, const Rect& source, RgbPlanes<uint16_t>& dst)
{
    const int W = dst.width(), H = dst.height();
    const double fx = double(source.width()) / W, fy = double(source.height()) / H;
    std::vector<int> xs(static_cast<size_t>(W) + 1);
    for (int x = 0; x <= W; ++x)
        xs[x] = source.x0 + std::min(source.width(), int(std::lround(x * fx)));
    WorkerPool::instance().parallelFor((H + kBand - 1) / kBand, [&](int band) {
        std::vector<float> sum(static_cast<size_t>(W) * 3);
        std::vector<int> cnt(static_cast<size_t>(W) * 3);
        for (int y = band * kBand; y < std::min(H, (band + 1) * kBand); ++y) {
            const int ya = source.y0 + std::min(source.height(), int(std::lround(y * fy)));
            int yb = source.y0 + std::min(source.height(), int(std::lround((y + 1) * fy)));
            yb = std::max(yb, ya + 2); // every colour at least once
            std::fill(sum.begin(), sum.end(), 0.f);
            std::fill(cnt.begin(), cnt.end(), 0);
            for (int sy = ya; sy < yb; ++sy) {
                const float* row = mosaic.row(mirror(sy, mosaic.height()));
                const int* rowCfa = &cfa[(sy & 1) * 2];
                for (int x = 0; x < W; ++x) {
                    const int xa = xs[x];
                    const int xb = std::max(xs[x + 1], xa + 2);
                    float acc[3] = { 0.f, 0.f, 0.f };
                    int n[3] = { 0, 0, 0 };
                    for (int sx = xa; sx < xb; ++sx) {
                        const int col = rowCfa[sx & 1];
                        acc[col] += row[mirror(sx, mosaic.width())];
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

} // namespace

MosaicAccumulator::MosaicAccumulator(int width, int height)
{
    if (width <= 0 || height <= 0)
        throw std::runtime_error("No raw frames to render");
    // No zero fill: the first frame is copied in (on the pool), the others added.
    m_sum.reset(width, height);
}

void MosaicAccumulator::add(const RawFrameView& f)
{
    const int w = m_sum.width(), h = m_sum.height();
    if (f.width != w || f.height != h || !f.data || f.stride < size_t(w))
        throw std::runtime_error("Raw frames differ in size");
    if (m_frames == 256)
        throw std::runtime_error("Too many raw frames");
    const bool first = m_frames == 0;
    WorkerPool::instance().parallelFor((h + kBand - 1) / kBand, [&](int band) {
        for (int y = band * kBand; y < std::min(h, (band + 1) * kBand); ++y) {
            const uint16_t* src = f.data + static_cast<size_t>(y) * f.stride;
            float* acc = m_sum.row(y);
            if (first)
                for (int x = 0; x < w; ++x)
                    acc[x] = src[x];
            else
                for (int x = 0; x < w; ++x)
                    acc[x] += src[x];
        }
    });
    ++m_frames;
}

PlaneF MosaicAccumulator::finish(
    const CfaLayout& cfa, const SensorLevels& levels, const std::vector<HotPixel>& hotPixels)
{
    if (m_frames == 0)
        throw std::runtime_error("No raw frames to render");
    if (!(levels.white > levels.black))
        throw std::runtime_error("Bad sensor white level");
    const int w = m_sum.width(), h = m_sum.height();
    const float frames = float(m_frames);
    PlaneF out = std::move(m_sum);
    m_frames = 0;
    const float scale = 1.f / ((levels.white - levels.black) * frames);
    const float blackSum = levels.black * frames;
    WorkerPool::instance().parallelFor((h + kBand - 1) / kBand, [&](int band) {
        for (int y = band * kBand; y < std::min(h, (band + 1) * kBand); ++y) {
            const float g0 = levels.gains[cfa[(y & 1) * 2]] * scale;
            const float g1 = levels.gains[cfa[(y & 1) * 2 + 1]] * scale;
            float* dst = out.row(y);
            for (int x = 0; x < w; ++x)
                dst[x] = std::max(0.f, (dst[x] - blackSum) * ((x & 1) ? g1 : g0));
        }
    });
    // Hot pixels: the mean of the same-colour neighbours two samples away that are not hot themselves.
    std::vector<uint8_t> hot;
    if (!hotPixels.empty()) {
        hot.assign(static_cast<size_t>(w) * h, 0);
        for (const HotPixel& p : hotPixels)
            if (p.x >= 0 && p.y >= 0 && p.x < w && p.y < h)
                hot[static_cast<size_t>(p.y) * w + p.x] = 1;
    }
    for (const HotPixel& p : hotPixels) {
        if (p.x < 0 || p.y < 0 || p.x >= w || p.y >= h)
            continue;
        float sum = 0.f;
        int n = 0;
        static const int d[8][2]
            = { { -2, 0 }, { 2, 0 }, { 0, -2 }, { 0, 2 }, { -2, -2 }, { 2, 2 }, { -2, 2 }, { 2, -2 } };
        for (const auto& o : d) {
            const int x = p.x + o[0], y = p.y + o[1];
            if (x < 0 || y < 0 || x >= w || y >= h || hot[static_cast<size_t>(y) * w + x])
                continue;
            sum += out.at(x, y);
            ++n;
        }
        if (n)
            out.at(p.x, p.y) = sum / n;
    }
    return out;
}

RgbPlanes<uint16_t> developLevel(
    const PlaneF& mosaic, const CfaLayout& cfa, const Rect& source, int width, int height)
{
    const Rect whole { 0, 0, mosaic.width(), mosaic.height() };
    if (width <= 0 || height <= 0 || source.empty() || !(source.intersected(whole) == source))
        throw std::runtime_error("Bad level geometry");
    RgbPlanes<uint16_t> out;
    out.reset(width, height);
    const double footprint = double(source.width()) / width;
    if (footprint >= 1.5) {
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
    return double(m_source.width()) / m_width < 1.5;
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
