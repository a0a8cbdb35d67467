#include "support/testmain.h"

#include "display/imageplanenode.h"
#include "display/imageplanesnode.h"
#include "display/imagetilenode.h"
#include "engine/channelorder.h"
#include "support/glhelpers.h"
#include "support/pixelchecks.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QSGOpacityNode>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numeric>

using namespace displaytest;

namespace {

constexpr int kRgba = ChannelOrder::kGlRgba;
constexpr int kBgra = ChannelOrder::kGlBgra;

// An item that draws a pyramid the way the display items do.
class PyramidItem : public QQuickItem
{
public:
    PyramidItem() { setFlag(ItemHasContents); }
    CIAPI::ImagePyramid pyramid;
    int format = kRgba;
    QMatrix matrix;
    int level = 0;
    std::vector<QRegion> dirty;
    int builtNodes = 0;

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData*) override
    {
        auto* node = dynamic_cast<ImagePlanesNode*>(old);
        if (!node || !node->showsPyramid(pyramid)) {
            delete old;
            node = new ImagePlanesNode(pyramid, format);
            node->setFlag(QSGNode::UsePreprocess);
            node->bindWindow(window());
            ++builtNodes;
        }
        node->planes()->applyDirtyRegions(dirty, true);
        node->setLevel(level);
        node->setMatrix(matrix);
        node->updateMatrix(boundingRect());
        return node;
    }
};

// Four flat quadrants split at (sx, sy), colours given as RGB.
const QVector<QColor> kQuadrants
    = { QColor(200, 30, 30), QColor(30, 200, 30), QColor(30, 30, 200), QColor(220, 220, 40) };

CIAPI::Image quadrantImage(
    int w, int h, int sx, int sy, bool bgra, const QVector<QColor>& colours = kQuadrants)
{
    CIAPI::Image image = CIAPI::Image::Create(w, h, bgra ? 1 : 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QColor& c = colours[(y >= sy ? 2 : 0) + (x >= sx ? 1 : 0)];
            uint8_t* p = image.row(y) + x * 4;
            p[0] = uint8_t(bgra ? c.blue() : c.red());
            p[1] = uint8_t(c.green());
            p[2] = uint8_t(bgra ? c.red() : c.blue());
            p[3] = 255;
        }
    return image;
}

// A 40 x 20 picture, grey on the left half and the colour (60, 120, 181) on the right.
CIAPI::Image halvesImage(bool bgra)
{
    return quadrantImage(40, 20, 20, 20, bgra, { QColor(90, 90, 90), QColor(60, 120, 181) });
}

// A node over the pyramid with all its levels uploaded, as after two frames.
std::unique_ptr<ImagePlanesNode> uploadedNode(const CIAPI::ImagePyramid& pyramid, int format)
{
    auto node = std::make_unique<ImagePlanesNode>(pyramid, format);
    node->bindWindow(nullptr);
    for (int level = 0; level < pyramid.levelCount(); ++level)
        node->planes()->markDirty(
            level, CIAPI::ROI { 0, 0, pyramid[level].width(), pyramid[level].height() }, false);
    node->preprocess();
    node->preprocess();
    return node;
}

} // namespace

class TestImagePlanesNode : public QObject
{
    Q_OBJECT
private slots:
    // A node for no picture (a null pyramid) has no planes to draw. Each tile draws what is uploaded or
    // pending in it, reaching one pixel into the next tile where the level continues there and to
    // its own far edge where the level ends; texture coordinates follow the positions.
    void tileGeometryFollowsAvailablePixels()
    {
        const ImagePlanesNode none(CIAPI::ImagePyramid(), kRgba);
        QCOMPARE(none.planes()->levelCount(), 0);
        QCOMPARE(none.childCount(), 0);
        CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
        pyramid[0] = CIAPI::Image::Create(1025, 1);
        ImagePlanes planes(pyramid, kRgba);
        ImagePlaneNode node(&planes.plane(0), 1, true);
        QCOMPARE(int(node.tiles().size()), 2);
        node.preprocess();
        for (ImageTileNode* tile : node.tiles())
            QCOMPARE(tile->geometry()->vertexCount(), 0);

        planes.markDirty(0, CIAPI::ROI { 0, 0, 1025, 1 }, false);
        node.preprocess(); // no context: nothing is uploaded, the pending part is drawn
        QVERIFY(node.changed());
        ImageTileNode* first = node.tiles()[0];
        ImageTileNode* second = node.tiles()[1];
        QCOMPARE(first->drawn(), QRegion(0, 0, 1025, 1));
        QCOMPARE(second->drawn(), QRegion(1024, 0, 1, 1));
        const QSGGeometry::TexturedPoint2D* v = first->geometry()->vertexDataAsTexturedPoint2D();
        QCOMPARE(v[1].x, 1024.f);
        QCOMPARE(v[1].tx, 1.f);
        // The level's one row ends at the tiles' far edge: the quads cover it whole.
        QCOMPARE(v[3].y, 1.f);
        QCOMPARE(v[3].ty, 1.f);
        const QSGGeometry::TexturedPoint2D* w = second->geometry()->vertexDataAsTexturedPoint2D();
        QCOMPARE(w[0].x, 1024.f);
        QCOMPARE(w[0].tx, 0.f);
        QCOMPARE(w[1].x, 1025.f); // the level's last column
        QCOMPARE(w[1].tx, 1.f);
        // Nothing changed: the geometry is left alone.
        QVERIFY(!first->refreshGeometry());
    }

    // Only the coarsest level is counted, and only its pixels whose position falls in the
    // rectangle: a first row and column from the truncated start, up to the unrounded end;
    // outside the picture counts nothing. Its left half is grey, its right half a colour
    // whose red and blue bytes swap places in BGRA order.
    void histogramCountsTheRectangle_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QRectF>("rect");
        QTest::addColumn<QVector<int>>("bins"); // red, green, blue, mean
        QTest::addColumn<int>("inBins"); // pixels counted in those bins
        QTest::addColumn<int>("pixels");
        const QVector<int> grey { 90, 90, 90, 90 };
        const QVector<int> colour { 60, 120, 181, 120 };
        QTest::newRow("grey half") << kRgba << QRectF(0, 0, 0.5, 1) << grey << 400 << 400;
        QTest::newRow("colour rgba") << kRgba << QRectF(0.5, 0, 0.5, 1) << colour << 400 << 400;
        QTest::newRow("colour bgra") << kBgra << QRectF(0.5, 0, 0.5, 1) << colour << 400 << 400;
        QTest::newRow("centre") << kRgba << QRectF(0.25, 0.25, 0.5, 0.5) << grey << 100 << 200;
        QTest::newRow("fractional edges") << kBgra << QRectF(0.26, 0.02, 0.1, 0.1) << grey << 15 << 15;
        QTest::newRow("beyond the picture") << kBgra << QRectF(-0.5, -0.5, 2, 2) << colour << 400 << 800;
        QTest::newRow("empty") << kRgba << QRectF(0.3, 0.3, 0, 0) << grey << 0 << 0;
    }
    void histogramCountsTheRectangle()
    {
        QFETCH(int, format);
        QFETCH(QRectF, rect);
        QFETCH(QVector<int>, bins);
        QFETCH(int, inBins);
        QFETCH(int, pixels);
        GLContext gl;
        QVERIFY(gl.create());
        CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(2);
        pyramid[0] = CIAPI::Image::Create(80, 40, format == kBgra ? 1 : 0); // black
        pyramid[1] = halvesImage(format == kBgra);
        const auto node = uploadedNode(pyramid, format);
        std::vector<std::vector<quint32>> counts;
        QVERIFY(node->computeHistogram(counts, rect));
        QCOMPARE(int(counts.size()), 4);
        for (int c = 0; c < 4; ++c) {
            const std::vector<quint32>& channel = counts[size_t(c)];
            QCOMPARE(int(channel.size()), 256);
            QCOMPARE(int(std::accumulate(channel.begin(), channel.end(), 0u)), pixels);
            QCOMPARE(int(channel[size_t(bins[c])]), inBins);
        }
    }

    // The same rectangle is not counted again, unless a new render of it arrived meanwhile;
    // while it arrives nothing is counted.
    void histogramRecountsOnlyWhatChanged()
    {
        GLContext gl;
        QVERIFY(gl.create());
        CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
        pyramid[0] = halvesImage(true);
        const auto node = uploadedNode(pyramid, kBgra);
        std::vector<std::vector<quint32>> counts;
        QVERIFY(node->computeHistogram(counts, QRectF(0, 0, 0.5, 1)));
        QVERIFY(!node->computeHistogram(counts, QRectF(0, 0, 0.5, 1)));
        QVERIFY(node->computeHistogram(counts, QRectF(0, 0, 1, 1)));
        // The picture turned grey, uploaded again as the canvas does.
        for (int y = 0; y < 20; ++y)
            std::fill(pyramid[0].row(y), pyramid[0].row(y) + 40 * 4, uint8_t(77));
        node->planes()->markDirty(0, CIAPI::ROI { 0, 0, 40, 20 }, true);
        node->preprocess();
        QVERIFY(!node->computeHistogram(counts, QRectF(0, 0, 1, 1)));
        node->preprocess();
        QVERIFY(node->computeHistogram(counts, QRectF(0, 0, 1, 1)));
        QCOMPARE(counts[3][77], 800u);
        QVERIFY(!node->computeHistogram(counts, QRectF(0, 0, 1, 1)));
    }

    // At one level pixel per screen pixel every pixel of the level is on the screen, the
    // last column and row too (which lie in a tile narrower than the others): an export
    // of the picture holds them.
    void drawsTheLastColumnAndRow_data()
    {
        QTest::addColumn<QMatrix>("matrix");
        QTest::newRow("upright") << QMatrix();
        QTest::newRow("half turn") << QMatrix(-1, 0, 0, -1, 0, 0);
        QTest::newRow("mirrored") << QMatrix(-1, 0, 0, 1, 0, 0);
        QTest::newRow("quarter turn") << QMatrix(0, 1, -1, 0, 0, 0);
    }
    void drawsTheLastColumnAndRow()
    {
        QFETCH(QMatrix, matrix);
        const int w = 1030, h = 200;
        const QColor grey(128, 128, 128), first(220, 220, 40), right(200, 30, 30), bottom(30, 200, 30),
            corner(30, 30, 200);
        CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
        pyramid[0] = CIAPI::Image::Create(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const QColor& c = x == w - 1 && y == h - 1 ? corner
                    : x == w - 1                           ? right
                    : y == h - 1                           ? bottom
                    : x == 0 || y == 0                     ? first
                                                           : grey;
                uint8_t* p = pyramid[0].row(y) + x * 4;
                p[0] = uint8_t(c.red());
                p[1] = uint8_t(c.green());
                p[2] = uint8_t(c.blue());
                p[3] = 255;
            }
        const bool turned = matrix.m11() == 0;
        const QSize view = turned ? QSize(h, w) : QSize(w, h);
        QQuickWindow window;
        window.setColor(Qt::black);
        window.resize(view);
        auto* item = new PyramidItem;
        item->setParentItem(window.contentItem());
        item->setSize(view);
        item->pyramid = pyramid;
        item->matrix = matrix;
        item->dirty = { QRegion(0, 0, w, h) };
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QImage frame = window.grabWindow();
        QCOMPARE(frame.size(), view * frame.devicePixelRatio());
        // Where a level pixel lands: the view shows the level turned about its centre.
        const auto at = [&](int x, int y) {
            const QPointF c(x + 0.5 - w / 2.0, y + 0.5 - h / 2.0);
            const QPointF v(
                matrix.m11() * c.x() + matrix.m21() * c.y(), matrix.m12() * c.x() + matrix.m22() * c.y());
            return QPoint(
                int(std::floor(v.x() + view.width() / 2.0)), int(std::floor(v.y() + view.height() / 2.0)));
        };
        const struct
        {
            QPoint pixel;
            QColor colour;
        } probes[]
            = { { { w - 1, h / 2 }, right }, { { w / 2, h - 1 }, bottom }, { { w - 1, h - 1 }, corner },
                  { { 0, h / 2 }, first }, { { w / 2, 0 }, first }, { { w - 2, h / 2 }, grey } };
        for (const auto& probe : probes) {
            const QPoint p = at(probe.pixel.x(), probe.pixel.y());
            const QRgb got = frame.pixel(p * frame.devicePixelRatio());
            QVERIFY2(near(got, probe.colour, 3),
                qPrintable(QStringLiteral("level pixel %1,%2 at %3,%4: %5")
                               .arg(probe.pixel.x())
                               .arg(probe.pixel.y())
                               .arg(p.x())
                               .arg(p.y())
                               .arg(describe(got))));
        }
    }

    void drawsPyramidInWindow_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("angle");
        QTest::newRow("rgba") << kRgba << 0;
        QTest::newRow("bgra") << kBgra << 0;
        QTest::newRow("bgra turned 180") << kBgra << 180;
    }
    void drawsPyramidInWindow()
    {
        QFETCH(int, format);
        QFETCH(int, angle);
        const bool bgra = format == kBgra;
        // Split off-centre so that tiles of the finest level meet inside quadrants.
        CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(2);
        pyramid[0] = quadrantImage(2200, 1320, 1500, 900, bgra);
        pyramid[1] = quadrantImage(1100, 660, 750, 450, bgra);

        QQuickWindow window;
        window.resize(440, 264);
        auto* item = new PyramidItem;
        item->setParentItem(window.contentItem());
        item->setSize(QSizeF(440, 264));
        item->pyramid = pyramid;
        item->format = format;
        item->matrix = angle == 180 ? QMatrix(-1, 0, 0, -1, 0, 0) : QMatrix();
        item->level = 0;
        item->dirty = { QRegion(0, 0, 2200, 1320), QRegion() };
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QImage frame = window.grabWindow();
        QVERIFY(!frame.isNull());
        // The image is 5 times the view: quadrant borders at x = 300, y = 180.
        const QPoint probes[4] = { QPoint(150, 90), QPoint(370, 90), QPoint(150, 222), QPoint(370, 222) };
        for (int q = 0; q < 4; ++q) {
            // Turned half round, the probe turned with it meets the same quadrant.
            const QPoint p = angle == 180 ? QPoint(439 - probes[q].x(), 263 - probes[q].y()) : probes[q];
            const QRgb got = frame.pixel(p * frame.devicePixelRatio());
            QVERIFY2(near(got, kQuadrants[q], 3), qPrintable(QString::number(q) + ": " + describe(got)));
        }
        QCOMPARE(item->builtNodes, 1);

        // Only the coarse level holds pixels: it shows through where the finest is empty.
        item->pyramid = CIAPI::ImagePyramid::Create(2);
        item->pyramid[0] = quadrantImage(2200, 1320, 1500, 900, bgra);
        item->pyramid[1] = quadrantImage(1100, 660, 750, 450, bgra);
        item->dirty = { QRegion(), QRegion(0, 0, 1100, 660) };
        item->update();
        const QImage coarse = window.grabWindow();
        QCOMPARE(item->builtNodes, 2);
        const QPoint p = angle == 180 ? QPoint(439 - 370, 263 - 222) : QPoint(370, 222);
        QVERIFY2(near(coarse.pixel(p * coarse.devicePixelRatio()), kQuadrants[3], 3),
            qPrintable(describe(coarse.pixel(p))));
    }
};

OSTRA_TEST_MAIN(TestImagePlanesNode)
#include "tst_imageplanesnode.moc"
