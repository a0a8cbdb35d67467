#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "ciapi/export/exportgeometry.h"
#include "ciapi/export/rowwriters.h"
#include "ciapi/render/rawdevelop.h"
#include "ciapi/render/tilerender.h"

namespace CIAPI::exporter {

class LinearWindow;

// One export made band by band: bands of source rows are rendered on the pool (as linear
// floats, a group of a few at a time, from a window of the level's linear rows that moves
// along with the groups), each output row is resampled from the bands that hold its source
// rows, turned, converted to the writer's samples and handed to the writer (which encodes on
// a thread of its own); bands no row needs any more are dropped. A group's rows are made
// (in the second of two windows taken in turn) while the group before it renders, in one loop
// on the pool with its conversion (at the export's own size each tile is converted as soon as
// it is rendered, without bands). Upright and mirrored pictures stream (upside-down ones render
// their bands from the bottom up); a band is rendered as column tiles shared out over the pool;
// a quarter turn makes output rows of source columns, so it
// collects the converted picture (3 to 6 bytes a pixel) before writing it. The bands are
// always the same rectangles, so the pixels do not depend on the number of threads. The level
// itself may be developed on the way, a few rows at a time by the tasks that make the linear
// rows from them.
class StreamedExport
{
public:
    // A band is rendered as tiles of at most kTileColumns columns, each with its own margin:
    // the work of a tile (and the scratch it needs on its thread) is bounded by the tile,
    // however wide the picture. Bands are kBandRows high, or kWideBandRows when the margin
    // is wide (a refocus): its rows are then paid once per taller band.
    static constexpr int kBandRows = 64;
    static constexpr int kWideBandRows = 256;
    static constexpr int kWideMargin = 16;
    static constexpr int kTileColumns = 512;
    // The band height for these inputs.
    static int bandRows(const render::TileInputs& in);

    // `source` is the rectangle of the level `in` renders from; `plan` the export's size
    // and turn; `m` the turn/mirror matrix.
    // With `rows` (and `in.camera` null) the level is developed a strip of rows at a time, by
    // the task that makes the strip's linear rows, so the export holds no level rows.
    // `in` is read by run() only: it may still be in the making when the export is made.
    StreamedExport(const render::TileInputs& in, const render::Rect& source, const ExportPlan& plan,
        const std::array<int, 4>& m, bool smooth, bool tone, RowWriter& writer,
        const render::LevelRows* rows = nullptr);
    ~StreamedExport();

    // Tiles of another width (at least one column), for tests that want several tiles on a
    // small picture.
    void setTileColumns(int columns) { m_tileColumns = columns > 0 ? columns : kTileColumns; }

    // Makes the colours of the first group's linear rows (developed from `rows`) before run(),
    // on the pool, while the depth the export refocuses with is computed: `early` holds what
    // run()'s inputs will hold but the depth and the refocus's depth range, which only the
    // layer coordinates read (run() makes them). run() makes the window again when its inputs
    // call for another one (no depth after all, other colours).
    void makeFirstColour(const render::TileInputs& early);

    // Called on the thread of each tile of a loop over all the groups (an export at its own
    // size, not turned), before it renders (`rendered` false) and once its rows are converted:
    // tests hold tiles back with it to make groups end in another order.
    void setTileHook(std::function<void(int group, bool rendered)> hook) { m_tileHook = std::move(hook); }

    // Whether run() rendered the first group from the window makeFirstColour made.
    bool usedFirstColour() const { return m_usedFirst; }

    // False when `aborted` turned true (checked between bands, before and after each progress
    // report, so an abort made from a report writes no further rows); progress runs 5 to 85.
    // Both are called on this thread or on pool threads, one call at a time.
    bool run(const std::function<bool()>& aborted, const std::function<void(int)>& progress);

private:
    // How the export is cut into bands, groups of bands and tiles, and the window of linear
    // rows the groups render from, for inputs with this halo.
    struct Layout
    {
        int bandHeight = 0, bandCount = 0, tilesPerBand = 0;
        int step = 0, firstStep = 0, groupCount = 0; // bands a group, in the first, groups
        int halo = 0, levelRows = 0, windowRows = 0, lx0 = 0, lx1 = 0;
        bool upwards = false; // bands rendered from the bottom up
        // The band rendered `index`-th.
        int bandOf(int index) const { return upwards ? bandCount - 1 - index : index; }
    };
    Layout layout(const render::TileInputs& in, int halo) const;
    // The level rows the tiles of `n` bands from the `first`-th on read.
    std::pair<int, int> groupRows(const Layout& l, int first, int n) const;

    const render::TileInputs& m_in;
    render::Rect m_source;
    ExportPlan m_plan;
    std::array<int, 4> m_m;
    bool m_tone;
    RowWriter& m_writer;
    const render::LevelRows* m_rows;
    RowResampler m_resampler;
    int m_tileColumns = kTileColumns;
    // The first group's window with its colours made (makeFirstColour), and the inputs they
    // were made with.
    std::unique_ptr<LinearWindow> m_first;
    std::shared_ptr<const render::ColourPipeline> m_firstColour;
    float m_firstSharpening = 0.f;
    bool m_usedFirst = false;
    std::function<void(int, bool)> m_tileHook;
};

} // namespace CIAPI::exporter
