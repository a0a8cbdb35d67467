#include "ciapi/export/streamedexport.h"

#include <algorithm>
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

#include "ciapi/export/linearwindow.h"
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

// Hands rows to the writer on a thread of its own, so that encoding one group of rows
// overlaps rendering the next. At most two groups wait; their buffers come back for reuse.
class EncoderThread
{
public:
    explicit EncoderThread(RowWriter& writer)
        : m_writer(writer)
        , m_thread([this] { loop(); })
    { }
    ~EncoderThread() { stop(true); }

    // A buffer for the next rows (a used one when there is one).
    std::vector<uint8_t> buffer()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spare.empty())
            return {};
        std::vector<uint8_t> b = std::move(m_spare.back());
        m_spare.pop_back();
        return b;
    }

    void push(std::vector<uint8_t> rows, int count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_queue.size() < 2 || m_error; });
        rethrowLocked();
        m_queue.push_back({ std::move(rows), count });
        m_changed.notify_all();
    }

    // Writes what is queued, ends the thread; rethrows the writer's failure.
    void finish()
    {
        stop(false);
        std::lock_guard<std::mutex> lock(m_mutex);
        rethrowLocked();
    }

private:
    void rethrowLocked()
    {
        if (m_error)
            std::rethrow_exception(std::exchange(m_error, nullptr));
    }

    void stop(bool drop)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (drop)
                m_queue.clear();
            m_closing = true;
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
    }

    void loop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_queue.empty() || m_closing; });
            if (m_queue.empty())
                return;
            auto [rows, count] = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            try {
                if (!m_error)
                    m_writer.write(rows.data(), count);
            } catch (...) {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_error = std::current_exception();
            }
            lock.lock();
            m_spare.push_back(std::move(rows));
            m_changed.notify_all();
        }
    }

    RowWriter& m_writer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::pair<std::vector<uint8_t>, int>> m_queue;
    std::vector<std::vector<uint8_t>> m_spare;
    std::exception_ptr m_error;
    bool m_closing = false;
    std::thread m_thread; // last: starts when everything above is ready
};

// Scratch planes for tiles, lent to one tile at a time and kept for the next: as many sets as
// threads render at once, all let go with the shelf (not kept per thread for the pool's life).
class ScratchShelf
{
public:
    using Scratch = render::RefocusScratch;

    class Lease
    {
    public:
        explicit Lease(ScratchShelf& shelf)
            : m_shelf(shelf)
            , m_scratch(shelf.take())
        { }
        ~Lease() { m_shelf.give(std::move(m_scratch)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Scratch* get() const { return m_scratch.get(); }

    private:
        ScratchShelf& m_shelf;
        std::unique_ptr<Scratch> m_scratch;
    };

private:
    std::unique_ptr<Scratch> take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_free.empty())
            return std::make_unique<Scratch>();
        std::unique_ptr<Scratch> s = std::move(m_free.back());
        m_free.pop_back();
        return s;
    }
    void give(std::unique_ptr<Scratch> s)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free.push_back(std::move(s));
    }

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Scratch>> m_free;
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
    , m_rows(in.camera ? nullptr : rows)
    , m_resampler(source.width(), source.height(), plan.width, plan.height, smooth)
{ }

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
    // Output rows are plan rows, top down, or bottom up when the picture is upside down.
    const bool upwards = !transposed && m_m[3] < 0;
    const size_t bpp = bytesPerPixel(m_writer.samples());
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
    ScratchShelf shelf;
    std::map<int, RgbPlanes<float>> bands;
    std::vector<RgbPlanes<float>> spare; // planes of dropped bands, reused for new ones
    std::unique_ptr<EncoderThread> encoder;
    if (!transposed)
        encoder = std::make_unique<EncoderThread>(m_writer);
    const int bandHeight = bandRows(m_in);
    const int bandCount = (sh + bandHeight - 1) / bandHeight;
    const int sw = m_source.width();
    const int tilesPerBand = std::max(1, (sw + m_tileColumns - 1) / m_tileColumns);
    // Bands a group renders: enough tiles to keep every thread busy twice over.
    const int step = std::max(1, (2 * std::max(1, pool.threadCount()) + tilesPerBand - 1) / tilesPerBand);
    int rendered = 0, rowsDone = 0;
    // Without a developed level: the level rows the current group reads, [winTop, winEnd) in a
    // window allocated once for the largest group and moved along in place.
    if (!m_in.camera && !m_rows)
        throw std::logic_error("No level to export");
    const int halo = render::linearHalo(m_in);
    const int levelRows = m_in.height();
    std::shared_ptr<RgbPlanes<uint16_t>> window;
    int winTop = 0, winEnd = 0;
    LinearWindow linear(m_in, m_tone, std::max(0, m_source.x0 - halo),
        std::min(m_in.width(), m_source.x1 + halo), std::min(levelRows, step * bandHeight + 2 * halo));
    render::TileInputs in = m_in;
    if (m_rows) {
        window = std::make_shared<RgbPlanes<uint16_t>>();
        window->reset(m_in.width(), std::min(levelRows, step * bandHeight + 2 * halo));
        in.camera = window;
    }
    // Moves the rows the window keeps of [top, end) to their new place and returns the strips
    // of rows still to develop there (developTask, on the pool).
    auto developBegin = [&](int top, int end) {
        const int keep0 = std::max(top, winTop), keep1 = std::min(end, winEnd);
        if (keep0 < keep1 && top != winTop) {
            render::Plane<uint16_t>* const planes[3] = { &window->c[0], &window->c[1], &window->c[2] };
            moveRows(planes, keep0 - winTop, keep0 - top, keep1 - keep0);
        }
        std::vector<std::pair<int, int>> missing;
        auto add = [&](int a, int b) {
            for (; a < b; a += 16)
                missing.push_back({ a, std::min(b, a + 16) });
        };
        if (keep0 < keep1) {
            add(top, keep0);
            add(keep1, end);
        } else {
            add(top, end);
        }
        winTop = top;
        winEnd = end;
        return missing;
    };
    std::vector<std::pair<int, int>> missing;
    auto developTask = [&](int i) {
        m_rows->develop(
            missing[size_t(i)].first, missing[size_t(i)].second, *window, missing[size_t(i)].first - winTop);
    };

    // The groups: `n` bands from the `rendered`-th on (in the order they are rendered).
    auto bandOf = [&](int index) { return upwards ? bandCount - 1 - index : index; };
    auto groupRows = [&](int first, int n) {
        // The level rows the group's tiles read.
        const int b0 = std::min(bandOf(first), bandOf(first + n - 1)),
                  b1 = std::max(bandOf(first), bandOf(first + n - 1));
        return std::pair<int, int> { std::max(0, m_source.y0 + b0 * bandHeight - halo),
            std::min(levelRows, std::min(m_source.y1, m_source.y0 + (b1 + 1) * bandHeight) + halo) };
    };
    auto tileAt = [&](int first, int t) {
        const int b = bandOf(first + t / tilesPerBand), column = (t % tilesPerBand) * m_tileColumns;
        return Rect { m_source.x0 + column, m_source.y0 + b * bandHeight,
            std::min(m_source.x1, m_source.x0 + column + m_tileColumns),
            std::min(m_source.y1, m_source.y0 + (b + 1) * bandHeight) };
    };
    std::vector<double> cost;
    std::vector<std::array<float, 2>> ranges; // what cost() found of each tile's layers
    // The first group's rows, made before the loop; each later group's are made while the
    // group before it renders and converts (the develop of its rows beside the tiles, their
    // linear values beside the conversion, their sharpening beside the measure of its tiles),
    // so that the pool's threads do not wait for each other between the steps.
    const int groupSize = std::min(step, bandCount);
    if (groupSize > 0) {
        const auto [top, end] = groupRows(0, groupSize);
        if (window) {
            missing = developBegin(top, end);
            pool.parallelFor(int(missing.size()), developTask);
            in.cameraTop = top;
        }
        linear.fill(in, top, end);
        cost.assign(size_t(groupSize * tilesPerBand), 0.0);
        ranges.resize(cost.size());
        pool.parallelFor(int(cost.size()),
            [&](int t) { cost[size_t(t)] = linear.cost(in, tileAt(0, t), ranges[size_t(t)].data()); });
    }

    while (rowsDone < ph) {
        const int n = std::min(step, bandCount - rendered);
        const int next = std::min(step, bandCount - rendered - n); // bands of the group after
        std::pair<int, int> nextRows { 0, 0 };
        if (next > 0)
            nextRows = groupRows(rendered + n, next);
        std::vector<RgbPlanes<float>> fresh(size_t(std::max(0, n)));
        for (auto& f : fresh) {
            if (spare.empty())
                break;
            f = std::move(spare.back());
            spare.pop_back();
        }
        for (int j = 0; j < n; ++j) {
            const int b = bandOf(rendered + j);
            fresh[size_t(j)].reset(
                sw, std::min(m_source.y1, m_source.y0 + (b + 1) * bandHeight) - m_source.y0 - b * bandHeight);
        }
        // The costliest tiles first, so that the group does not end waiting for one of them;
        // then the strips of the next group's rows to develop.
        const int tiles = n * tilesPerBand;
        std::vector<int> order(size_t(std::max(0, tiles)));
        for (size_t t = 0; t < order.size(); ++t)
            order[t] = int(t);
        std::stable_sort(
            order.begin(), order.end(), [&](int a, int b) { return cost[size_t(a)] > cost[size_t(b)]; });
        missing.clear();
        if (window && next > 0)
            missing = developBegin(nextRows.first, nextRows.second);
        const int first = rendered;
        pool.parallelFor(tiles + int(missing.size()), [&](int i) {
            if (i >= tiles) {
                developTask(i - tiles);
                return;
            }
            const int t = order[size_t(i)];
            const int column = (t % tilesPerBand) * m_tileColumns;
            ScratchShelf::Lease scratch(shelf);
            linear.render(in, tileAt(first, t), fresh[size_t(t / tilesPerBand)], column, 0, *scratch.get(),
                ranges[size_t(t)].data());
        });
        for (int j = 0; j < n; ++j)
            bands.emplace(bandOf(rendered + j), std::move(fresh[size_t(j)]));
        rendered += n;
        fresh.clear();
        // An abort seen at a report writes nothing more.
        if (aborted())
            return false;
        if (progress)
            progress(5 + 80 * rendered / std::max(1, bandCount));
        if (aborted())
            return false;
        // Source rows rendered so far.
        const int lo = upwards ? std::max(0, (bandCount - rendered) * bandHeight) : 0;
        const int hi = upwards ? sh : std::min(sh, rendered * bandHeight);
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
        const int count = int(rows.size());
        const int split = next == 0 && !transposed ? count / 2 : count;
        std::vector<uint8_t> out;
        if (!transposed) {
            out = encoder->buffer();
            out.resize(size_t(split) * W * bpp);
        }
        // The rows converted, beside the linear values of the next group's rows.
        int making = 0;
        if (next > 0) {
            if (window)
                in.cameraTop = nextRows.first;
            making = linear.begin(in, nextRows.first, nextRows.second);
        }
        pool.parallelFor(split + making, [&](int i) {
            if (i >= split)
                linear.makeTask(in, i - split);
            else
                convertRow(i, transposed ? nullptr : out.data() + size_t(i) * W * bpp);
        });
        if (!transposed && split > 0)
            encoder->push(std::move(out), split);
        if (split < count) {
            std::vector<uint8_t> rest = encoder->buffer();
            rest.resize(size_t(count - split) * W * bpp);
            pool.parallelFor(
                count - split, [&](int i) { convertRow(split + i, rest.data() + size_t(i) * W * bpp); });
            encoder->push(std::move(rest), count - split);
        }
        // The next group's rows sharpened, beside the measure of its tiles.
        if (next > 0) {
            const int sharpening = linear.sharpenTasks();
            cost.assign(size_t(next * tilesPerBand), 0.0);
            ranges.resize(cost.size());
            pool.parallelFor(sharpening + int(cost.size()), [&](int i) {
                if (i < sharpening)
                    linear.sharpenTask(in, i);
                else
                    cost[size_t(i - sharpening)] = linear.cost(
                        in, tileAt(rendered, i - sharpening), ranges[size_t(i - sharpening)].data());
            });
        }
        // Drop the bands the rows still to come do not read.
        if (rowsDone < ph) {
            const auto need = m_resampler.sourceRows(upwards ? ph - 1 - rowsDone : rowsDone);
            for (auto it = bands.begin(); it != bands.end();) {
                const int b = it->first;
                const bool done
                    = upwards ? b * bandHeight >= need.second : (b + 1) * bandHeight <= need.first;
                if (done) {
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
    linear.release();
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
