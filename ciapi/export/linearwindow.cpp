#include "ciapi/export/linearwindow.h"

#include <algorithm>
#include <stdexcept>

#include "ciapi/render/workerpool.h"

namespace CIAPI::exporter {

using render::Rect;

namespace {

// Rows a task fills: enough work to be worth a task, few enough to share out.
constexpr int kStripRows = 16;

} // namespace

LinearWindow::LinearWindow(const render::TileInputs& in, bool tone, int x0, int x1)
    : m_tone(tone)
    , m_refocus(in.refocus.active() && in.depth)
    , m_halo(render::linearHalo(in))
    , m_x0(x0)
    , m_x1(x1)
{ }

void LinearWindow::fill(const render::TileInputs& in, int top, int end)
{
    const int W = m_x1 - m_x0, H = end - top;
    m_top = top;
    m_end = end;
    m_planes.reset(W, H);
    if (m_refocus)
        m_pos.reset(W, H);
    const int strips = (H + kStripRows - 1) / kStripRows;
    const bool sharpen = in.sharpening != 0.f && W >= 3 && H >= 3;
    const size_t rowFloats = size_t(W);
    if (sharpen)
        m_edges.resize(size_t(strips) * 2 * 3 * rowFloats);
    auto edge = [&](int strip, bool last, int c) {
        return m_edges.data() + ((size_t(strip) * 2 + (last ? 1 : 0)) * 3 + size_t(c)) * rowFloats;
    };
    const render::RgbPlanes<uint16_t>& cam = *in.camera;
    if (top < in.cameraTop || end > in.cameraTop + cam.height())
        throw std::logic_error("Window outside the developed rows");
    render::WorkerPool& pool = render::WorkerPool::instance();
    pool.parallelFor(strips, [&](int s) {
        const int y0 = s * kStripRows, y1 = std::min(H, y0 + kStripRows);
        for (int y = y0; y < y1; ++y) {
            const int cy = top + y - in.cameraTop;
            in.colour->toLinear(cam.c[0].row(cy) + m_x0, cam.c[1].row(cy) + m_x0, cam.c[2].row(cy) + m_x0, W,
                m_planes.c[0].row(y), m_planes.c[1].row(y), m_planes.c[2].row(y), m_tone);
        }
        if (m_refocus) {
            render::depthRows(in, Rect { m_x0, top + y0, m_x1, top + y1 }, m_pos.row(y0), m_pos.stride());
            for (int y = y0; y < y1; ++y)
                render::refocusPositions(m_pos.row(y), W, in.refocus, m_pos.row(y));
        }
        if (sharpen)
            for (int c = 0; c < 3; ++c) {
                std::copy_n(m_planes.c[c].row(y0), W, edge(s, false, c));
                std::copy_n(m_planes.c[c].row(y1 - 1), W, edge(s, true, c));
            }
    });
    if (!sharpen)
        return;
    // The unsharp mask in place, a strip per task: the rows next to a strip are read from the
    // copies made before any strip changed. The window's outermost ring is left as it is.
    const float amount = render::sharpenAmount(in);
    pool.parallelFor(strips, [&](int s) {
        const int y0 = s * kStripRows, y1 = std::min(H, y0 + kStripRows);
        std::vector<float> prev(rowFloats), cur(rowFloats);
        for (int c = 0; c < 3; ++c) {
            render::PlaneF& plane = m_planes.c[c];
            if (y0 > 0)
                std::copy_n(edge(s - 1, true, c), W, prev.begin());
            for (int y = y0; y < y1; ++y) {
                std::copy_n(plane.row(y), W, cur.begin());
                if (y > 0 && y < H - 1) {
                    const float* dn = y + 1 < y1 ? plane.row(y + 1) : edge(s + 1, false, c);
                    render::sharpenRow(prev.data(), cur.data(), dn, 1, W - 1, amount, plane.row(y));
                }
                prev.swap(cur);
            }
        }
    });
}

void LinearWindow::render(const render::TileInputs& in, const Rect& rect, render::RgbPlanes<float>& out,
    int outX, int outY, render::RefocusScratch& scratch) const
{
    const Rect level { 0, 0, in.width(), in.height() };
    const Rect region
        = Rect { rect.x0 - m_halo, rect.y0 - m_halo, rect.x1 + m_halo, rect.y1 + m_halo }.intersected(level);
    if (region.x0 < m_x0 || region.x1 > m_x1 || region.y0 < m_top || region.y1 > m_end)
        throw std::logic_error("Tile outside the linear window");
    if (m_refocus) {
        const Rect inWindow { region.x0 - m_x0, region.y0 - m_top, region.x1 - m_x0, region.y1 - m_top };
        const Rect center { rect.x0 - region.x0, rect.y0 - region.y0, rect.x1 - region.x0,
            rect.y1 - region.y0 };
        render::refocusLayers(m_planes, m_pos, inWindow, center, in.refocus, out, outX, outY, scratch);
        return;
    }
    for (int c = 0; c < 3; ++c)
        for (int y = rect.y0; y < rect.y1; ++y)
            std::copy_n(m_planes.c[c].row(y - m_top) + (rect.x0 - m_x0), rect.width(),
                out.c[c].row(outY + y - rect.y0) + outX);
}

void LinearWindow::release()
{
    m_planes = {};
    m_pos = {};
    m_edges = {};
}

} // namespace CIAPI::exporter
