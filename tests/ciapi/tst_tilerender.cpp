#include <QtTest>

#include <cstring>
#include <memory>
#include <random>

#include "ciapi/render/tilerender.h"
#include "support/testmain.h"

using namespace CIAPI::render;

namespace {

// A level of smooth colour with some sharp structure and noise, so sharpening changes pixels.
std::shared_ptr<RgbPlanes<uint16_t>> cameraLevel(int w, int h)
{
    auto planes = std::make_shared<RgbPlanes<uint16_t>>();
    planes->reset(w, h);
    std::mt19937 random(9);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool bar = (x / 7 + y / 5) % 3 == 0;
            for (int c = 0; c < 3; ++c)
                planes->c[c].at(x, y) = uint16_t(std::min<uint32_t>(
                    65535, (bar ? 30000u : 9000u) + uint32_t(x * 40 * (c + 1)) + random() % 3000));
        }
    return planes;
}

TileInputs inputs(float sharpening, bool bgra)
{
    TileInputs in;
    in.camera = cameraLevel(300, 190);
    ToneSettings t;
    t.exposure = 0.4f;
    t.vibrance = 15.f;
    in.colour = std::make_shared<const ColourPipeline>(t, identity3());
    in.sharpening = sharpening;
    in.bgra = bgra;
    return in;
}

} // namespace

// Tiles take shortcuts (sharpening fused with the encoding, rows straight from the camera
// planes); whatever the rectangle, they give the pixels of the full linear path.
class TestTileRender : public QObject
{
    Q_OBJECT

private slots:
    void shortcutsMatchTheLinearPath_data()
    {
        QTest::addColumn<float>("sharpening");
        QTest::addColumn<bool>("bgra");
        QTest::newRow("sharpened") << 60.f << false;
        QTest::newRow("softened") << -40.f << true;
        QTest::newRow("plain") << 0.f << false;
    }
    void shortcutsMatchTheLinearPath()
    {
        QFETCH(float, sharpening);
        QFETCH(bool, bgra);
        const TileInputs in = inputs(sharpening, bgra);
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
};

OSTRA_TEST_MAIN_CORE(TestTileRender)
#include "tst_tilerender.moc"
