// The export made band by band writes the bytes of the whole-image path it replaced (render
// every band into one float picture, resample, turn, convert, encode at once), whatever the
// turn, crop, size, format and number of threads; tiles for the screen give the pixels of the
// linear path.
#include <QtTest>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "ciapi/export/encoders.h"
#include "ciapi/export/exportgeometry.h"
#include "ciapi/export/groupschedule.h"
#include "ciapi/export/linearwindow.h"
#include "ciapi/export/rowwriters.h"
#include "ciapi/export/streamedexport.h"
#include "ciapi/render/tilerender.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/transform.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace CIAPI::render;
using namespace CIAPI::exporter;

namespace {

// 190 rows: not a multiple of the band height, and crops cut bands anywhere; bars and noise,
// so sharpening changes pixels.
TileInputs inputs(bool refocus, float maxRadius = 6.f)
{
    const int w = 300, h = 190;
    auto cam = std::make_shared<RgbPlanes<uint16_t>>();
    cam->reset(w, h);
    std::mt19937 random(5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                cam->c[c].at(x, y)
                    = uint16_t(((x / 9 + y / 6) % 3) * 15000 + x * 30 * (c + 1) + random() % 4000);
    TileInputs in;
    in.camera = cam;
    ToneSettings t;
    t.exposure = 0.3f;
    t.contrast = 20.f;
    in.colour = std::make_shared<const ColourPipeline>(t, identity3());
    in.sharpening = 30.f;
    if (refocus) {
        auto depth = std::make_shared<PlaneF>(75, 48);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 75; ++x)
                depth->at(x, y) = 0.6f + 0.1f * float(x) + (y > 30 ? 3.f : 0.f);
        in.depth = depth;
        in.refocus = RefocusSettings { 1.f, 2.f, 0.5f, 10.f, maxRadius };
    }
    return in;
}

// Each band rendered as one rectangle, or as rectangles of `tileColumns` columns side by side.
std::vector<uint8_t> wholeImage(const TileInputs& in, const Rect& src, const ExportPlan& plan,
    const std::array<int, 4>& m, bool smooth, bool tone, int format, const ExifFacts& facts,
    int tileColumns = std::numeric_limits<int>::max())
{
    const int sw = src.width(), sh = src.height();
    const int bandRows = StreamedExport::bandRows(in);
    std::vector<float> px(size_t(sw) * sh * 3);
    for (int y0 = 0; y0 < sh; y0 += bandRows) {
        for (int x0 = 0; x0 < sw; x0 += std::min(tileColumns, sw)) {
            const Rect r { src.x0 + x0, src.y0 + y0, src.x0 + std::min(sw, x0 + std::min(tileColumns, sw)),
                std::min(src.y1, src.y0 + y0 + bandRows) };
            RgbPlanes<float> lin;
            renderLinear(in, r, lin, tone);
            for (int y = 0; y < r.height(); ++y)
                for (int x = 0; x < r.width(); ++x)
                    for (int c = 0; c < 3; ++c)
                        px[(size_t(y0 + y) * sw + x0 + x) * 3 + c] = lin.c[c].row(y)[x];
        }
    }
    px = orient(resample(px, sw, sh, plan.width, plan.height, smooth), plan.width, plan.height, 3, m);
    const int W = plan.finalWidth(), H = plan.finalHeight();
    if (format == 3)
        return encodeHdr(px.data(), W, H);
    if (format == 2) {
        std::vector<uint16_t> rgb(px.size());
        for (size_t i = 0; i < px.size(); ++i)
            rgb[i] = uint16_t(std::lround(std::clamp(px[i], 0.f, 1.f) * 65535.f));
        return encodeDng(rgb.data(), W, H, facts);
    }
    std::vector<uint8_t> rgb(px.size());
    for (size_t i = 0; i < px.size(); ++i)
        rgb[i] = tone ? in.colour->encode(px[i]) : uint8_t(std::lround(std::clamp(px[i], 0.f, 1.f) * 255.f));
    return format == 0 ? encodeJpeg(rgb.data(), W, H, smooth ? 95 : 88, smooth, facts)
                       : encodePpm(rgb.data(), W, H);
}

void useThreads(int n)
{
    WorkerPool::instance().shutdown();
    WorkerPool::instance().setThreadLimit(n);
}

std::array<int, 4> turn(int orientation)
{
    Transform t;
    t.reset(orientation);
    return { t.m(0), t.m(1), t.m(2), t.m(3) };
}

// A stream that cannot seek (a pipe, say).
struct PipeBuffer : std::streambuf
{
    std::string bytes;
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof())
            bytes.push_back(char(c));
        return c;
    }
};

// What each task of a schedule waits for: the tiles of a group for its rows; the rows of a
// group (g >= 1) made for the rows of the group before and the tiles of the group two before;
// its rows finished for its rows made.
struct ScheduleRun
{
    std::vector<GroupSchedule::Task> order; // as handed out
    std::vector<int> startOf, endOf; // by position in `order`: steps of one clock
};

QString taskName(const GroupSchedule::Task& t)
{
    const char* kinds[] = { "tile", "make", "finish" };
    return QStringLiteral("%1 %2.%3").arg(QLatin1String(kinds[int(t.kind)])).arg(t.group).arg(t.index);
}

// Runs every task of `schedule` on `threads` threads of its own (each a few steps long, the
// threads taking turns at random), noting when each started and ended on one clock. Fails
// (rather than hangs) when the takers are still waiting after a generous time: a deadlock.
ScheduleRun runSchedule(GroupSchedule& schedule, int threads, unsigned seed)
{
    ScheduleRun run;
    std::mutex mutex;
    int clock = 0;
    std::atomic<int> left { schedule.taskCount() };
    auto taker = [&](unsigned threadSeed) {
        std::mt19937 random(threadSeed);
        while (left.fetch_sub(1) > 0) {
            const GroupSchedule::Task task = schedule.take();
            size_t at;
            {
                std::lock_guard<std::mutex> lock(mutex);
                at = run.order.size();
                run.order.push_back(task);
                run.startOf.push_back(clock++);
                run.endOf.push_back(-1);
            }
            for (int k = int(random() % 4); k > 0; --k)
                std::this_thread::yield();
            {
                std::lock_guard<std::mutex> lock(mutex);
                run.endOf[at] = clock++;
            }
            schedule.done(task);
        }
    };
    std::vector<std::future<void>> running;
    for (int t = 0; t < threads; ++t)
        running.push_back(std::async(std::launch::async, taker, seed + unsigned(t)));
    for (auto& f : running)
        if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
            qFatal("The schedule's takers still wait: a deadlock");
    return run;
}

} // namespace

class TestExportStreaming : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { useThreads(0); }

    void bandsGiveTheWholeImageBytes_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("sizeKind"); // 0 native, 1 smaller, 2 larger
        QTest::addColumn<bool>("smooth");
        QTest::addColumn<bool>("refocus");
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("tileColumns"); // 0: the export's own (one tile across)
        for (int o = 0; o < 8; ++o)
            for (int f = 0; f < 4; ++f)
                QTest::newRow(qPrintable(QString("format %1 orientation %2").arg(f).arg(o)))
                    << f << o << (o + f) % 3 << (o % 2 == 1) << (f % 2 == 0) << (o < 4 ? 1 : 3)
                    << (o % 3 == 1 ? 64 + 13 * f : 0);
    }
    void bandsGiveTheWholeImageBytes()
    {
        QFETCH(int, format);
        QFETCH(int, orientation);
        QFETCH(int, sizeKind);
        QFETCH(bool, smooth);
        QFETCH(bool, refocus);
        QFETCH(int, threads);
        QFETCH(int, tileColumns);
        useThreads(threads);
        const TileInputs in = inputs(refocus);
        const std::array<int, 4> m = turn(orientation);
        // Crops off every side by turns, the whole picture for some.
        const std::array<float, 4> crop = orientation % 3 == 0
            ? std::array<float, 4> { 0.f, 0.f, 1.f, 1.f }
            : std::array<float, 4> { 0.05f * orientation, 0.11f, 0.7f, 0.83f - 0.02f * orientation };
        const int sizes[3][2] = { { 0, 0 }, { 131, 77 }, { 413, 269 } };
        const ExportPlan plan = planExport(300, 190, crop, m, sizes[sizeKind][0], sizes[sizeKind][1]);
        const bool tone = format < 2;
        ExifFacts facts;
        facts.captureTime = 1700000000;
        facts.utcOffsetMinutes = 90;
        facts.imageUniqueId = "00112233445566778899aabbccddeeff";

        const std::vector<uint8_t> whole = wholeImage(in, plan.crop, plan, m, smooth, tone, format, facts,
            tileColumns > 0 ? tileColumns : std::numeric_limits<int>::max());
        // Some into a stream that cannot seek (a DNG is then made in memory and written whole).
        PipeBuffer pipe;
        std::ostream piped(&pipe);
        std::ostringstream seekable(std::ios::binary);
        std::ostream& out = orientation % 4 == 2 ? piped : seekable;
        out << "lead"; // the writer starts where the stream stands
        const int W = plan.finalWidth(), H = plan.finalHeight();
        auto writer = format == 0 ? jpegRowWriter(out, W, H, smooth ? 95 : 88, smooth, facts)
            : format == 1         ? ppmRowWriter(out, W, H)
            : format == 2         ? dngRowWriter(out, W, H, facts)
                                  : hdrRowWriter(out, W, H);
        StreamedExport job(in, plan.crop, plan, m, smooth, tone, *writer);
        if (tileColumns > 0)
            job.setTileColumns(tileColumns);
        int last = 0;
        QVERIFY(job.run([] { return false; }, [&](int p) { QVERIFY(p >= std::exchange(last, p)); }));
        writer->finish();
        const std::string bytes = orientation % 4 == 2 ? pipe.bytes : seekable.str();
        QCOMPARE(bytes.substr(0, 4), std::string("lead"));
        QCOMPARE(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()), whole);
    }

    // A refocus with a wide margin goes in tall bands cut into tiles, each with its own
    // margin: the pixels are those of one rectangle per band to within the rounding of the
    // blurs' running sums, with no seam where tiles meet.
    void tilesMatchTheWholeBands_data()
    {
        QTest::addColumn<int>("tileColumns");
        QTest::addColumn<int>("threads");
        QTest::newRow("tiles of 64, one thread") << 64 << 1;
        QTest::newRow("tiles of 100, three threads") << 100 << 3;
        QTest::newRow("tiles of 299, all threads") << 299 << 0;
    }
    void tilesMatchTheWholeBands()
    {
        QFETCH(int, tileColumns);
        QFETCH(int, threads);
        useThreads(threads);
        const TileInputs in = inputs(true, 24.f);
        QCOMPARE(StreamedExport::bandRows(in), StreamedExport::kWideBandRows);
        const std::array<int, 4> m = turn(1);
        const ExportPlan plan = planExport(300, 190, { 0.f, 0.f, 1.f, 1.f }, m, 0, 0);
        const std::vector<uint8_t> whole = wholeImage(in, plan.crop, plan, m, false, true, 1, ExifFacts());
        std::ostringstream out(std::ios::binary);
        auto writer = ppmRowWriter(out, plan.finalWidth(), plan.finalHeight());
        StreamedExport job(in, plan.crop, plan, m, false, true, *writer);
        job.setTileColumns(tileColumns);
        QVERIFY(job.run([] { return false; }, nullptr));
        writer->finish();
        const std::string bytes = out.str();
        QCOMPARE(bytes.size(), whole.size());
        // The same header, then pixels at most a level apart.
        const size_t header = whole.size() - size_t(plan.finalWidth()) * plan.finalHeight() * 3;
        QCOMPARE(bytes.substr(0, header), std::string(whole.begin(), whole.begin() + long(header)));
        int worst = 0;
        for (size_t i = header; i < whole.size(); ++i)
            worst = std::max(worst, std::abs(int(uint8_t(bytes[i])) - int(whole[i])));
        QVERIFY2(worst <= 1, qPrintable(QString("pixels %1 levels apart").arg(worst)));
    }

    // The linear window moved down the level and back up a group of bands at a time, as an
    // export moves it: every tile rendered from it has the pixels renderLinear gives the tile
    // on its own, and each row is made once (or twice for the unsharpened row at a window's
    // edge), not once for each window that holds it. A window whose tasks develop the level
    // rows they read (no level held) has the same pixels, whatever the order its tasks run in.
    void linearWindowKeepsWhatItShares_data()
    {
        QTest::addColumn<bool>("refocus");
        QTest::addColumn<float>("sharpening");
        QTest::addColumn<int>("bandHeight");
        QTest::addColumn<bool>("inTurn"); // two windows taken in turn, each made from the other
        // 0: from the developed level; 1: level rows developed by the tasks, on the pool;
        // 2: the same, the tasks one after another, last first
        QTest::addColumn<int>("develop");
        QTest::newRow("refocus, sharpened") << true << 30.f << 24 << false << 0;
        QTest::newRow("refocus, not sharpened") << true << 0.f << 24 << false << 0;
        QTest::newRow("refocus, bands thinner than the halo") << true << 30.f << 5 << false << 0;
        QTest::newRow("sharpened only") << false << -40.f << 31 << false << 0;
        QTest::newRow("nothing around") << false << 0.f << 40 << false << 0;
        QTest::newRow("in turn: refocus, sharpened") << true << 30.f << 24 << true << 0;
        QTest::newRow("in turn: refocus, bands thinner than the halo") << true << 30.f << 5 << true << 0;
        QTest::newRow("in turn: sharpened only") << false << -40.f << 31 << true << 0;
        QTest::newRow("in turn: nothing around") << false << 0.f << 40 << true << 0;
        QTest::newRow("developed by the tasks: refocus, sharpened") << true << 30.f << 24 << false << 1;
        QTest::newRow("developed by the tasks: in turn, refocus, sharpened")
            << true << 30.f << 24 << true << 1;
        QTest::newRow("developed by the tasks: in turn, thin bands, last first")
            << true << 30.f << 5 << true << 2;
        QTest::newRow("developed by the tasks: in turn, sharpened only, last first")
            << false << -40.f << 31 << true << 2;
    }
    void linearWindowKeepsWhatItShares()
    {
        QFETCH(bool, refocus);
        QFETCH(float, sharpening);
        QFETCH(int, bandHeight);
        QFETCH(bool, inTurn);
        QFETCH(int, develop);
        useThreads(3);
        TileInputs in = inputs(refocus);
        in.sharpening = sharpening;
        // Level rows developed on the way: the expected pixels from the developed level, the
        // windows from the mosaic.
        auto mosaic = std::make_shared<PlaneF>(140, 89);
        std::mt19937 random(17);
        for (int y = 0; y < mosaic->height(); ++y)
            for (int x = 0; x < mosaic->width(); ++x)
                mosaic->at(x, y) = float((x / 4 + y / 3) % 5) * 0.15f + float(random() % 100) * 0.002f;
        const CfaLayout cfa { 0, 1, 1, 2 };
        const Rect whole { 0, 0, mosaic->width(), mosaic->height() };
        const LevelRows levelRows(mosaic, cfa, whole, in.width(), in.height());
        TileInputs windowIn = in;
        if (develop > 0) {
            in.camera = std::make_shared<RgbPlanes<uint16_t>>(
                developLevel(*mosaic, cfa, whole, windowIn.width(), windowIn.height()));
            windowIn.levelWidth = in.width();
            windowIn.levelHeight = in.height();
            windowIn.camera = nullptr;
        }
        const LevelRows* rows = develop > 0 ? &levelRows : nullptr;
        const int halo = linearHalo(in);
        const int W = in.width(), H = in.height(), group = 2 * bandHeight;
        const int groups = (H + group - 1) / group;
        // Columns from 20 on: the window need not start at the level's edge.
        const int x0 = 20, wx0 = std::max(0, x0 - halo);
        LinearWindow windows[2] = { LinearWindow(windowIn, true, wx0, W, std::min(H, group + 2 * halo), rows),
            LinearWindow(windowIn, true, wx0, W, std::min(H, group + 2 * halo), rows) };
        RgbPlanes<uint16_t> levelScratch; // one for every task run one after another
        RefocusScratch scratch;
        int turn = 0;
        auto rowsMade = [&] { return windows[0].rowsMade() + windows[1].rowsMade(); };
        for (const bool up : { false, true }) {
            const long long made = rowsMade();
            for (int i = 0; i < groups; ++i) {
                const int g = up ? groups - 1 - i : i;
                const int top = g * group, end = std::min(H, top + group);
                if (inTurn) {
                    // Made as an export makes the next group's window: from the other one.
                    LinearWindow& next = windows[1 - turn];
                    const int tasks = next.begin(
                        windowIn, std::max(0, top - halo), std::min(H, end + halo), &windows[turn]);
                    if (develop == 2) {
                        for (int t = tasks - 1; t >= 0; --t)
                            next.makeTask(windowIn, t, &levelScratch);
                        for (int t = next.sharpenTasks() - 1; t >= 0; --t)
                            next.sharpenTask(windowIn, t);
                    } else {
                        WorkerPool::instance().parallelFor(tasks, [&](int t) { next.makeTask(windowIn, t); });
                        WorkerPool::instance().parallelFor(
                            next.sharpenTasks(), [&](int t) { next.sharpenTask(windowIn, t); });
                    }
                    turn = 1 - turn;
                } else {
                    windows[turn].fill(windowIn, std::max(0, top - halo), std::min(H, end + halo));
                }
                const LinearWindow& window = windows[turn];
                for (int y = top; y < end; y += bandHeight)
                    for (int x = x0; x < W; x += 100) {
                        const Rect r { x, y, std::min(W, x + 100), std::min(end, y + bandHeight) };
                        RgbPlanes<float> expected, got;
                        renderLinear(in, r, expected, true);
                        got.reset(r.width() + 3, r.height() + 2);
                        window.render(windowIn, r, got, 3, 2, scratch);
                        for (int c = 0; c < 3; ++c)
                            for (int ty = 0; ty < r.height(); ++ty)
                                QVERIFY2(std::memcmp(expected.c[c].row(ty), got.c[c].row(ty + 2) + 3,
                                             sizeof(float) * size_t(r.width()))
                                        == 0,
                                    qPrintable(QString::asprintf("%s: rect %d,%d %dx%d", up ? "up" : "down",
                                        r.x0, r.y0, r.width(), r.height())));
                    }
            }
            const long long rows = rowsMade() - made;
            // Down: every row once, and the row at each window's lower edge once more. Up, from
            // the window the sweep down left: fewer.
            QVERIFY2(rows <= H + 2 * groups, qPrintable(QString::number(rows)));
            QVERIFY(rows > 0);
        }
    }

    // Developing the level's rows on the way (a window per group of bands, moved along in
    // place, downwards or upwards) gives the bytes of the developed level.
    // A tall level in many groups of bands, developed on the way: the groups take two windows
    // of level rows and two of linear rows in turn (the next group's made while the tiles of
    // one render, the rows they share copied over), and the bytes are those of the band by
    // band path, whatever the direction, the tiles and the number of threads.
    void groupsInTurnGiveTheWholeImageBytes_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<bool>("refocus");
        QTest::addColumn<int>("tileColumns");
        QTest::addColumn<int>("threads");
        QTest::newRow("upright, refocus, a band a group") << 0 << true << 100 << 1;
        QTest::newRow("upright, refocus, two bands a group") << 0 << true << 100 << 3;
        QTest::newRow("upside down, refocus, three at a time") << 3 << true << 61 << 3;
        QTest::newRow("upside down, sharpened only") << 7 << false << 100 << 2;
        QTest::newRow("mirrored, sharpened only, four at a time") << 4 << false << 37 << 4;
        QTest::newRow("turned, refocus") << 5 << true << 100 << 2;
    }
    void groupsInTurnGiveTheWholeImageBytes()
    {
        QFETCH(int, orientation);
        QFETCH(bool, refocus);
        QFETCH(int, tileColumns);
        QFETCH(int, threads);
        useThreads(threads);
        const int w = 300, h = 710; // eleven bands and a part
        auto mosaic = std::make_shared<PlaneF>(140, 140 * h / w);
        std::mt19937 random(11);
        for (int y = 0; y < mosaic->height(); ++y)
            for (int x = 0; x < mosaic->width(); ++x)
                mosaic->at(x, y) = float((x / 5 + y / 3) % 4) * 0.2f + float(random() % 100) * 0.001f;
        const CfaLayout cfa { 0, 1, 1, 2 };
        const Rect whole { 0, 0, mosaic->width(), mosaic->height() };
        TileInputs developed = inputs(refocus);
        developed.camera = std::make_shared<RgbPlanes<uint16_t>>(developLevel(*mosaic, cfa, whole, w, h));
        QCOMPARE(StreamedExport::bandRows(developed), int(StreamedExport::kBandRows));
        TileInputs onTheWay = developed;
        onTheWay.camera = nullptr;
        onTheWay.levelWidth = w;
        onTheWay.levelHeight = h;
        const LevelRows rows(mosaic, cfa, whole, w, h);
        QVERIFY(rows.streams());
        const std::array<int, 4> m = turn(orientation);
        const ExportPlan plan = planExport(w, h, { 0.02f, 0.03f, 0.97f, 0.99f }, m, 0, 0);
        const std::vector<uint8_t> expected
            = wholeImage(developed, plan.crop, plan, m, false, true, 1, ExifFacts(), tileColumns);
        for (const bool streamed : { false, true }) {
            std::ostringstream out(std::ios::binary);
            auto writer = ppmRowWriter(out, plan.finalWidth(), plan.finalHeight());
            StreamedExport job(streamed ? onTheWay : developed, plan.crop, plan, m, false, true, *writer,
                streamed ? &rows : nullptr);
            job.setTileColumns(tileColumns);
            int reports = 0;
            QVERIFY(job.run([] { return false; }, [&](int) { ++reports; }));
            QVERIFY(reports >= 6); // a report a group: many groups
            writer->finish();
            const std::string bytes = out.str();
            QCOMPARE(bytes.size(), expected.size());
            QVERIFY2(std::memcmp(bytes.data(), expected.data(), expected.size()) == 0,
                streamed ? "developed on the way" : "developed level");
        }
    }

    // The first group's colours made before run(), while the depth is computed (the inputs
    // then have no depth nor depth range yet): run() adds the layer coordinates and writes the
    // bytes of an export made at once. When the inputs run() gets call for another window (no
    // depth after all, other colours), the early one is not used and the bytes are still right.
    void firstColoursBeforeTheDepth_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("change"); // 0 none; 1 no depth after all; 2 other colours
        QTest::newRow("upright, one thread") << 0 << 1 << 0;
        QTest::newRow("upright, three threads") << 0 << 3 << 0;
        QTest::newRow("upside down, from the bottom band") << 7 << 2 << 0;
        QTest::newRow("mirrored, four threads") << 6 << 4 << 0;
        QTest::newRow("turned") << 3 << 3 << 0;
        QTest::newRow("no depth after all") << 0 << 3 << 1;
        QTest::newRow("other colours") << 7 << 2 << 2;
    }
    void firstColoursBeforeTheDepth()
    {
        QFETCH(int, orientation);
        QFETCH(int, threads);
        QFETCH(int, change);
        useThreads(threads);
        const int w = 300, h = 710;
        auto mosaic = std::make_shared<PlaneF>(140, 140 * h / w);
        std::mt19937 random(23);
        for (int y = 0; y < mosaic->height(); ++y)
            for (int x = 0; x < mosaic->width(); ++x)
                mosaic->at(x, y) = float((x / 3 + y / 5) % 4) * 0.2f + float(random() % 100) * 0.001f;
        const CfaLayout cfa { 0, 1, 1, 2 };
        const Rect whole { 0, 0, mosaic->width(), mosaic->height() };
        const LevelRows rows(mosaic, cfa, whole, w, h);
        // What run() gets, and the same inputs developed, for the expected bytes.
        TileInputs final = inputs(change != 1);
        final.camera = nullptr;
        final.levelWidth = w;
        final.levelHeight = h;
        TileInputs developed = final;
        developed.camera = std::make_shared<RgbPlanes<uint16_t>>(developLevel(*mosaic, cfa, whole, w, h));
        // What is known before the depth: no depth, no depth range, the aperture of a refocus.
        TileInputs early = inputs(true);
        early.camera = nullptr;
        early.levelWidth = w;
        early.levelHeight = h;
        early.depth = nullptr;
        early.refocus.focusDepth = -1.f;
        early.refocus.nearDepth = 1e6f;
        early.refocus.farDepth = -1.f;
        if (change != 2)
            early.colour = final.colour;
        QVERIFY(early.refocus.active());
        const std::array<int, 4> m = turn(orientation);
        const ExportPlan plan = planExport(w, h, { 0.f, 0.04f, 1.f, 0.97f }, m, 0, 0);
        const std::vector<uint8_t> expected
            = wholeImage(developed, plan.crop, plan, m, false, true, 1, ExifFacts(), 100);
        std::ostringstream out(std::ios::binary);
        auto writer = ppmRowWriter(out, plan.finalWidth(), plan.finalHeight());
        StreamedExport job(final, plan.crop, plan, m, false, true, *writer, &rows);
        job.setTileColumns(100);
        job.makeFirstColour(early);
        QVERIFY(job.run([] { return false; }, nullptr));
        writer->finish();
        QCOMPARE(job.usedFirstColour(), change == 0);
        const std::string bytes = out.str();
        QCOMPARE(bytes.size(), expected.size());
        QVERIFY(std::memcmp(bytes.data(), expected.data(), expected.size()) == 0);
    }

    // In one loop over all the groups, a group's tiles may end after those of the group after
    // it: the first tile of the first group is held back until every tile of the second is
    // rendered. The rows still go to the writer in their order, the progress is reported after
    // each group in turn, and the bytes are those of the whole picture.
    void groupEndingLastKeepsTheOrder_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<bool>("refocus");
        QTest::addColumn<int>("threads");
        QTest::newRow("upright, refocus, three threads") << 0 << true << 3;
        QTest::newRow("upside down, refocus, four threads") << 7 << true << 4;
        QTest::newRow("mirrored, sharpened only, three threads") << 6 << false << 3;
    }
    void groupEndingLastKeepsTheOrder()
    {
        QFETCH(int, orientation);
        QFETCH(bool, refocus);
        QFETCH(int, threads);
        useThreads(threads);
        const int w = 300, h = 710;
        TileInputs in = inputs(refocus);
        auto cam = std::make_shared<RgbPlanes<uint16_t>>();
        cam->reset(w, h);
        std::mt19937 random(29);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    cam->c[c].at(x, y) = uint16_t(((x / 7 + y / 5) % 3) * 14000 + y * 40 + random() % 3000);
        in.camera = cam;
        const std::array<int, 4> m = turn(orientation);
        const ExportPlan plan = planExport(w, h, { 0.f, 0.f, 1.f, 1.f }, m, 0, 0);
        const std::vector<uint8_t> expected
            = wholeImage(in, plan.crop, plan, m, false, true, 1, ExifFacts(), 100);
        std::ostringstream out(std::ios::binary);
        auto writer = ppmRowWriter(out, plan.finalWidth(), plan.finalHeight());
        StreamedExport job(in, plan.crop, plan, m, false, true, *writer);
        job.setTileColumns(100);
        std::mutex mutex;
        std::condition_variable changed;
        int secondRendered = 0, secondTiles = 0;
        bool held = false, heldLong = false;
        std::vector<int> reports;
        job.setTileHook([&](int group, bool rendered) {
            std::unique_lock<std::mutex> lock(mutex);
            if (group == 1 && !rendered)
                ++secondTiles;
            if (group == 1 && rendered) {
                ++secondRendered;
                changed.notify_all();
            }
            if (group == 0 && !rendered && !held) {
                held = true;
                // Until the second group's tiles are all rendered (three tiles a band, two bands
                // or more a group); never for ever.
                heldLong = changed.wait_for(lock, std::chrono::seconds(20),
                    [&] { return secondTiles > 0 && secondRendered == secondTiles && secondTiles >= 6; });
                // No report was made meanwhile: the first group is not done.
                QCOMPARE(int(reports.size()), 0);
            }
        });
        QVERIFY(job.run([] { return false; },
            [&](int p) {
                std::lock_guard<std::mutex> lock(mutex);
                reports.push_back(p);
            }));
        writer->finish();
        QVERIFY(heldLong);
        QVERIFY(reports.size() >= 3);
        QVERIFY(std::is_sorted(reports.begin(), reports.end()));
        QCOMPARE(reports.back(), 85);
        const std::string bytes = out.str();
        QCOMPARE(bytes.size(), expected.size());
        QVERIFY(std::memcmp(bytes.data(), expected.data(), expected.size()) == 0);
    }

    void levelDevelopedOnTheWay_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("mosaicWidth"); // 300: same size; 140: resampled
        QTest::addColumn<int>("threads");
        QTest::newRow("upright, resampled") << 0 << 140 << 1;
        QTest::newRow("upside down, resampled") << 7 << 140 << 1;
        QTest::newRow("upside down, three at a time") << 7 << 140 << 3;
        QTest::newRow("turned, same size") << 1 << 300 << 2;
        QTest::newRow("mirrored, same size") << 6 << 300 << 1;
    }
    void levelDevelopedOnTheWay()
    {
        QFETCH(int, orientation);
        QFETCH(int, mosaicWidth);
        QFETCH(int, threads);
        useThreads(threads);
        auto mosaic = std::make_shared<PlaneF>(mosaicWidth, mosaicWidth * 19 / 30);
        std::mt19937 random(8);
        for (int y = 0; y < mosaic->height(); ++y)
            for (int x = 0; x < mosaic->width(); ++x)
                mosaic->at(x, y) = float((x / 5 + y / 3) % 4) * 0.2f + float(random() % 100) * 0.001f;
        const CfaLayout cfa { 0, 1, 1, 2 };
        const Rect whole { 0, 0, mosaic->width(), mosaic->height() };
        TileInputs developed = inputs(true);
        // A halo wider than a band: windows overlap by more than they move.
        developed.refocus.maxRadius = 40.f;
        developed.camera = std::make_shared<RgbPlanes<uint16_t>>(developLevel(*mosaic, cfa, whole, 300, 190));
        TileInputs onTheWay = developed;
        onTheWay.camera = nullptr;
        onTheWay.levelWidth = 300;
        onTheWay.levelHeight = 190;
        const LevelRows rows(mosaic, cfa, whole, 300, 190);
        QVERIFY(rows.streams());
        const std::array<int, 4> m = turn(orientation);
        const ExportPlan plan = planExport(300, 190, { 0.1f, 0.05f, 0.85f, 0.9f }, m, 0, 0);
        std::string bytes[2];
        for (int i = 0; i < 2; ++i) {
            std::ostringstream out(std::ios::binary);
            auto writer = ppmRowWriter(out, plan.finalWidth(), plan.finalHeight());
            StreamedExport job(i ? onTheWay : developed, plan.crop, plan, m, false, true, *writer, &rows);
            QVERIFY(job.run([] { return false; }, nullptr));
            writer->finish();
            bytes[i] = out.str();
        }
        QCOMPARE(bytes[1].size(), bytes[0].size());
        QVERIFY(bytes[1] == bytes[0]);
    }

    // Tiles take shortcuts (sharpening fused with the encoding, rows straight from the camera
    // planes, several pixels at a time); whatever the rectangle (odd widths and the ends of
    // rows included), they give the pixels of the full linear path.
    void shortcutsMatchTheLinearPath_data()
    {
        QTest::addColumn<float>("sharpening");
        QTest::addColumn<bool>("bgra");
        QTest::addColumn<float>("exposure");
        QTest::newRow("sharpened") << 60.f << false << 0.4f;
        QTest::newRow("softened") << -40.f << true << 0.4f;
        QTest::newRow("plain") << 0.f << false << 0.4f;
        QTest::newRow("bright: many values clip at white") << 0.f << true << 1.5f;
    }
    void shortcutsMatchTheLinearPath()
    {
        QFETCH(float, sharpening);
        QFETCH(bool, bgra);
        QFETCH(float, exposure);
        TileInputs in = inputs(false);
        ToneSettings t;
        t.exposure = exposure;
        t.vibrance = 15.f;
        in.colour = std::make_shared<const ColourPipeline>(t, identity3());
        in.sharpening = sharpening;
        in.bgra = bgra;
        QCOMPARE(rendersRowByRow(in), sharpening == 0.f);
        const Rect rects[] = {
            { 0, 0, 300, 190 }, // the whole level: every edge on the level's border
            { 0, 0, 64, 64 }, // a corner
            { 100, 50, 228, 178 }, // inside
            { 256, 128, 300, 190 }, // the far corner, an odd size
            { 10, 20, 11, 90 }, // one column
            { 299, 0, 300, 1 }, // one pixel on the border
            { 5, 188, 200, 190 }, // two rows along the bottom
        };
        for (const Rect& r : rects) {
            const size_t stride = size_t(r.width()) * 4 + 12; // padded rows, as the pyramid has
            std::vector<uint8_t> tile(stride * size_t(r.height()), 0xAB);
            renderTile(in, r, tile.data(), stride);
            RgbPlanes<float> lin;
            renderLinear(in, r, lin, true);
            std::vector<uint8_t> row(size_t(r.width()) * 4);
            for (int y = 0; y < r.height(); ++y) {
                in.colour->encodeRow(
                    lin.c[0].row(y), lin.c[1].row(y), lin.c[2].row(y), r.width(), row.data(), bgra);
                QVERIFY2(std::memcmp(tile.data() + size_t(y) * stride, row.data(), row.size()) == 0,
                    qPrintable(
                        QString::asprintf("rect %d,%d %dx%d row %d", r.x0, r.y0, r.width(), r.height(), y)));
                QCOMPARE(int(tile[size_t(y) * stride + row.size()]), 0xAB); // nothing past the row
            }
        }
    }

    // Planes whose memory is mapped from the system (the level rows a task develops) keep their
    // samples as they grow, move and are let go like the allocator's, whichever kind of memory
    // they hold before and after: a mapped block is never handed to free() nor the other way.
    void mappedPlanesKeepTheirSamples_data()
    {
        QTest::addColumn<qulonglong>("mapFrom");
        QTest::newRow("always mapped") << qulonglong(0);
        QTest::newRow("mapped once large") << qulonglong(64 * 1024);
        QTest::newRow("never mapped") << ~qulonglong(0);
    }
    void mappedPlanesKeepTheirSamples()
    {
        QFETCH(qulonglong, mapFrom);
        RgbPlanes<uint16_t> planes;
        planes.mapFrom(size_t(mapFrom));
        auto fill = [&](int w, int h, int seed) {
            planes.reset(w, h);
            for (int c = 0; c < 3; ++c)
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        planes.c[c].at(x, y) = uint16_t(seed + c * 7 + y * 31 + x);
        };
        auto holds = [](const RgbPlanes<uint16_t>& p, int seed) {
            for (int c = 0; c < 3; ++c)
                for (int y = 0; y < p.height(); ++y)
                    for (int x = 0; x < p.width(); ++x)
                        if (p.c[c].at(x, y) != uint16_t(seed + c * 7 + y * 31 + x))
                            return false;
            return true;
        };
        fill(10, 3, 1); // small: below the threshold of the middle row
        QVERIFY(holds(planes, 1));
        fill(300, 190, 2); // grows: new memory, perhaps of the other kind
        QVERIFY(holds(planes, 2));
        fill(20, 5, 3); // shrinks: keeps the memory
        QVERIFY(holds(planes, 3));
        RgbPlanes<uint16_t> moved = std::move(planes);
        QVERIFY(holds(moved, 3));
        RgbPlanes<uint16_t> other;
        other.reset(400, 200); // the allocator's memory, let go by the assignment below
        other = std::move(moved);
        QVERIFY(holds(other, 3));
        other.reset(500, 300); // grows again from moved-in memory
        QCOMPARE(other.width(), 500);
    }

    // The tasks of an export's groups are handed out each once, each after everything it reads
    // is done, whatever the number of threads and their pace, and the takers never wait for
    // ever (a task waited for is always under way).
    void scheduleKeepsEveryDependency_data()
    {
        QTest::addColumn<QVector<int>>("tiles"); // of each group
        QTest::addColumn<int>("makes");
        QTest::addColumn<int>("threads");
        QTest::newRow("one group") << QVector<int> { 9 } << 5 << 4;
        QTest::newRow("two groups, one thread") << QVector<int> { 3, 6 } << 4 << 1;
        QTest::newRow("the queue's 13 MP picture") << QVector<int> { 9, 18, 18, 18, 18, 18, 18 } << 93 << 8;
        QTest::newRow("one tile a group, many threads") << QVector<int> { 1, 1, 1, 1, 1 } << 2 << 9;
        QTest::newRow("rows without makes") << QVector<int> { 2, 2, 2 } << 0 << 3;
    }
    void scheduleKeepsEveryDependency()
    {
        QFETCH(QVector<int>, tiles);
        QFETCH(int, makes);
        QFETCH(int, threads);
        const int groups = tiles.size();
        std::vector<int> finishes(size_t(groups), 0);
        for (int g = 1; g < groups; ++g)
            finishes[size_t(g)] = makes + tiles[g];
        for (unsigned seed : { 1u, 2u, 3u }) {
            GroupSchedule schedule(std::vector<int>(tiles.begin(), tiles.end()), makes, finishes);
            const ScheduleRun run = runSchedule(schedule, threads, seed * 100);
            QCOMPARE(int(run.order.size()), schedule.taskCount());
            // Each task once; the end of the last of each kind of each group.
            std::set<std::tuple<int, int, int>> seen;
            std::vector<std::array<int, 3>> lastEnd(size_t(groups), { -1, -1, -1 });
            std::vector<std::array<int, 3>> count(size_t(groups), { 0, 0, 0 });
            for (size_t i = 0; i < run.order.size(); ++i) {
                const GroupSchedule::Task& t = run.order[i];
                QVERIFY2(seen.insert({ int(t.kind), t.group, t.index }).second, qPrintable(taskName(t)));
                int& last = lastEnd[size_t(t.group)][size_t(t.kind)];
                last = std::max(last, run.endOf[i]);
                ++count[size_t(t.group)][size_t(t.kind)];
            }
            for (int g = 0; g < groups; ++g) {
                QCOMPARE(count[size_t(g)][0], tiles[g]);
                QCOMPARE(count[size_t(g)][1], g > 0 ? makes : 0);
                QCOMPARE(count[size_t(g)][2], finishes[size_t(g)]);
            }
            const auto tile = size_t(GroupSchedule::Kind::Tile), make = size_t(GroupSchedule::Kind::Make),
                       finish = size_t(GroupSchedule::Kind::Finish);
            for (size_t i = 0; i < run.order.size(); ++i) {
                const GroupSchedule::Task& t = run.order[i];
                const size_t g = size_t(t.group);
                std::vector<int> before; // ends that must come before this start
                switch (t.kind) {
                case GroupSchedule::Kind::Tile:
                    before = { lastEnd[g][make], lastEnd[g][finish] };
                    break;
                case GroupSchedule::Kind::Make:
                    before = { lastEnd[g - 1][make], lastEnd[g - 1][finish],
                        g >= 2 ? lastEnd[g - 2][tile] : -1 };
                    break;
                case GroupSchedule::Kind::Finish:
                    before = { lastEnd[g][make] };
                    break;
                }
                for (int end : before)
                    QVERIFY2(end < run.startOf[i], qPrintable(taskName(t)));
            }
            QVERIFY_EXCEPTION_THROWN(schedule.take(), std::logic_error);
        }
    }

    // The next group's rows come before the tiles of the group before it whenever they may run:
    // one thread alone makes and finishes group g + 1's rows before it renders group g, so that
    // with more threads the rows are there when group g's last tile ends (no thread waits for
    // them then).
    void scheduleMakesTheNextRowsFirst()
    {
        GroupSchedule schedule({ 2, 3, 3, 1 }, 2, { 0, 4, 4, 3 });
        const ScheduleRun run = runSchedule(schedule, 1, 7);
        QStringList got;
        for (const GroupSchedule::Task& t : run.order)
            got << taskName(t);
        const QStringList expected = QStringList {
            "make 1.0",
            "make 1.1",
            "finish 1.0",
            "finish 1.1",
            "finish 1.2",
            "finish 1.3", // group 1's rows
            "tile 0.0",
            "tile 0.1", // then group 0
            "make 2.0",
            "make 2.1",
            "finish 2.0",
            "finish 2.1",
            "finish 2.2",
            "finish 2.3", //
            "tile 1.0",
            "tile 1.1",
            "tile 1.2", //
            "make 3.0",
            "make 3.1",
            "finish 3.0",
            "finish 3.1",
            "finish 3.2", //
            "tile 2.0",
            "tile 2.1",
            "tile 2.2",
            "tile 3.0",
        };
        QCOMPARE(got, expected);
    }

    // Values outside [0, 1], and values that are not numbers, never read outside the tables:
    // the row encoder gives what the one-value encoder gives.
    void encodeRowClampsEverything()
    {
        const ColourPipeline p(ToneSettings {}, identity3());
        const float nan = std::numeric_limits<float>::quiet_NaN(),
                    inf = std::numeric_limits<float>::infinity();
        const std::vector<float> v
            = { nan, -inf, -1.f, -0.f, 0.f, 1e-7f, 0.0031308f, 0.5f, 1.f, 1.0001f, 7.f, inf };
        std::vector<uint8_t> out(v.size() * 4);
        p.encodeRow(v.data(), v.data(), v.data(), int(v.size()), out.data(), false);
        for (size_t i = 0; i < v.size(); ++i)
            QCOMPARE(int(out[i * 4]), int(p.encode(v[i])));
        QCOMPARE(int(out[2 * 4]), 0);
        QCOMPARE(int(out[11 * 4]), 255);
    }
};

OSTRA_TEST_MAIN_CORE(TestExportStreaming)
#include "tst_exportstreaming.moc"
