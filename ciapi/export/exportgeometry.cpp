#include "ciapi/export/exportgeometry.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace CIAPI::exporter {

ExportPlan planExport(
    int lw, int lh, const std::array<float, 4>& crop, const std::array<int, 4>& m, int rw, int rh)
{
    const bool valid = (m[0] == 0) == (m[3] == 0) && (m[1] == 0) == (m[2] == 0) && (m[0] == 0) != (m[1] == 0);
    if (!valid)
        throw std::runtime_error("Transform is not a quarter turn");
    if (rw < 0 || rh < 0 || rw > 65535 || rh > 65535)
        throw std::runtime_error("Bad export size");
    const float cx = std::isfinite(crop[0]) ? crop[0] : 0.f, cy = std::isfinite(crop[1]) ? crop[1] : 0.f;
    float cw = std::isfinite(crop[2]) && crop[2] > 0.f ? crop[2] : 1.f;
    float ch = std::isfinite(crop[3]) && crop[3] > 0.f ? crop[3] : 1.f;
    const float x0 = std::clamp(cx, 0.f, 1.f), y0 = std::clamp(cy, 0.f, 1.f);
    const float x1 = std::clamp(cx + cw, 0.f, 1.f), y1 = std::clamp(cy + ch, 0.f, 1.f);
    ExportPlan plan;
    plan.crop = Rect { int(std::floor(x0 * lw + 1e-4f)), int(std::floor(y0 * lh + 1e-4f)),
        int(std::ceil(x1 * lw - 1e-4f)), int(std::ceil(y1 * lh - 1e-4f)) };
    plan.crop = plan.crop.intersected(Rect { 0, 0, lw, lh });
    if (plan.crop.empty())
        throw std::runtime_error("Crop leaves nothing to export");
    plan.transposed = m[0] == 0;
    if (rw == 0 || rh == 0) {
        plan.width = plan.crop.width();
        plan.height = plan.crop.height();
    } else {
        // The requested size covers the whole crop; keep the part inside the picture.
        plan.width = std::max(1, int(std::lround(rw * double(x1 - x0) / cw)));
        plan.height = std::max(1, int(std::lround(rh * double(y1 - y0) / ch)));
    }
    return plan;
}

std::vector<float> resample(const std::vector<float>& src, int sw, int sh, int dw, int dh, bool smooth)
{
    if (sw == dw && sh == dh)
        return src;
    std::vector<float> out(size_t(dw) * dh * 3);
    const double fx = double(sw) / dw, fy = double(sh) / dh;
    if (smooth && fx >= 1.0 && fy >= 1.0) {
        for (int y = 0; y < dh; ++y) {
            const int ya = int(y * fy), yb = std::max(ya + 1, std::min(sh, int((y + 1) * fy)));
            for (int x = 0; x < dw; ++x) {
                const int xa = int(x * fx), xb = std::max(xa + 1, std::min(sw, int((x + 1) * fx)));
                double acc[3] = { 0, 0, 0 };
                for (int yy = ya; yy < yb; ++yy)
                    for (int xx = xa; xx < xb; ++xx)
                        for (int c = 0; c < 3; ++c)
                            acc[c] += src[(size_t(yy) * sw + xx) * 3 + c];
                const double n = double(yb - ya) * (xb - xa);
                for (int c = 0; c < 3; ++c)
                    out[(size_t(y) * dw + x) * 3 + c] = float(acc[c] / n);
            }
        }
        return out;
    }
    for (int y = 0; y < dh; ++y) {
        const float sy = std::clamp(float((y + 0.5) * fy - 0.5), 0.f, float(sh - 1));
        const int y0 = int(sy), y1 = std::min(y0 + 1, sh - 1);
        const float ty = sy - y0;
        for (int x = 0; x < dw; ++x) {
            const float sx = std::clamp(float((x + 0.5) * fx - 0.5), 0.f, float(sw - 1));
            const int x0 = int(sx), x1 = std::min(x0 + 1, sw - 1);
            const float tx = sx - x0;
            for (int c = 0; c < 3; ++c) {
                const float a = src[(size_t(y0) * sw + x0) * 3 + c], b = src[(size_t(y0) * sw + x1) * 3 + c];
                const float d = src[(size_t(y1) * sw + x0) * 3 + c], e = src[(size_t(y1) * sw + x1) * 3 + c];
                const float top = a + (b - a) * tx, bot = d + (e - d) * tx;
                out[(size_t(y) * dw + x) * 3 + c] = top + (bot - top) * ty;
            }
        }
    }
    return out;
}

} // namespace CIAPI::exporter
