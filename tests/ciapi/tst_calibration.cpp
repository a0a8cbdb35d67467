// Calibration: a hot-pixel record that follows the raw bytes and belongs to the camera
// repairs exactly the planted pixels; any other record changes nothing.
#include "ciapi/bytesource.h"
#include "ciapi/ciapi.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/vrximage.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QtTest>

#include <set>

using namespace CIAPI;

namespace {

struct Multi
{
    std::shared_ptr<std::streambuf> a, b, multi;
    std::shared_ptr<std::istream> sa, sb;
};

// The raw bytes followed by a record, as one stream made of two memory regions.
std::shared_ptr<std::istream> joined(
    const std::vector<std::uint8_t>& raw, const std::vector<std::uint8_t>& rec, Multi& keep)
{
    keep.a = CreateMemStream(raw.data(), raw.size());
    keep.b = CreateMemStream(rec.data(), rec.size());
    keep.sa = std::make_shared<std::istream>(keep.a.get());
    keep.sb = std::make_shared<std::istream>(keep.b.get());
    keep.multi = CreateMultiStream({ keep.sa, keep.sb });
    return std::make_shared<std::istream>(keep.multi.get());
}

std::vector<std::uint16_t> repaired(const vrx::VrxImage& img, int module, int frame)
{
    auto s = img.decodeFrame(module, frame);
    const auto& m = img.module(module);
    vrx::repairHotPixels(s, m.width, m.height, img.hotPixels(module));
    return s;
}

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT

private slots:
    void repairsExactlyThePlantedPixels()
    {
        vrxgen::PictureOptions o;
        o.seed = 8;
        o.cameraSeed = 77;
        o.moduleWidth = 80;
        o.moduleHeight = 60;
        o.hotPixelsPerModule = 6;
        const auto pic = vrxgen::makePicture(o);
        QVERIFY(!pic.calibration.empty());

        Multi keep;
        auto renderer = DirectRenderer::Create(4);
        renderer->setInputDataStream(joined(pic.vrx, pic.calibration, keep));
        const auto withCal = renderer->input();
        QVERIFY(withCal->hasCalibration());
        auto plain = vrx::VrxImage::open(ByteSource::fromMemory(pic.vrx.data(), pic.vrx.size()));
        QVERIFY(!plain->hasCalibration());

        const auto at = [](int x, int y) { return std::size_t(y * 80 + x); };
        for (int m = 0; m < 2; ++m) {
            const auto planted = pic.hotPixels[static_cast<std::size_t>(m)];
            QCOMPARE(static_cast<int>(planted.size()), 6);
            std::set<std::pair<int, int>> expected;
            for (const auto& p : planted)
                expected.insert({ p.x, p.y });
            const auto before = repaired(*plain, m, 0);
            const auto after = repaired(*withCal, m, 0);
            std::set<std::pair<int, int>> changed;
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 80; ++x)
                    if (before[at(x, y)] != after[at(x, y)])
                        changed.insert({ x, y });
            QCOMPARE(changed, expected);
            // The repaired values look like their neighbours, not like a saturated sample.
            for (const auto& p : planted) {
                QCOMPARE(before[at(p.x, p.y)], std::uint16_t(16383));
                QVERIFY(after[at(p.x, p.y)] < 16383);
            }
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestCalibration)
#include "tst_calibration.moc"
