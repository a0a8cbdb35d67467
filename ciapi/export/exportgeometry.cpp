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

RowResampler::RowResampler(int sw, int sh, int dw, int dh, bool smooth)
    : m_sw(sw)
    , m_sh(sh)
    , m_dw(dw)
    , m_dh(dh)
    , m_fx(double(sw) / dw)
    , m_fy(double(sh) / dh)
    , m_identity(sw == dw && sh == dh)
    , m_area(smooth && m_fx >= 1.0 && m_fy >= 1.0)
{
    m_xa.resize(size_t(dw));
    m_xb.resize(size_t(dw));
    if (!m_area)
        m_tx.resize(size_t(dw));
    for (int x = 0; x < dw; ++x) {
        if (m_area) {
            const int xa = int(x * m_fx);
            m_xa[size_t(x)] = xa;
            m_xb[size_t(x)] = std::max(xa + 1, std::min(sw, int((x + 1) * m_fx)));
        } else {
            const float sx = std::clamp(float((x + 0.5) * m_fx - 0.5), 0.f, float(sw - 1));
            const int x0 = int(sx);
            m_xa[size_t(x)] = x0;
            m_xb[size_t(x)] = std::min(x0 + 1, sw - 1);
            m_tx[size_t(x)] = sx - x0;
        }
    }
}

std::pair<int, int> RowResampler::sourceRows(int y) const
{
    if (m_identity)
        return { y, y + 1 };
    if (m_area) {
        const int ya = int(y * m_fy);
        return { ya, std::max(ya + 1, std::min(m_sh, int((y + 1) * m_fy))) };
    }
    const float sy = std::clamp(float((y + 0.5) * m_fy - 0.5), 0.f, float(m_sh - 1));
    const int y0 = int(sy);
    return { y0, std::min(y0 + 1, m_sh - 1) + 1 };
}

std::vector<float> resample(const std::vector<float>& src, int sw, int sh, int dw, int dh, bool smooth)
{
    const RowResampler rs(sw, sh, dw, dh, smooth);
    if (rs.identity())
        return src;
    std::vector<float> out(size_t(dw) * dh * 3);
    for (int y = 0; y < dh; ++y)
        for (int c = 0; c < 3; ++c)
            rs.row(
                y, [&](int yy) { return &src[size_t(yy) * sw * 3 + size_t(c)]; }, 3,
                &out[size_t(y) * dw * 3 + size_t(c)], 3);
    return out;
}

} // namespace CIAPI::exporter
