#pragma once

#include <array>
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
