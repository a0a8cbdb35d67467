#pragma once

#include <algorithm>
#include <vector>

#include "ciapi/render/plane.h"
#include "ciapi/render/rawdevelop.h"
#include "ciapi/render/refocus.h"
#include "ciapi/render/tilerender.h"
#include "ciapi/render/workerpool.h"

namespace CIAPI::exporter {

// Moves rows [from, from + n) of the planes to [to, to + n), on the pool: in waves of rows
// that no other row of the wave reads, so that no row is overwritten before it has moved.
template <typename T, size_t N> void moveRows(render::Plane<T>* const (&planes)[N], int from, int to, int n);

// The linear rows of a window of level rows, sharpened, with the refocus's layer coordinates:
// made once (a strip of rows per task on the pool) for all the tiles of a group of bands,
// rather than once for each tile with its own margin, and moved along with the groups: the
// rows the next window shares with this one are kept, not made again. A tile rendered from
// the window has the pixels renderLinear gives it: it reads the same region, and the window's
// values in that region are the region's own (its outermost ring, which the region leaves
// unsharpened, lies beyond what the tile's refocus reads).
class LinearWindow
{
public:
    // Columns [x0, x1) of the level, windows of at most `maxRows` rows, with (`tone`) or
    // without the contrast curve and vibrance. With `rows`, each task develops the level rows
    // it reads itself (`in.camera` is not read): no window of level rows is held.
    // With `depthToCome`, the window refocuses as if `in` had its depth (which it has not yet):
    // its colours can be made before the depth is there, its layer coordinates once it is.
    LinearWindow(const render::TileInputs& in, bool tone, int x0, int x1, int maxRows,
        const render::LevelRows* rows = nullptr, bool depthToCome = false);

    // Level rows [top, end): `in.camera` holds those not in the window already (its first row
    // is level row in.cameraTop), unless the window develops them.
    void fill(const render::TileInputs& in, int top, int end);

    // fill() in steps, so that its tasks can share the pool with other work: begin() moves the
    // rows the window keeps of [top, end) into place and returns the number of tasks that make
    // the others (makeTask, in any order, on any threads); once they are all done,
    // sharpenTasks() tasks (sharpenTask) finish them.
    // With `from` (another window of the same columns and inputs), the rows it holds of
    // [top, end) are copied from it by tasks of their own among the others, rather than made
    // again: `from` is only read, so tiles may render from it meanwhile, and this window may be
    // made while they do. `from` must stay as it is until the tasks are done.
    // `levelScratch` (or planes of the task's own) holds the level rows a task develops.
    // With `positionsLater`, makeTask leaves out the refocus's layer coordinates (which read
    // the depth): positionTasks() tasks (positionTask, with inputs that have the depth) make
    // them, in any order, on any threads, before or after the sharpening.
    int begin(const render::TileInputs& in, int top, int end, const LinearWindow* from = nullptr,
        bool positionsLater = false);
    void makeTask(
        const render::TileInputs& in, int task, render::RgbPlanes<uint16_t>* levelScratch = nullptr);
    int sharpenTasks() const { return m_sharpenNow ? int(m_strips.size()) : 0; }
    // At most as many tasks as begin() and sharpenTasks() give for a window of `rows` rows.
    static int maxTasks(int rows);
    void sharpenTask(const render::TileInputs& in, int task);
    int positionTasks() const { return m_positionsLater ? int(m_strips.size()) : 0; }
    void positionTask(const render::TileInputs& in, int task);

    // Whether a window of these columns, rows and inputs is this one, made by begin(top, end)
    // (the same halo and refocus): a window made early stands for the one to be made.
    bool holds(const render::TileInputs& in, int x0, int x1, int maxRows, int top, int end) const;

    // `rect` of the level (its region with the halo inside the window) into `out`, its top
    // left pixel at (outX, outY).
    // `range` is what cost() found for the tile, or null.
    void render(const render::TileInputs& in, const render::Rect& rect, render::RgbPlanes<float>& out,
        int outX, int outY, render::RefocusScratch& scratch, const float* range = nullptr) const;

    // A measure of the work render() does for `rect`: tiles are started costliest first.
    // `range` (two floats) receives what render() may be given not to look for it again.
    double cost(const render::TileInputs& in, const render::Rect& rect, float* range) const;

    // Level rows made so far (each made once when the window moves one way).
    long long rowsMade() const { return m_rowsMade; }

    // Lets go of the planes.
    void release();

private:
    int W() const { return m_x1 - m_x0; }
    // Plans window rows [a, b) (level rows), sharpened against the rows next to them.
    void plan(int a, int b);
    // Unsharpened linear values of level rows [y0, y1) into rows y0 - m_top.. of the window
    // (`rgb` null), or of level row y0 into `rgb` (3 rows of the window's width).
    void linearRows(
        const render::TileInputs& in, int y0, int y1, float* rgb, render::RgbPlanes<uint16_t>* levelScratch);
    float* edge(int strip, bool last) { return m_edges.row(strip * 2 + (last ? 1 : 0)); }
    float* outside(int range, bool below)
    {
        return m_outside.data() + (size_t(range) * 2 + (below ? 1 : 0)) * 3 * size_t(W());
    }

    // Rows to make, [a, b), with whether the rows just above and below are kept ones (whose
    // unsharpened values are made again for the sharpening).
    struct Range
    {
        int a, b;
        bool above, below;
    };
    struct Strip
    {
        int y0, y1, range;
    };
    // Copies rows [y0, y1) from m_from (a task of makeTask after the others).
    void copyTask(const Strip& s);
    // The refocus's layer coordinates of a strip's rows.
    void positions(const render::TileInputs& in, const Strip& s);

    bool m_tone;
    const render::LevelRows* m_rows;
    bool m_refocus;
    bool m_sharpen;
    int m_halo;
    int m_x0, m_x1;
    int m_top = 0, m_end = 0;
    long long m_rowsMade = 0;
    render::RgbPlanes<float> m_planes;
    render::PlaneF m_pos; // layer coordinates (a refocus only)
    bool m_sharpenNow = false;
    bool m_positionsLater = false;
    std::vector<Range> m_ranges;
    std::vector<Strip> m_strips;
    std::vector<std::pair<int, bool>> m_outsideRows; // (range, below) of each row made again
    const LinearWindow* m_from = nullptr; // the window kept rows are copied from
    std::vector<Strip> m_copies; // rows copied from m_from
    render::PlaneF m_edges; // unsharpened first and last rows (3 colours a row) of each strip
    std::vector<float> m_outside; // unsharpened rows just above and below each range
};

template <typename T, size_t N> void moveRows(render::Plane<T>* const (&planes)[N], int from, int to, int n)
{
    const int shift = std::abs(to - from);
    if (n <= 0 || shift == 0)
        return;
    // Rows a task copies; a wave is `shift` rows (all rows when the ranges do not overlap).
    constexpr int kRows = 8;
    const int wave = std::min(n, shift);
    for (int done = 0; done < n; done += wave) {
        const int count = std::min(wave, n - done);
        // Towards lower rows the first rows go first; towards higher rows the last.
        const int first = to < from ? done : n - done - count;
        render::WorkerPool::instance().parallelFor((count + kRows - 1) / kRows * int(N), [&](int task) {
            render::Plane<T>& plane = *planes[size_t(task) % N];
            const int r0 = first + (task / int(N)) * kRows, r1 = std::min(first + count, r0 + kRows);
            for (int r = r0; r < r1; ++r)
                std::copy_n(plane.row(from + r), plane.width(), plane.row(to + r));
        });
    }
}

} // namespace CIAPI::exporter
