#include <QtTest>

#include <atomic>
#include <cstring>
#include <random>
#include <sstream>
#include <thread>

#include "ciapi/ciapi.h"
#include "ciapi/render/rawdevelop.h"
#include "ciapi/statefileeditor.h"
#include "renderfixture.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace enginetest;

namespace {

std::vector<std::string> withoutOutput(const std::vector<std::string>& events)
{
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.rfind("out ", 0) != 0)
            out.push_back(e);
    return out;
}

} // namespace

class TestRenderer : public QObject
{
    Q_OBJECT

private slots:
    // First depth computation: 0, progress below 100, 2, 3, progress 100, 4; output tiles
    // come between 3 and progress 100 and cover the requested rectangle clipped to the level.
    void listenerOrderFirstDepth()
    {
        const auto pic = picture();
        EventLog log;
        auto r = rendererFor(pic, 3);
        log.attach(*r);
        ImagePyramid p = r->outputBuffer();
        const int last = p.levelCount() - 1;
        r->render(last, ROI { -50, 60, 5000, 5000 }, 1, false);
        log.waitFor("state 4");
        const auto ev = withoutOutput(log.events());
        QVERIFY(ev.size() >= 6);
        QCOMPARE(ev.front(), std::string("state 0"));
        const auto n = ev.size();
        QCOMPARE(std::vector<std::string>(ev.end() - 4, ev.end()),
            (std::vector<std::string> { "state 2", "state 3", "progress 100", "state 4" }));
        for (size_t i = 1; i + 4 < n; ++i)
            QVERIFY(ev[i].rfind("progress ", 0) == 0 && ev[i] != "progress 100");
        // Tiles: all between state 3 and progress 100, covering the clipped rectangle once.
        const auto all = log.events();
        const auto s3 = std::find(all.begin(), all.end(), "state 3");
        const auto p100 = std::find(all.begin(), all.end(), "progress 100");
        long area = 0;
        for (auto it = all.begin(); it != all.end(); ++it)
            if (it->rfind("out ", 0) == 0) {
                QVERIFY(it > s3 && it < p100);
                int l, x0, y0, x1, y1;
                QCOMPARE(std::sscanf(it->c_str(), "out %d %d %d %d %d", &l, &x0, &y0, &x1, &y1), 5);
                QCOMPARE(l, last);
                QVERIFY(x0 >= 0 && y0 >= 60 && x1 <= p[last].width() && y1 <= p[last].height());
                area += long(x1 - x0) * (y1 - y0);
            }
        QCOMPARE(area, long(p[last].width()) * (p[last].height() - 60));
        QVERIFY_EXCEPTION_THROWN(r->render(last + 1, ROI { 0, 0, 1, 1 }, 1, true), std::runtime_error);

        // A second render reports only its tiles and progress 100.
        log.clear();
        r->render(last, ROI { 0, 0, 100, 100 }, 1, false);
        log.waitFor("progress 100");
        QCOMPARE(withoutOutput(log.events()), std::vector<std::string> { "progress 100" });
    }

    // Focal lengths within the camera's range open at their size; one outside it is refused
    // with its reason.
    void focalLengthsOfTheCamera_data()
    {
        QTest::addColumn<int>("focal");
        QTest::addColumn<int>("width"); // 0: refused
        QTest::addColumn<int>("height");
        QTest::newRow("28 mm") << 28 << 10432 << 7824;
        QTest::newRow("150 mm") << 150 << 4160 << 3120;
        QTest::newRow("27 mm") << 27 << 0 << 0;
        QTest::newRow("151 mm") << 151 << 0 << 0;
    }
    void focalLengthsOfTheCamera()
    {
        QFETCH(int, focal);
        QFETCH(int, width);
        QFETCH(int, height);
        vrxgen::PictureOptions o;
        o.focalLength = focal;
        o.frames = 1;
        const auto pic = vrxgen::makePicture(o);
        auto r = Renderer::Create(0);
        r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QCOMPARE(r->isCompatible(), width > 0);
        if (width == 0) {
            try {
                r->outputBuffer();
                QFAIL("opened");
            } catch (const std::runtime_error& e) {
                QVERIFY2(std::strstr(e.what(), "focal length"), e.what());
            }
            return;
        }
        ImagePyramid p = r->outputBuffer();
        QCOMPARE(QSize(p[0].width(), p[0].height()), QSize(width, height));
        int progress = 0;
        r->setProgressUpdateListener([&](int v) { progress = v; });
        r->render(p.levelCount() - 1, ROI { 0, 0, 512, 512 }, 0, true);
        QCOMPARE(progress, 100);
    }

    // Many render/cancel cycles: after cancelRenderRequests returns, no tile of an earlier
    // request arrives, and the final pixels are those of the last settings.
    void noStaleOutputAfterCancel_data()
    {
        QTest::addColumn<float>("sharpening");
        QTest::newRow("written straight into the pyramid") << 0.f;
        QTest::newRow("rendered aside and copied") << 10.f;
    }
    void noStaleOutputAfterCancel()
    {
        QFETCH(float, sharpening);
        const auto pic = picture();
        auto r = rendererFor(pic, 0);
        r->setProperty(FloatParam::Sharpening, sharpening);
        ImagePyramid p = r->outputBuffer();
        const int level = p.levelCount() - 2;
        const ROI all { 0, 0, p[level].width(), p[level].height() };
        std::atomic<int> currentTag { 0 }, stale { 0 }, delivered { 0 };
        std::mutex m;
        std::condition_variable cv;
        int finished = 0;
        // Every third request is left running into the next cycle, which cancels it first; the
        // others are cancelled at once. Between a cancel and the next request no tag is current,
        // so any output that still arrives counts as stale.
        const int cycles = 60;
        for (int cycle = 0; cycle < cycles; ++cycle) {
            const int tag = cycle;
            if (cycle % 3 == 0 && cycle > 0) {
                r->cancelRenderRequests();
                currentTag = -1;
            }
            const auto check = [&, tag] { stale.fetch_add(tag != currentTag.load() ? 1 : 0); };
            r->setOutputUpdateListener([&, check](const ImagePyramid&, const ROI&, int) {
                check();
                delivered.fetch_add(1);
            });
            r->setProgressUpdateListener([&, check, tag](int v) {
                check();
                if (v == 100 && tag == cycles - 1) {
                    std::lock_guard<std::mutex> lock(m);
                    ++finished;
                    cv.notify_all();
                }
            });
            currentTag = tag;
            r->setProperty(FloatParam::Exposure, float(cycle % 5) * 0.3f - 0.6f);
            r->render(level, all, 1, false);
            if (cycle % 3 != 2) {
                r->cancelRenderRequests();
                currentTag = -1;
            }
        }
        // Let the last (uncancelled) request finish.
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return finished >= 1; });
        }
        r->cancelRenderRequests();
        QCOMPARE(stale.load(), 0);
        QVERIFY(delivered.load() > 0);
        const auto asyncPixels = pixelsOf(p[level]);
        auto fresh = rendererFor(pic, 0);
        fresh->setProperty(FloatParam::Sharpening, sharpening);
        fresh->setProperty(FloatParam::Exposure, float((cycles - 1) % 5) * 0.3f - 0.6f);
        QCOMPARE(differingPixels(asyncPixels, renderLevel(*fresh, level), 0), 0);
    }

    // Full state: settings, rating, transform, depth and its edits come back; reset keeps the rating.
    void stateRoundTrip()
    {
        const auto pic = picture(7);
        auto r = rendererFor(pic, 3);
        r->setProperty(FloatParam::Contrast, 33.f);
        r->setProperty(IntParam::UserRating, 4);
        r->transform().rotate90(1);
        {
            DepthEditor ed(*r);
            r->render(r->outputBuffer().levelCount() - 1, ROI { 0, 0, 512, 512 }, 1, true);
            ed.pushBrushDepthEdit({ { { 0.3f, 0.3f }, { 0.4f, 0.3f } }, 0.05f, 1.25f, 0 });
        }
        std::stringstream state;
        r->serialize(state, StateFull);
        const std::string bytes = state.str();
        QVERIFY(bytes.size() > 16 * 1024);
        {
            std::istringstream in(bytes);
            StateFileEditor editor(in);
            QCOMPARE(editor.depthType(), 2);
            QVERIFY(editor.hasDepthEdits());
            QCOMPARE(editor.userRating(), 4);
        }
        auto back = rendererFor(pic, 3);
        std::istringstream in(bytes);
        back->deserialize(in, StateFull);
        QCOMPARE(back->getProperty(FloatParam::Contrast), 33.f);
        QCOMPARE(back->getProperty(IntParam::UserRating), int64_t(4));
        QVERIFY(back->transform() == r->transform());
        DepthEditor ed(*back);
        QVERIFY(std::fabs(ed.getDepthAtPoint({ 0.35f, 0.3f }) - 1.25f) < 1e-4f);
        const int last = back->outputBuffer().levelCount() - 1;
        QCOMPARE(differingPixels(renderLevel(*r, last), renderLevel(*back, last), 1), 0);
        QVERIFY(ed.undoDepthEdit());
        QVERIFY(std::fabs(ed.getDepthAtPoint({ 0.35f, 0.3f }) - 1.25f) > 0.05f);
        back->reset(0);
        QCOMPARE(back->getProperty(IntParam::UserRating), int64_t(4));
        QCOMPARE(back->getProperty(FloatParam::Contrast), 0.f);

        // A state of another picture is refused.
        auto other = rendererFor(picture(8), 3);
        std::istringstream in2(bytes);
        QVERIFY_EXCEPTION_THROWN(other->deserialize(in2, StateFull), std::runtime_error);
    }

    // Levels that bin are made from the decoded frames without the mosaic's float plane: the
    // very values the mosaic path gives, whatever the frame count, colour pattern, listed
    // pixels (at the edges, side by side, twice, outside) and footprint (mirrored at the edges).
    void binnedLevelsFromTheFrames_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("pattern");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("one frame RGGB") << 1 << 0 << 203 << 151;
        QTest::newRow("two frames GRBG") << 2 << 1 << 200 << 150;
        QTest::newRow("three frames GBRG") << 3 << 2 << 97 << 64;
        QTest::newRow("two frames BGGR") << 2 << 3 << 158 << 121;
    }

    void binnedLevelsFromTheFrames()
    {
        using namespace CIAPI::render;
        QFETCH(int, frames);
        QFETCH(int, pattern);
        QFETCH(int, width);
        QFETCH(int, height);
        static const int kPatterns[4][4] = { { 0, 1, 1, 2 }, { 1, 0, 2, 1 }, { 1, 2, 0, 1 }, { 2, 1, 1, 0 } };
        const CfaLayout cfa { kPatterns[pattern][0], kPatterns[pattern][1], kPatterns[pattern][2],
            kPatterns[pattern][3] };
        SensorLevels levels;
        levels.black = 512.f;
        levels.white = 16383.f;
        levels.gains = { 1.9f, 1.f, 1.6f };
        const std::vector<HotPixel> hot { { 0, 0 }, { 1, 0 }, { width - 1, height - 1 }, { 4, 4 }, { 6, 4 },
            { 6, 4 }, { 50, 33 }, { -3, 2 }, { width, 1 } };
        std::mt19937 random(uint32_t(frames * 7 + pattern));
        MosaicAccumulator sum(width, height);
        for (int f = 0; f < frames; ++f) {
            uint16_t* frame = sum.nextFrame();
            for (int i = 0; i < width * height; ++i)
                frame[i] = uint16_t(random() % 17000); // below black and above white too
            sum.commit();
        }
        const PlaneF mosaic = sum.finish(cfa, levels, hot);
        const Rect whole { 0, 0, width, height };
        const Rect part { 3, 5, width - 8, height - 2 };
        struct Case
        {
            Rect source;
            int w, h;
        };
        for (const Case& c : { Case { whole, width / 2, height / 2 },
                 Case { whole, width * 2 / 3, height * 2 / 3 }, Case { whole, width / 7, height / 7 },
                 Case { part, part.width() / 3, part.height() / 5 }, Case { whole, 1, 1 } }) {
            QVERIFY(levelBins(c.source, c.w));
            const RgbPlanes<uint16_t> want = developLevel(mosaic, cfa, c.source, c.w, c.h);
            const RgbPlanes<uint16_t> got = sum.bin(cfa, levels, hot, c.source, c.w, c.h);
            for (int ch = 0; ch < 3; ++ch)
                for (int y = 0; y < c.h; ++y)
                    QVERIFY2(std::memcmp(want.c[ch].row(y), got.c[ch].row(y), size_t(c.w) * 2) == 0,
                        qPrintable(
                            QStringLiteral("%1 x %2, channel %3, row %4").arg(c.w).arg(c.h).arg(ch).arg(y)));
        }
        // Each colour where it belongs: frames of one value per colour bin to that colour's value.
        MosaicAccumulator flat(width, height);
        const uint16_t perColour[3] = { 4000, 9000, 14000 };
        uint16_t* frame = flat.nextFrame();
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                frame[y * width + x] = perColour[cfa[size_t((y & 1) * 2 + (x & 1))]];
        flat.commit();
        const RgbPlanes<uint16_t> binned = flat.bin(cfa, levels, {}, whole, width / 3, height / 3);
        for (int ch = 0; ch < 3; ++ch) {
            const float expected
                = (perColour[ch] - levels.black) / (levels.white - levels.black) * levels.gains[size_t(ch)];
            const int want = int(std::lround(std::min(1.f, expected) * 65535.f));
            for (int y = 0; y < binned.height(); ++y)
                for (int x = 0; x < binned.width(); ++x)
                    QVERIFY(std::abs(int(binned.c[ch].row(y)[x]) - want) <= 1);
        }
    }

    // Frames handed over whole (the second of each pair the raw frames are decoded in) give the
    // mosaic and the binned levels of the frames copied in and summed, bit for bit, whatever
    // their number and however they come.
    void framesHandedOverSumAsCopied_data()
    {
        QTest::addColumn<QString>("how"); // per frame: c copied in (commit), a handed over (adopt)
        QTest::newRow("one, handed over") << "a";
        QTest::newRow("two, the second handed over") << "ca";
        QTest::newRow("two, both handed over") << "aa";
        QTest::newRow("three, the second handed over") << "cac";
        QTest::newRow("three, the third handed over") << "cca";
        QTest::newRow("four in pairs") << "caca";
        QTest::newRow("five in pairs") << "cacac";
    }
    void framesHandedOverSumAsCopied()
    {
        using namespace CIAPI::render;
        QFETCH(QString, how);
        const int width = 131, height = 97;
        const CfaLayout cfa { 1, 0, 2, 1 };
        SensorLevels levels;
        levels.black = 512.f;
        levels.white = 16383.f;
        levels.gains = { 1.7f, 1.f, 2.1f };
        const std::vector<HotPixel> hot { { 0, 0 }, { 5, 7 }, { 7, 7 }, { width - 1, height - 1 },
            { 64, 40 } };
        std::mt19937 random(uint32_t(how.size() * 31));
        MosaicAccumulator copied(width, height), handed(width, height);
        for (const QChar c : how) {
            auto frame = std::make_unique<uint16_t[]>(size_t(width) * height);
            for (int i = 0; i < width * height; ++i)
                frame[size_t(i)] = uint16_t(random() % 17000); // below black and above white too
            std::copy_n(frame.get(), width * height, copied.nextFrame());
            copied.commit();
            if (c == QLatin1Char('a')) {
                handed.adopt(std::move(frame));
            } else {
                std::copy_n(frame.get(), width * height, handed.nextFrame());
                handed.commit();
            }
        }
        QCOMPARE(handed.frames(), copied.frames());
        const PlaneF want = copied.finish(cfa, levels, hot), got = handed.finish(cfa, levels, hot);
        for (int y = 0; y < height; ++y)
            QVERIFY2(std::memcmp(want.row(y), got.row(y), size_t(width) * sizeof(float)) == 0,
                qPrintable(QStringLiteral("mosaic row %1").arg(y)));
        const Rect whole { 0, 0, width, height };
        const RgbPlanes<uint16_t> binWant = copied.bin(cfa, levels, hot, whole, width / 3, height / 3),
                                  binGot = handed.bin(cfa, levels, hot, whole, width / 3, height / 3);
        for (int ch = 0; ch < 3; ++ch)
            for (int y = 0; y < height / 3; ++y)
                QVERIFY2(std::memcmp(binWant.c[ch].row(y), binGot.c[ch].row(y), size_t(width / 3) * 2) == 0,
                    qPrintable(QStringLiteral("binned channel %1 row %2").arg(ch).arg(y)));
    }

    // The thumbnail's level (the coarsest, first drawn from the frames) has the same pixels as
    // when a finer level was drawn first (and the coarsest then from the mosaic), with the
    // calibration's hot pixels and two frames.
    void coarsestLevelWhicheverLevelCameFirst()
    {
        vrxgen::PictureOptions o = pictureOptions(31);
        o.frames = 2;
        o.hotPixelsPerModule = 12;
        o.compressed = true;
        const vrxgen::Picture pic = vrxgen::makePicture(o);
        std::vector<uint8_t> input = pic.vrx;
        input.insert(input.end(), pic.calibration.begin(), pic.calibration.end());
        const auto open = [&] {
            auto r = Renderer::Create(0);
            r->setInputDataStream(input.data(), input.size());
            ApplyTuning(0, *r);
            return r;
        };
        auto thumbnail = open();
        const int last = thumbnail->outputBuffer().levelCount() - 1;
        const std::vector<uint8_t> first = renderLevel(*thumbnail, last);
        auto editor = open();
        renderLevel(*editor, last - 1); // demosaics: the mosaic is made
        QCOMPARE(renderLevel(*editor, last), first);
        // Without the calibration the hot pixels show: the repair is in the thumbnail.
        auto raw = Renderer::Create(0);
        raw->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        ApplyTuning(0, *raw);
        QVERIFY(renderLevel(*raw, last) != first);
    }

    // Several renderers on several threads at once, each checked against its own sync render.
    void concurrentRenderers()
    {
        std::vector<vrxgen::Picture> pics;
        for (uint32_t s = 20; s < 24; ++s)
            pics.push_back(picture(s));
        std::vector<std::vector<uint8_t>> expected;
        for (const auto& pic : pics) {
            auto r = rendererFor(pic, 3);
            expected.push_back(renderLevel(*r, r->outputBuffer().levelCount() - 1));
        }
        std::atomic<int> failures { 0 };
        std::vector<std::thread> threads;
        for (size_t i = 0; i < pics.size(); ++i)
            threads.emplace_back([&, i] {
                for (int round = 0; round < 3; ++round) {
                    EventLog log; // outlives the renderer: state 4 may follow progress 100
                    auto r = rendererFor(pics[i], round == 1 ? 0 : 3);
                    log.attach(*r);
                    const int last = r->outputBuffer().levelCount() - 1;
                    r->render(last, ROI { 0, 0, 512, 512 }, 1, false);
                    r->render(last, ROI { 0, 0, 100, 100 }, 1, false);
                    log.waitFor("progress 100", 2);
                    if (round != 1 && differingPixels(pixelsOf(r->outputBuffer()[last]), expected[i], 0) != 0)
                        failures.fetch_add(1);
                }
            });
        for (auto& t : threads)
            t.join();
        QCOMPARE(failures.load(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestRenderer)
#include "tst_renderer.moc"
