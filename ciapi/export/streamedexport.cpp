#include "ciapi/export/streamedexport.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "ciapi/export/encoderthread.h"
#include "ciapi/export/groupschedule.h"
#include "ciapi/export/latch.h"
#include "ciapi/export/linearwindow.h"
#include "ciapi/export/scratchshelf.h"
#include "ciapi/render/workerpool.h"

namespace CIAPI::exporter {

using render::Rect;
using render::RgbPlanes;
using render::WorkerPool;

namespace {

// Converts one row of planar linear samples (pixel x at r[x * step]) to the writer's
// samples; pixel x goes to out pixel at[x].
struct Converter
{
    RowSamples samples;
    bool tone;
    const render::ColourPipeline& colour;

    void operator()(const float* const rgb[3], int step, int n, const int* at, uint8_t* out) const
    {
        switch (samples) {
        case RowSamples::Rgb8:
            if (tone && step == 1) {
                // Table indices first, a loop the vectoriser takes; then the look-ups.
                thread_local std::vector<int> index;
                index.resize(size_t(n) * 3);
                for (int c = 0; c < 3; ++c) {
                    const float* v = rgb[c];
                    int* i = index.data() + size_t(c) * n;
                    for (int x = 0; x < n; ++x)
                        i[x] = render::ColourPipeline::index(v[x]);
                }
                const uint8_t* table = colour.encodeLut();
                const int* ir = index.data();
                const int* ig = ir + n;
                const int* ib = ig + n;
                for (int x = 0; x < n; ++x) {
                    uint8_t* o = out + size_t(at[x]) * 3;
                    o[0] = table[ir[x]];
                    o[1] = table[ig[x]];
                    o[2] = table[ib[x]];
                }
                break;
            }
            for (int x = 0; x < n; ++x) {
                uint8_t* o = out + size_t(at[x]) * 3;
                for (int c = 0; c < 3; ++c) {
                    const float v = rgb[c][size_t(x) * step];
                    o[c] = tone ? colour.encode(v) : uint8_t(std::lround(std::clamp(v, 0.f, 1.f) * 255.f));
                }
            }
            break;
        case RowSamples::Rgb16:
            for (int x = 0; x < n; ++x) {
                uint16_t px[3];
                for (int c = 0; c < 3; ++c)
                    px[c] = uint16_t(std::lround(std::clamp(rgb[c][size_t(x) * step], 0.f, 1.f) * 65535.f));
                std::memcpy(out + size_t(at[x]) * 6, px, sizeof px);
            }
            break;
        case RowSamples::Rgbe:
            for (int x = 0; x < n; ++x) {
                const size_t i = size_t(x) * step;
                rgbePixel(rgb[0][i], rgb[1][i], rgb[2][i], out + size_t(at[x]) * 4);
            }
            break;
        }
    }
};

// Scratch planes for tiles, lent to one tile at a time and kept for the next: as many sets as
// threads render at once, all let go with the shelf (not kept per thread for the pool's life).
// A set is the refocus's planes; a tile converted as soon as it is rendered is rendered into
// the refocus's composite (resolved in place), not into planes of its own.
struct TileScratch
{
    render::RefocusScratch refocus;
};

// The level rows a task that makes linear rows develops, on a shelf of their own. Mapped from
// the system: once let go, the allocator would keep them at the top of the arena of the pool
// thread that allocated them, out of reach of ReturnFreeMemory().
struct LevelScratch
{
    RgbPlanes<uint16_t> rows;
    LevelScratch() { rows.mapFrom(0); }
};

} // namespace

StreamedExport::StreamedExport(const render::TileInputs& in, const Rect& source, const ExportPlan& plan,
    const std::array<int, 4>& m, bool smooth, bool tone, RowWriter& writer, const render::LevelRows* rows)
    : m_in(in)
    , m_source(source)
    , m_plan(plan)
    , m_m(m)
    , m_tone(tone)
    , m_writer(writer)
    , m_rows(rows)
    , m_resampler(source.width(), source.height(), plan.width, plan.height, smooth)
{ }

StreamedExport::~StreamedExport() = default;

StreamedExport::Layout StreamedExport::layout(const render::TileInputs& in, int halo) const
{
    Layout l;
    l.upwards = !m_plan.transposed && m_m[3] < 0;
    l.bandHeight = halo > kWideMargin ? kWideBandRows : kBandRows;
    l.bandCount = (m_source.height() + l.bandHeight - 1) / l.bandHeight;
    l.tilesPerBand = std::max(1, (m_source.width() + m_tileColumns - 1) / m_tileColumns);
    // Bands a group renders: enough tiles to keep every thread busy twice over.
    l.step = std::max(
        1, (2 * std::max(1, WorkerPool::instance().threadCount()) + l.tilesPerBand - 1) / l.tilesPerBand);
    // The remainder of the bands goes first: the loop starts sooner, and the last group is a
    // whole one, not a few rows after which the writer is left to encode all of the group
    // before them.
    l.firstStep = l.bandCount > 0 ? (l.bandCount - 1) % l.step + 1 : 0;
    l.groupCount = l.bandCount > 0 ? 1 + (l.bandCount - l.firstStep) / l.step : 0;
    l.halo = halo;
    l.levelRows = in.height();
    l.windowRows = std::min(l.levelRows, l.step * l.bandHeight + 2 * halo);
    l.lx0 = std::max(0, m_source.x0 - halo);
    l.lx1 = std::min(in.width(), m_source.x1 + halo);
    return l;
}

std::pair<int, int> StreamedExport::groupRows(const Layout& l, int first, int n) const
{
    const int b0 = std::min(l.bandOf(first), l.bandOf(first + n - 1)),
              b1 = std::max(l.bandOf(first), l.bandOf(first + n - 1));
    return { std::max(0, m_source.y0 + b0 * l.bandHeight - l.halo),
        std::min(l.levelRows, std::min(m_source.y1, m_source.y0 + (b1 + 1) * l.bandHeight) + l.halo) };
}

void StreamedExport::makeFirstColour(const render::TileInputs& early)
{
    m_first.reset();
    if (!m_rows || !early.colour)
        return;
    // The halo the inputs will have once the depth is there.
    const int halo = (early.sharpening != 0.f ? 1 : 0) + render::refocusHalo(early.refocus);
    const Layout l = layout(early, halo);
    if (l.groupCount == 0)
        return;
    const std::pair<int, int> rows = groupRows(l, 0, l.firstStep);
    auto window = std::make_unique<LinearWindow>(early, m_tone, l.lx0, l.lx1, l.windowRows, m_rows, true);
    WorkerPool& pool = WorkerPool::instance();
    ScratchShelf<LevelScratch> levelShelf;
    // Two loops rather than one with a wait: the threads done with the rows go back to the
    // depth's work rather than wait for the last of them.
    pool.parallelFor(window->begin(early, rows.first, rows.second, nullptr, true), [&](int task) {
        ScratchShelf<LevelScratch>::Lease scratch(levelShelf);
        window->makeTask(early, task, &scratch.get()->rows);
    });
    pool.parallelFor(window->sharpenTasks(), [&](int task) { window->sharpenTask(early, task); });
    m_first = std::move(window);
    m_firstColour = early.colour;
    m_firstSharpening = early.sharpening;
}

int StreamedExport::bandRows(const render::TileInputs& in)
{
    return render::linearHalo(in) > kWideMargin ? kWideBandRows : kBandRows;
}

bool StreamedExport::run(const std::function<bool()>& aborted, const std::function<void(int)>& progress)
{
    WorkerPool& pool = WorkerPool::instance();
    const int sh = m_source.height();
    const int pw = m_plan.width, ph = m_plan.height;
    const int W = m_plan.finalWidth(), H = m_plan.finalHeight();
    const bool transposed = m_plan.transposed;
    const Layout L = layout(m_in, render::linearHalo(m_in));
    const render::LevelRows* const levelRows = m_in.camera ? nullptr : m_rows;
    // Output rows are plan rows, top down, or bottom up when the picture is upside down.
    const bool upwards = L.upwards;
    const size_t bpp = bytesPerPixel(m_writer.samples());
    // At the export's own size a tile's pixels are the output's: each tile is converted as soon
    // as it is rendered, into the rows handed to the writer (no bands, nothing left to convert
    // once the tiles are done).
    const bool direct = m_resampler.identity();
    const Converter convert { m_writer.samples(), m_tone, *m_in.colour };

    // Where plan pixel x of a row lands: its column in the output row (upright), or the output
    // row whose column this plan row is (quarter turn). See orient() for the algebra.
    std::vector<int> at(static_cast<size_t>(pw));
    for (int x = 0; x < pw; ++x) {
        if (!transposed)
            at[size_t(x)] = m_m[0] > 0 ? x : W - 1 - x;
        else
            at[size_t(x)] = (m_m[2] < 0 ? x : H - 1 - x) * W; // in pixels from the buffer's start
    }
    std::vector<uint8_t> whole;
    if (transposed)
        whole.resize(size_t(W) * H * bpp);

    // The planes tiles work in: one set for each thread at work, let go when the export ends.
    ScratchShelf<TileScratch> shelf;
    ScratchShelf<LevelScratch> levelShelf;
    std::map<int, RgbPlanes<float>> bands;
    std::vector<RgbPlanes<float>> spare; // planes of dropped bands, reused for new ones
    const int bandHeight = L.bandHeight;
    const int bandCount = L.bandCount;
    const int sw = m_source.width();
    const int tilesPerBand = L.tilesPerBand;
    const int step = L.step;
    // Two groups' rows may wait for the writer: a group's in pieces of a band at the export's
    // own size (so that the threads that hand them on seldom wait), else in at most two.
    std::unique_ptr<EncoderThread> encoder;
    if (!transposed)
        encoder = std::make_unique<EncoderThread>(m_writer, direct ? 2 * step : 2);
    const int firstStep = L.firstStep;
    auto groupBands
        = [&](int first) { return std::clamp(first == 0 ? firstStep : step, 0, bandCount - first); };
    const int groupCount = L.groupCount;
    int rendered = 0, rowsDone = 0;
    if (!m_in.camera && !levelRows)
        throw std::logic_error("No level to export");
    const int windowRows = L.windowRows;

    // Two windows of the level's linear rows, allocated once for the largest group; the groups
    // take them in turn: while the tiles of one group render from its window, the next group's
    // is made (the rows the two share copied from the one in use, which is only read). Without
    // a developed level, the tasks that make a window's rows develop the level rows they read
    // (into the scratch they lease): no level rows are held beyond a task.
    const int lx0 = L.lx0, lx1 = L.lx1;
    std::unique_ptr<LinearWindow> linear[2];
    // The first group's window, its colours made already, when it is the one these inputs call for.
    const std::pair<int, int> rows0
        = groupCount > 0 ? groupRows(L, 0, groupBands(0)) : std::pair<int, int> {};
    const bool firstMade = m_first && levelRows && m_in.colour == m_firstColour
        && m_in.sharpening == m_firstSharpening
        && m_first->holds(m_in, lx0, lx1, windowRows, rows0.first, rows0.second);
    m_usedFirst = firstMade;
    if (firstMade)
        linear[0] = std::move(m_first);
    m_first.reset();
    m_firstColour.reset();
    for (int k = firstMade ? 1 : 0; k < std::min(2, groupCount); ++k)
        linear[k] = std::make_unique<LinearWindow>(m_in, m_tone, lx0, lx1, windowRows, levelRows);
    auto makeTask = [&](LinearWindow& window, int task) {
        ScratchShelf<LevelScratch>::Lease scratch(levelShelf);
        window.makeTask(m_in, task, &scratch.get()->rows);
    };

    // The groups: `n` bands from the `rendered`-th on (in the order they are rendered).
    auto bandOf = [&](int index) { return L.bandOf(index); };
    auto tileAt = [&](int first, int t) {
        const int b = bandOf(first + t / tilesPerBand), column = (t % tilesPerBand) * m_tileColumns;
        return Rect { m_source.x0 + column, m_source.y0 + b * bandHeight,
            std::min(m_source.x1, m_source.x0 + column + m_tileColumns),
            std::min(m_source.y1, m_source.y0 + (b + 1) * bandHeight) };
    };
    // What cost() found of each tile of the group to render and of the group after it.
    std::vector<double> cost, nextCost;
    std::vector<std::array<float, 2>> ranges, nextRanges;
    // The first group's linear rows and the measure of its tiles, made before the loop in one
    // loop of their own (each step waits for the one it reads); each later group's are made
    // while the group before it renders.
    const int groupSize = groupBands(0);
    if (groupSize > 0 && firstMade) {
        // Its colours are made: the layer coordinates, then the measure.
        const int placing = linear[0]->positionTasks();
        cost.assign(size_t(groupSize * tilesPerBand), 0.0);
        ranges.resize(cost.size());
        Latch placed(placing);
        pool.parallelFor(placing + int(cost.size()), [&](int i) {
            if (i < placing) {
                Latch::CountDown c(placed);
                linear[0]->positionTask(m_in, i);
                return;
            }
            placed.wait();
            const int t = i - placing;
            cost[size_t(t)] = linear[0]->cost(m_in, tileAt(0, t), ranges[size_t(t)].data());
        });
    } else if (groupSize > 0) {
        const int making = linear[0]->begin(m_in, rows0.first, rows0.second);
        const int sharpening = linear[0]->sharpenTasks();
        cost.assign(size_t(groupSize * tilesPerBand), 0.0);
        ranges.resize(cost.size());
        const int a0 = making, a1 = a0 + sharpening, a2 = a1 + int(cost.size());
        Latch made(making);
        pool.parallelFor(a2, [&](int i) {
            if (i < a0) {
                Latch::CountDown c(made);
                makeTask(*linear[0], i);
            } else if (i < a1) {
                made.wait();
                linear[0]->sharpenTask(m_in, i - a0);
            } else {
                made.wait();
                const int t = i - a1;
                cost[size_t(t)] = linear[0]->cost(m_in, tileAt(0, t), ranges[size_t(t)].data());
            }
        });
    }
    if (direct && !transposed && groupCount > 0) {
        // At the export's own size, not turned: one loop for all the groups, so that the threads
        // done with a group's tiles start the next group's rather than wait for the group's last
        // tile. Besides the tiles, each group after the first has tasks that make its linear rows
        // (once the tiles two groups back have let go of the window they go to, and the window
        // they copy from is sharpened) and tasks that sharpen them and measure its tiles. The
        // schedule hands each task out once what it needs is done, the next group's rows before
        // the tiles of the group before it: they are made while that group renders rather than
        // after its last tile, with the threads waiting for them. Each band's rows go to the
        // writer, in the bands' order, once its tiles are done; after a group's last band the
        // progress is reported (an abort seen there, or at any tile, writes nothing more).
        std::vector<int> groupFirst(size_t(groupCount) + 1, 0); // its first band, in render order
        for (int g = 0; g < groupCount; ++g)
            groupFirst[size_t(g) + 1] = groupFirst[size_t(g)] + groupBands(groupFirst[size_t(g)]);
        if (groupFirst.back() != bandCount)
            throw std::logic_error("Groups and bands differ");
        auto tilesOf
            = [&](int g) { return (groupFirst[size_t(g) + 1] - groupFirst[size_t(g)]) * tilesPerBand; };
        // Room for each step's tasks of the next group, known before its window is planned.
        const int slots = LinearWindow::maxTasks(windowRows);
        // The tasks: each group's tiles; for every group after the first, `slots` tasks that
        // make its rows, then `slots` that sharpen them and one measure for each of its tiles.
        std::vector<int> groupTiles(static_cast<size_t>(groupCount)),
            finishing(static_cast<size_t>(groupCount));
        for (int g = 0; g < groupCount; ++g) {
            groupTiles[size_t(g)] = tilesOf(g);
            finishing[size_t(g)] = g > 0 ? slots + tilesOf(g) : 0;
        }
        GroupSchedule schedule(std::move(groupTiles), slots, std::move(finishing));
        // Measures of a group in the slot of its parity, sized for the largest group.
        std::vector<double> costs[2];
        std::vector<std::array<float, 2>> tileRanges[2];
        costs[0] = std::move(cost);
        tileRanges[0] = std::move(ranges);
        for (int k = 0; k < 2; ++k) {
            costs[k].resize(size_t(step * tilesPerBand), 0.0);
            tileRanges[k].resize(costs[k].size());
        }
        std::vector<int> making(size_t(groupCount), 0);
        std::vector<std::once_flag> begun(static_cast<size_t>(groupCount)),
            started(static_cast<size_t>(groupCount));
        std::vector<std::vector<int>> order(static_cast<size_t>(groupCount));
        // Each band's rows (render order), handed on once its tiles are done.
        std::vector<RowBuffer> bandOut(static_cast<size_t>(bandCount));
        std::unique_ptr<std::atomic<int>[]> tilesLeft(new std::atomic<int>[size_t(bandCount)]);
        for (int j = 0; j < bandCount; ++j)
            tilesLeft[size_t(j)] = tilesPerBand;
        std::vector<char> bandDone(size_t(bandCount), 0);
        std::mutex handing;
        int handed = 0;
        std::atomic<bool> stop { false }; // aborted, or a task failed
        auto rowsOfBand = [&](int j) {
            const int b = bandOf(j);
            return std::pair<int, int> { b * bandHeight, std::min(sh, (b + 1) * bandHeight) };
        };
        // Under `handing`: the bands done, in order; a group's last one after the report.
        auto handOn = [&] {
            while (!stop && handed < bandCount && bandDone[size_t(handed)]) {
                const auto g = size_t(
                    std::upper_bound(groupFirst.begin(), groupFirst.end(), handed) - groupFirst.begin() - 1);
                if (handed + 1 == groupFirst[g + 1]) {
                    if (aborted()) {
                        stop = true;
                        return;
                    }
                    if (progress)
                        progress(5 + 80 * (handed + 1) / bandCount);
                    if (aborted()) {
                        stop = true;
                        return;
                    }
                }
                const auto [r0, r1] = rowsOfBand(handed);
                encoder->push(std::move(bandOut[size_t(handed)]), r1 - r0);
                ++handed;
            }
        };
        auto renderTile = [&](int g, int k) {
            std::call_once(started[size_t(g)], [&] {
                // The costliest tiles of each band first, the bands in order; and the bands' rows.
                std::vector<int>& o = order[size_t(g)];
                o.resize(size_t(tilesOf(g)));
                for (size_t t = 0; t < o.size(); ++t)
                    o[t] = int(t);
                const std::vector<double>& c = costs[g % 2];
                std::stable_sort(o.begin(), o.end(), [&](int a, int b) {
                    if (a / tilesPerBand != b / tilesPerBand)
                        return a / tilesPerBand < b / tilesPerBand;
                    return c[size_t(a)] > c[size_t(b)];
                });
                for (int j = groupFirst[size_t(g)]; j < groupFirst[size_t(g) + 1]; ++j) {
                    const auto [r0, r1] = rowsOfBand(j);
                    RowBuffer buffer = encoder->buffer();
                    buffer.resize(size_t(r1 - r0) * W * bpp);
                    bandOut[size_t(j)] = std::move(buffer);
                }
            });
            if (m_tileHook)
                m_tileHook(g, false);
            if (stop)
                return;
            const int t = order[size_t(g)][size_t(k)];
            const int j = groupFirst[size_t(g)] + t / tilesPerBand;
            const Rect rect = tileAt(groupFirst[size_t(g)], t);
            {
                ScratchShelf<TileScratch>::Lease scratch(shelf);
                RgbPlanes<float>& tile = scratch.get()->refocus.acc;
                tile.reset(rect.width(), rect.height());
                linear[g % 2]->render(
                    m_in, rect, tile, 0, 0, scratch.get()->refocus, tileRanges[g % 2][size_t(t)].data());
                const auto [r0, r1] = rowsOfBand(j);
                uint8_t* const out = bandOut[size_t(j)].data();
                for (int ty = 0; ty < rect.height(); ++ty) {
                    const int y = rect.y0 - m_source.y0 + ty;
                    const float* rgb[3] = { tile.c[0].row(ty), tile.c[1].row(ty), tile.c[2].row(ty) };
                    convert(rgb, 1, tile.width(), at.data() + (t % tilesPerBand) * m_tileColumns,
                        out + size_t(upwards ? r1 - 1 - y : y - r0) * W * bpp);
                }
            }
            if (m_tileHook)
                m_tileHook(g, true);
            if (tilesLeft[size_t(j)].fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> lock(handing);
                bandDone[size_t(j)] = 1;
                handOn();
            }
        };
        pool.parallelFor(schedule.taskCount(), [&](int) {
            const GroupSchedule::Task task = schedule.take();
            // Done however it ends; a failure stops the tasks after it before those that wait
            // for this one may run.
            struct Done
            {
                GroupSchedule& schedule;
                const GroupSchedule::Task& task;
                ~Done() { schedule.done(task); }
            } done { schedule, task };
            const int g = task.group, k = task.index;
            try {
                switch (task.kind) {
                case GroupSchedule::Kind::Tile:
                    renderTile(g, k);
                    break;
                case GroupSchedule::Kind::Make: {
                    // The window goes to this group once the group two before is done with it,
                    // and copies rows of the one before once that is sharpened.
                    LinearWindow& window = *linear[g % 2];
                    std::call_once(begun[size_t(g)], [&] {
                        const int first = groupFirst[size_t(g)];
                        const std::pair<int, int> rows
                            = groupRows(L, first, groupFirst[size_t(g) + 1] - first);
                        making[size_t(g)]
                            = window.begin(m_in, rows.first, rows.second, linear[(g - 1) % 2].get());
                        if (making[size_t(g)] > slots || window.sharpenTasks() > slots)
                            throw std::logic_error("More tasks than planned");
                    });
                    if (!stop && k < making[size_t(g)])
                        makeTask(window, k);
                    break;
                }
                case GroupSchedule::Kind::Finish: {
                    if (stop)
                        break;
                    LinearWindow& window = *linear[g % 2];
                    if (k < slots) {
                        if (k < window.sharpenTasks())
                            window.sharpenTask(m_in, k);
                        break;
                    }
                    const int t = k - slots;
                    costs[g % 2][size_t(t)] = window.cost(
                        m_in, tileAt(groupFirst[size_t(g)], t), tileRanges[g % 2][size_t(t)].data());
                    break;
                }
                }
            } catch (...) {
                stop = true;
                throw;
            }
        });
        const bool done = handed == bandCount;
        for (auto& l : linear)
            if (l)
                l->release();
        if (!done)
            return false;
        encoder->finish();
        return true;
    }
    int cur = 0; // the window of the group rendered: linear[cur]
    while (rowsDone < ph) {
        const int n = groupBands(rendered);
        const int next = groupBands(rendered + n); // bands of the group after
        // The group's bands, in the map before any task starts (tiles write into them).
        for (int j = 0; j < n && !direct; ++j) {
            RgbPlanes<float> planes;
            if (!spare.empty()) {
                planes = std::move(spare.back());
                spare.pop_back();
            }
            const int b = bandOf(rendered + j);
            planes.reset(
                sw, std::min(m_source.y1, m_source.y0 + (b + 1) * bandHeight) - m_source.y0 - b * bandHeight);
            bands[b] = std::move(planes);
        }
        std::vector<RgbPlanes<float>*> fresh(size_t(std::max(0, n)));
        for (int j = 0; j < n && !direct; ++j)
            fresh[size_t(j)] = &bands.at(bandOf(rendered + j));
        // The costliest tiles first, so that the group does not end waiting for one of them.
        const int tiles = n * tilesPerBand;
        std::vector<int> order(size_t(std::max(0, tiles)));
        for (size_t t = 0; t < order.size(); ++t)
            order[t] = int(t);
        // At the export's own size a group goes band after band (the costliest tiles first
        // within each), and a band's rows go to the writer as soon as its last tile is done: the
        // writer encodes them while the next band renders, rather than waiting for the whole
        // group, and is left one band to encode once the last tiles are done.
        const int done = rendered + n;
        const bool byBand = direct && !transposed && n > 1;
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            if (byBand && a / tilesPerBand != b / tilesPerBand)
                return a / tilesPerBand < b / tilesPerBand;
            return cost[size_t(a)] > cost[size_t(b)];
        });
        // The output rows whose source rows are rendered once this group is.
        const int lo = upwards ? std::max(0, (bandCount - done) * bandHeight) : 0;
        const int hi = upwards ? sh : std::min(sh, done * bandHeight);
        std::vector<int> rows;
        for (; rowsDone < ph; ++rowsDone) {
            const int y = upwards ? ph - 1 - rowsDone : rowsDone;
            const auto need = m_resampler.sourceRows(y);
            if (need.first < lo || need.second > hi)
                break;
            rows.push_back(y);
        }
        // Converts rows[i] to `dst` (its place in the rows handed to the writer, or in the whole
        // turned picture).
        auto convertRow = [&](int i, uint8_t* dst) {
            const int y = rows[size_t(i)];
            if (transposed)
                dst = whole.data() + size_t(m_m[1] < 0 ? y : W - 1 - y) * bpp;
            const float* rgb[3];
            thread_local std::vector<float> scratch;
            if (m_resampler.identity()) {
                const RgbPlanes<float>& band = bands.at(y / bandHeight);
                for (int c = 0; c < 3; ++c)
                    rgb[c] = band.c[c].row(y % bandHeight);
            } else {
                const auto need = m_resampler.sourceRows(y);
                scratch.resize(size_t(pw) * 3);
                for (int c = 0; c < 3; ++c) {
                    const float* src[64];
                    std::vector<const float*> many;
                    const float** rowsOf = src;
                    if (need.second - need.first > 64) {
                        many.resize(size_t(need.second - need.first));
                        rowsOf = many.data();
                    }
                    for (int yy = need.first; yy < need.second; ++yy)
                        rowsOf[yy - need.first] = bands.at(yy / bandHeight).c[c].row(yy % bandHeight);
                    float* o = scratch.data() + size_t(c) * pw;
                    m_resampler.row(
                        y, [&](int yy) { return rowsOf[yy - need.first]; }, 1, o, 1);
                    rgb[c] = o;
                }
            }
            convert(rgb, 1, pw, at.data(), dst);
        };
        // The last group's rows go to the writer in two halves, so that it encodes the first
        // while the second is converted and has only half a group left when the rest is done.
        // Tiles converted as they are rendered leave nothing to convert after them.
        const int count = int(rows.size());
        const int split = next == 0 && !transposed && !direct ? count / 2 : count;
        // Converts rows [ty0, ty1) of a tile rendered into `tile` (its top left pixel at source
        // pixel (x0, y0)) to their places in the rows handed to the writer, or in the whole
        // turned picture.
        // `rowsOut` holds the group's rows [first, end) in the writer's order.
        auto convertTile = [&](const RgbPlanes<float>& tile, int x0, int y0, int ty0, int ty1,
                               uint8_t* rowsOut, int first, int end) {
            for (int ty = ty0; ty < ty1; ++ty) {
                const int y = y0 + ty;
                uint8_t* dst;
                if (transposed) {
                    dst = whole.data() + size_t(m_m[1] < 0 ? y : W - 1 - y) * bpp;
                } else {
                    const int i = upwards ? rows.front() - y : y - rows.front();
                    if (i < first || i >= end)
                        throw std::logic_error("Tile outside its group's rows");
                    dst = rowsOut + size_t(i - first) * W * bpp;
                }
                const float* rgb[3] = { tile.c[0].row(ty), tile.c[1].row(ty), tile.c[2].row(ty) };
                convert(rgb, 1, tile.width(), at.data() + x0, dst);
            }
        };
        RowBuffer out;
        if (!transposed && !byBand) {
            out = encoder->buffer();
            out.resize(size_t(split) * W * bpp);
        }
        // By band: each band's rows in a buffer of their own, [bandRow[j], bandRow[j + 1]) of
        // the group's, handed on once its tiles (tilesLeft[j]) are done, in the bands' order.
        std::vector<RowBuffer> bandOut;
        std::vector<int> bandRow(1, 0);
        std::unique_ptr<std::atomic<int>[]> tilesLeft;
        std::vector<char> bandDone;
        std::mutex handing;
        int handed = 0;
        std::atomic<bool> tileFailed { false };
        if (byBand) {
            tilesLeft.reset(new std::atomic<int>[size_t(n)]);
            for (int j = 0; j < n; ++j) {
                const int b = bandOf(rendered + j);
                const int height = std::min(m_source.y1, m_source.y0 + (b + 1) * bandHeight) - m_source.y0
                    - b * bandHeight;
                bandRow.push_back(bandRow.back() + height);
                bandOut.push_back(encoder->buffer());
                bandOut.back().resize(size_t(height) * W * bpp);
                tilesLeft[size_t(j)] = tilesPerBand;
            }
            bandDone.assign(size_t(n), 0);
            if (bandRow.back() != count)
                throw std::logic_error("Bands and rows differ");
        }
        // The next group's linear rows (sharpened once all are made) and the measure of its
        // tiles, into the other window.
        LinearWindow* const nextLinear = linear[1 - cur].get();
        int making = 0, sharpening = 0, measures = 0;
        if (next > 0) {
            const std::pair<int, int> nextRows = groupRows(L, done, next);
            making = nextLinear->begin(m_in, nextRows.first, nextRows.second, linear[cur].get());
            sharpening = nextLinear->sharpenTasks();
            measures = next * tilesPerBand;
            nextCost.assign(size_t(measures), 0.0);
            nextRanges.resize(nextCost.size());
        }
        // One loop for all of it: tasks that need others done wait for them, and come after
        // them in the loop, so that those are under way (or done) when they wait.
        // The next group's rows come after the tiles: the threads that find no tile left make
        // them while the last tiles end.
        Latch made(making), rendering(tiles);
        const int a0 = tiles, a1 = a0 + making, a2 = a1 + sharpening, a3 = a2 + measures,
                  a4 = a3 + (direct ? 0 : split);
        const int first = rendered;
        pool.parallelFor(a4, [&](int i) {
            if (i < a0) {
                Latch::CountDown c(rendering);
                const int t = order[size_t(i)];
                const int column = (t % tilesPerBand) * m_tileColumns;
                ScratchShelf<TileScratch>::Lease scratch(shelf);
                const Rect rect = tileAt(first, t);
                if (direct && byBand) {
                    const int j = t / tilesPerBand;
                    try {
                        RgbPlanes<float>& tile = scratch.get()->refocus.acc;
                        tile.reset(rect.width(), rect.height());
                        linear[cur]->render(
                            m_in, rect, tile, 0, 0, scratch.get()->refocus, ranges[size_t(t)].data());
                        convertTile(tile, column, rect.y0 - m_source.y0, 0, rect.height(),
                            bandOut[size_t(j)].data(), bandRow[size_t(j)], bandRow[size_t(j) + 1]);
                    } catch (...) {
                        tileFailed = true;
                        throw;
                    }
                    if (tilesLeft[size_t(j)].fetch_sub(1, std::memory_order_acq_rel) == 1) {
                        // Every band before the last, in order, as soon as it and those before
                        // it are done (the last goes after the loop, past the abort check).
                        std::lock_guard<std::mutex> lock(handing);
                        bandDone[size_t(j)] = 1;
                        while (!tileFailed && handed < n - 1 && bandDone[size_t(handed)]) {
                            encoder->push(std::move(bandOut[size_t(handed)]),
                                bandRow[size_t(handed) + 1] - bandRow[size_t(handed)]);
                            ++handed;
                        }
                    }
                    return;
                }
                if (direct) {
                    RgbPlanes<float>& tile = scratch.get()->refocus.acc;
                    tile.reset(rect.width(), rect.height());
                    linear[cur]->render(
                        m_in, rect, tile, 0, 0, scratch.get()->refocus, ranges[size_t(t)].data());
                    convertTile(tile, column, rect.y0 - m_source.y0, 0, rect.height(), out.data(), 0, count);
                    return;
                }
                linear[cur]->render(m_in, rect, *fresh[size_t(t / tilesPerBand)], column, 0,
                    scratch.get()->refocus, ranges[size_t(t)].data());
            } else if (i < a1) {
                Latch::CountDown c(made);
                makeTask(*nextLinear, i - a0);
            } else if (i < a2) {
                made.wait();
                nextLinear->sharpenTask(m_in, i - a1);
            } else if (i < a3) {
                made.wait();
                const int t = i - a2;
                nextCost[size_t(t)] = nextLinear->cost(m_in, tileAt(done, t), nextRanges[size_t(t)].data());
            } else {
                rendering.wait();
                convertRow(i - a3, transposed ? nullptr : out.data() + size_t(i - a3) * W * bpp);
            }
        });
        rendered = done;
        // An abort seen at a report writes nothing more.
        if (aborted())
            return false;
        if (progress)
            progress(5 + 80 * rendered / std::max(1, bandCount));
        if (aborted())
            return false;
        if (byBand) {
            for (; handed < n; ++handed)
                encoder->push(std::move(bandOut[size_t(handed)]),
                    bandRow[size_t(handed) + 1] - bandRow[size_t(handed)]);
        } else if (!transposed && split > 0) {
            encoder->push(std::move(out), split);
        }
        // The rest of the last group's rows in pieces, so that the writer has little left to
        // encode once the last is converted.
        const int piece = std::max(8, (count - split + 2) / 3);
        for (int from = split; from < count; from += piece) {
            const int rowsNow = std::min(piece, count - from);
            RowBuffer rest = encoder->buffer();
            rest.resize(size_t(rowsNow) * W * bpp);
            pool.parallelFor(
                rowsNow, [&](int i) { convertRow(from + i, rest.data() + size_t(i) * W * bpp); });
            encoder->push(std::move(rest), rowsNow);
        }
        cost.swap(nextCost);
        ranges.swap(nextRanges);
        cur = 1 - cur;
        // Drop the bands the rows still to come do not read.
        if (rowsDone < ph) {
            const auto need = m_resampler.sourceRows(upwards ? ph - 1 - rowsDone : rowsDone);
            for (auto it = bands.begin(); it != bands.end();) {
                const int b = it->first;
                const bool gone
                    = upwards ? b * bandHeight >= need.second : (b + 1) * bandHeight <= need.first;
                if (gone) {
                    spare.push_back(std::move(it->second));
                    it = bands.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    bands.clear();
    spare.clear();
    for (auto& l : linear)
        if (l)
            l->release();
    if (encoder)
        encoder->finish();
    if (transposed) {
        for (int y = 0; y < H; y += bandHeight) {
            if (aborted())
                return false;
            m_writer.write(whole.data() + size_t(y) * W * bpp, std::min(bandHeight, H - y));
        }
    }
    return true;
}

} // namespace CIAPI::exporter
