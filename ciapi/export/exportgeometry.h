#pragma once

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "ciapi/render/plane.h"

namespace CIAPI::exporter {

using render::Rect;

// Where an export comes from and how large it is.
struct ExportPlan
{
    Rect crop; // in level-0 pixels, inside the picture
    int width = 0; // output before turning (the crop's orientation)
    int height = 0;
    bool transposed = false;
    int finalWidth() const { return transposed ? height : width; }
    int finalHeight() const { return transposed ? width : height; }
};

// `crop` is (x, y, w, h) normalised to the unturned picture; whatever lies outside the
// picture is dropped. `requested` is the size of the whole crop before turning ((0, 0):
// native). `m` is the 2x2 turn/mirror matrix (row-major, entries -1, 0, 1).
ExportPlan planExport(int levelWidth, int levelHeight, const std::array<float, 4>& crop,
    const std::array<int, 4>& m, int requestedWidth, int requestedHeight);

// Resampling one output row at a time, one channel at a time, from whatever holds the source
// rows: the arithmetic of resample() (which is built on it), so a picture resampled in bands
// is the same as resampled whole.
class RowResampler
{
public:
    RowResampler(int sw, int sh, int dw, int dh, bool smooth);

    // Same size: rows are used as they are.
    bool identity() const { return m_identity; }
    // Source rows [first, second) that output row `y` reads.
    std::pair<int, int> sourceRows(int y) const;

    // Output row `y` of one channel into out[0], out[outStep], ...; rowOf(yy) points at the
    // first sample of source row yy of that channel, whose pixels lie `step` floats apart.
    template <typename RowOf> void row(int y, const RowOf& rowOf, int step, float* out, int outStep) const
    {
        if (m_area) {
            const auto [ya, yb] = sourceRows(y);
            for (int x = 0; x < m_dw; ++x) {
                const int xa = m_xa[size_t(x)], xb = m_xb[size_t(x)];
                double acc = 0;
                for (int yy = ya; yy < yb; ++yy) {
                    const float* s = rowOf(yy);
                    for (int xx = xa; xx < xb; ++xx)
                        acc += s[size_t(xx) * step];
                }
                const double n = double(yb - ya) * (xb - xa);
                out[size_t(x) * outStep] = float(acc / n);
            }
            return;
        }
        const float sy = std::clamp(float((y + 0.5) * m_fy - 0.5), 0.f, float(m_sh - 1));
        const int y0 = int(sy), y1 = std::min(y0 + 1, m_sh - 1);
        const float ty = sy - y0;
        const float* r0 = rowOf(y0);
        const float* r1 = rowOf(y1);
        for (int x = 0; x < m_dw; ++x) {
            const size_t x0 = size_t(m_xa[size_t(x)]) * step, x1 = size_t(m_xb[size_t(x)]) * step;
            const float tx = m_tx[size_t(x)];
            const float a = r0[x0], b = r0[x1];
            const float d = r1[x0], e = r1[x1];
            const float top = a + (b - a) * tx, bot = d + (e - d) * tx;
            out[size_t(x) * outStep] = top + (bot - top) * ty;
        }
    }

private:
    int m_sw, m_sh, m_dw, m_dh;
    double m_fx, m_fy;
    bool m_identity, m_area;
    std::vector<int> m_xa, m_xb; // area: columns [xa, xb); bilinear: the two columns
    std::vector<float> m_tx; // bilinear weights
};

// Resamples interleaved RGB floats (sw x sh) to dw x dh: an area average when shrinking
// with `smooth`, bilinear otherwise.
std::vector<float> resample(const std::vector<float>& src, int sw, int sh, int dw, int dh, bool smooth);

// Turns and mirrors interleaved pixels of `channels` samples. `m` acts on coordinates with
// y pointing up, so R = [[0,-1],[1,0]] turns the picture counter-clockwise as seen; in the
// pixels' own axes (y down) that is output = H m H * (input - centre), H = diag(-1, 1).
template <typename T>
std::vector<T> orient(const std::vector<T>& src, int w, int h, int channels, const std::array<int, 4>& m)
{
    const bool transposed = m[0] == 0;
    const int W = transposed ? h : w, H = transposed ? w : h;
    std::vector<T> out(src.size());
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) {
            // Doubled centred coordinates keep everything integral.
            const int qx = 2 * X + 1 - W, qy = 2 * Y + 1 - H;
            // (H m H)^T = (H m H)^-1 maps the output back to the input.
            const int px = m[0] * qx - m[2] * qy, py = -m[1] * qx + m[3] * qy;
            const int x = (px + w - 1) / 2, y = (py + h - 1) / 2;
            const T* s = &src[(size_t(y) * w + x) * channels];
            T* d = &out[(size_t(Y) * W + X) * channels];
            for (int c = 0; c < channels; ++c)
                d[c] = s[c];
        }
    return out;
}

} // namespace CIAPI::exporter
