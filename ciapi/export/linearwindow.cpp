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

LinearWindow::LinearWindow(const render::TileInputs& in, bool tone, int x0, int x1, int maxRows,
    const render::LevelRows* rows, bool depthToCome)
    : m_tone(tone)
    , m_rows(rows)
    , m_refocus(in.refocus.active() && (in.depth || depthToCome))
    , m_sharpen(in.sharpening != 0.f)
    , m_halo((m_sharpen ? 1 : 0) + (m_refocus ? render::refocusHalo(in.refocus) : 0))
    , m_x0(x0)
    , m_x1(x1)
{
    // Allocated once at the largest window: rows kept from one window to the next stay put.
    // Mapped from the system: a window made on a pool thread (the first one, while the depth is
    // computed) would otherwise stay with that thread's allocator arena once let go.
    m_planes.mapFrom(0);
    m_pos.mapFrom(0);
    m_edges.mapFrom(0);
    m_planes.reset(x1 - x0, maxRows);
    if (m_refocus)
        m_pos.reset(x1 - x0, maxRows);
}

void LinearWindow::linearRows(
    const render::TileInputs& in, int y0, int y1, float* rgb, render::RgbPlanes<uint16_t>* levelScratch)
{
    const int W = m_x1 - m_x0;
    const render::RgbPlanes<uint16_t>* cam = in.camera.get();
    int top = in.cameraTop;
    render::RgbPlanes<uint16_t> own;
    if (m_rows) {
        // The level rows developed here, for this task only.
        render::RgbPlanes<uint16_t>& developed = levelScratch ? *levelScratch : own;
        developed.reset(m_rows->width(), y1 - y0);
        m_rows->develop(y0, y1, developed, 0);
        cam = &developed;
        top = y0;
    } else if (!cam || y0 < top || y1 > top + cam->height()) {
        throw std::logic_error("Window outside the developed rows");
    }
    for (int y = y0; y < y1; ++y) {
        const int cy = y - top;
        float* r = rgb ? rgb : m_planes.c[0].row(y - m_top);
        float* g = rgb ? rgb + W : m_planes.c[1].row(y - m_top);
        float* b = rgb ? rgb + 2 * size_t(W) : m_planes.c[2].row(y - m_top);
        in.colour->toLinear(
            cam->c[0].row(cy) + m_x0, cam->c[1].row(cy) + m_x0, cam->c[2].row(cy) + m_x0, W, r, g, b, m_tone);
    }
}

void LinearWindow::fill(const render::TileInputs& in, int top, int end)
{
    render::WorkerPool& pool = render::WorkerPool::instance();
    pool.parallelFor(begin(in, top, end), [&](int task) { makeTask(in, task); });
    pool.parallelFor(sharpenTasks(), [&](int task) { sharpenTask(in, task); });
}

int LinearWindow::begin(
    const render::TileInputs& in, int top, int end, const LinearWindow* from, bool positionsLater)
{
    if (end - top > m_planes.height())
        throw std::logic_error("Window taller than planned");
    if (from == this)
        from = nullptr;
    if (from
        && (from->m_x0 != m_x0 || from->m_x1 != m_x1 || from->m_refocus != m_refocus
            || from->m_sharpen != m_sharpen || from->m_tone != m_tone))
        throw std::logic_error("Windows of other columns or inputs");
    const LinearWindow& old = from ? *from : *this;
    const int levelRows = in.height();
    // Rows of the window there is that hold their final values: all but an unsharpened edge
    // row inside the level (its neighbour beyond the window was not there to sharpen it).
    int keep0 = std::max(top, old.m_top), keep1 = std::min(end, old.m_end);
    if (m_sharpen && W() >= 3) {
        keep0 = std::max(keep0, old.m_top > 0 ? old.m_top + 1 : old.m_top);
        keep1 = std::min(keep1, old.m_end < levelRows ? old.m_end - 1 : old.m_end);
    }
    m_from = from;
    m_copies.clear();
    if (from) {
        for (int y = keep0; y < keep1; y += kStripRows)
            m_copies.push_back({ y, std::min(keep1, y + kStripRows), -1 });
    } else if (keep0 < keep1 && top != m_top) {
        // Moved to their new place.
        render::PlaneF* const planes[4] = { &m_planes.c[0], &m_planes.c[1], &m_planes.c[2], &m_pos };
        render::PlaneF* const colours[3] = { &m_planes.c[0], &m_planes.c[1], &m_planes.c[2] };
        if (m_refocus)
            moveRows(planes, keep0 - m_top, keep0 - top, keep1 - keep0);
        else
            moveRows(colours, keep0 - m_top, keep0 - top, keep1 - keep0);
    }
    m_top = top;
    m_end = end;
    // Rows kept or copied have their coordinates: only the rows made here wait for them.
    m_positionsLater = positionsLater && m_refocus;
    // Rows on the window's edge are left unsharpened (the window's ring), as are the rows of a
    // window less than three pixels across.
    m_sharpenNow = m_sharpen && W() >= 3 && end - top >= 3;
    m_ranges.clear();
    m_strips.clear();
    m_outsideRows.clear();
    if (keep0 < keep1) {
        plan(top, keep0);
        plan(keep1, end);
    } else {
        plan(top, end);
    }
    if (m_sharpenNow) {
        m_edges.reset(3 * W(), int(m_strips.size()) * 2);
        m_outside.resize(m_ranges.size() * 2 * 3 * size_t(W()));
    }
    return int(m_strips.size() + m_outsideRows.size() + m_copies.size());
}

int LinearWindow::maxTasks(int rows)
{
    // Two ranges of rows to make (above and below those kept) and the rows kept between them,
    // each in strips that may end short, and the row on either side of each range.
    return 2 * ((std::max(0, rows) + kStripRows - 1) / kStripRows) + 3 + 4;
}

void LinearWindow::copyTask(const Strip& s)
{
    const LinearWindow& from = *m_from;
    for (int y = s.y0; y < s.y1; ++y) {
        for (int c = 0; c < 3; ++c)
            std::copy_n(from.m_planes.c[c].row(y - from.m_top), W(), m_planes.c[c].row(y - m_top));
        if (m_refocus)
            std::copy_n(from.m_pos.row(y - from.m_top), W(), m_pos.row(y - m_top));
    }
}

void LinearWindow::plan(int a, int b)
{
    if (a >= b)
        return;
    const int range = int(m_ranges.size());
    const Range r { a, b, m_sharpenNow && a > m_top, m_sharpenNow && b < m_end };
    m_ranges.push_back(r);
    for (int y = a; y < b; y += kStripRows)
        m_strips.push_back({ y, std::min(b, y + kStripRows), range });
    if (r.above)
        m_outsideRows.push_back({ range, false });
    if (r.below)
        m_outsideRows.push_back({ range, true });
    m_rowsMade += b - a;
}

void LinearWindow::makeTask(const render::TileInputs& in, int task, render::RgbPlanes<uint16_t>* levelScratch)
{
    const int W = this->W();
    const size_t made = m_strips.size() + m_outsideRows.size();
    if (size_t(task) >= made) {
        copyTask(m_copies.at(size_t(task) - made));
        return;
    }
    if (task >= int(m_strips.size())) {
        // The unsharpened row next to a range, kept already in its sharpened form.
        const auto [range, below] = m_outsideRows[size_t(task) - m_strips.size()];
        const Range& r = m_ranges[size_t(range)];
        const int y = below ? r.b : r.a - 1;
        linearRows(in, y, y + 1, outside(range, below), levelScratch);
        return;
    }
    const Strip& s = m_strips[size_t(task)];
    linearRows(in, s.y0, s.y1, nullptr, levelScratch);
    if (m_refocus && !m_positionsLater)
        positions(in, s);
    if (m_sharpenNow)
        for (int c = 0; c < 3; ++c) {
            std::copy_n(m_planes.c[c].row(s.y0 - m_top), W, edge(task, false) + c * size_t(W));
            std::copy_n(m_planes.c[c].row(s.y1 - 1 - m_top), W, edge(task, true) + c * size_t(W));
        }
}

void LinearWindow::positions(const render::TileInputs& in, const Strip& s)
{
    render::depthRows(in, Rect { m_x0, s.y0, m_x1, s.y1 }, m_pos.row(s.y0 - m_top), m_pos.stride());
    for (int y = s.y0; y < s.y1; ++y)
        render::refocusPositions(m_pos.row(y - m_top), W(), in.refocus, m_pos.row(y - m_top));
}

void LinearWindow::positionTask(const render::TileInputs& in, int task)
{
    if (!m_positionsLater || !in.depth)
        throw std::logic_error("No layer coordinates to make");
    positions(in, m_strips.at(size_t(task)));
}

bool LinearWindow::holds(const render::TileInputs& in, int x0, int x1, int maxRows, int top, int end) const
{
    return x0 == m_x0 && x1 == m_x1 && maxRows == m_planes.height() && top == m_top && end == m_end
        && (in.refocus.active() && in.depth) == m_refocus && (in.sharpening != 0.f) == m_sharpen
        && render::linearHalo(in) == m_halo;
}

void LinearWindow::sharpenTask(const render::TileInputs& in, int task)
{
    // The unsharp mask in place, a strip per task: the rows next to a strip are read from the
    // copies made before any strip changed.
    const int W = this->W();
    const size_t rowFloats = size_t(W);
    const float amount = render::sharpenAmount(in);
    const Strip& s = m_strips[size_t(task)];
    const Range& r = m_ranges[size_t(s.range)];
    const bool firstOfRange = s.y0 == r.a, lastOfRange = s.y1 == r.b;
    std::vector<float> prev(rowFloats), cur(rowFloats);
    for (int c = 0; c < 3; ++c) {
        render::PlaneF& plane = m_planes.c[c];
        if (!firstOfRange)
            std::copy_n(edge(task - 1, true) + c * rowFloats, W, prev.begin());
        else if (r.above)
            std::copy_n(outside(s.range, false) + c * rowFloats, W, prev.begin());
        for (int y = s.y0; y < s.y1; ++y) {
            std::copy_n(plane.row(y - m_top), W, cur.begin());
            if (y > m_top && y < m_end - 1) {
                const float* dn = y + 1 < s.y1 ? plane.row(y + 1 - m_top)
                    : !lastOfRange             ? edge(task + 1, false) + c * rowFloats
                                               : outside(s.range, true) + c * rowFloats;
                render::sharpenRow(prev.data(), cur.data(), dn, 1, W - 1, amount, plane.row(y - m_top));
            }
            prev.swap(cur);
        }
    }
}

void LinearWindow::render(const render::TileInputs& in, const Rect& rect, render::RgbPlanes<float>& out,
    int outX, int outY, render::RefocusScratch& scratch, const float* range) const
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
        render::refocusLayers(m_planes, m_pos, inWindow, center, in.refocus, out, outX, outY, scratch, range);
        return;
    }
    for (int c = 0; c < 3; ++c)
        for (int y = rect.y0; y < rect.y1; ++y)
            std::copy_n(m_planes.c[c].row(y - m_top) + (rect.x0 - m_x0), rect.width(),
                out.c[c].row(outY + y - rect.y0) + outX);
}

double LinearWindow::cost(const render::TileInputs& in, const Rect& rect, float* range) const
{
    if (!m_refocus)
        return double(rect.width()) * rect.height();
    const Rect level { 0, 0, in.width(), in.height() };
    const Rect region
        = Rect { rect.x0 - m_halo, rect.y0 - m_halo, rect.x1 + m_halo, rect.y1 + m_halo }.intersected(level);
    const Rect inWindow { region.x0 - m_x0, region.y0 - m_top, region.x1 - m_x0, region.y1 - m_top };
    const Rect center { rect.x0 - region.x0, rect.y0 - region.y0, rect.x1 - region.x0, rect.y1 - region.y0 };
    return render::refocusCost(m_pos, inWindow, center, in.refocus, range);
}

void LinearWindow::release()
{
    m_planes = {};
    m_pos = {};
    m_edges = {};
    m_outside = {};
    m_strips = {};
    m_ranges = {};
    m_outsideRows = {};
    m_copies = {};
    m_from = nullptr;
}

} // namespace CIAPI::exporter
