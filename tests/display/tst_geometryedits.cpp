#include "support/orientations.h"
#include "support/testmain.h"

#include "ciapi/export/exportgeometry.h"
#include "display/enginerects.h"
#include "display/geometryedits.h"
#include "display/imagegeometry.h"
#include "display/nodecrop.h"
#include "display/optionalnode.h"
#include "engine/transformhelpers.h"

#include <QSGGeometry>
#include <QSGNode>
#include <QSignalSpy>

#include <cmath>
#include <random>

namespace {

using ostra::test::Orientation;
const auto& kAll = ostra::test::kAllOrientations;
const auto name = ostra::test::orientationName;

// Turned as the editor turns it, showing the whole view.
CIAPI::Transform turned(const Orientation& o, CIAPI::Point<int> aspect = { 4, 3 })
{
    CIAPI::Transform t = ostra::test::turnedTransform(o, aspect);
    setTransformCropFromView(t, QRectF(0, 0, 1, 1));
    return t;
}

bool near(const QPointF& a, const QPointF& b, double eps = 1e-3)
{
    return std::fabs(a.x() - b.x()) < eps && std::fabs(a.y() - b.y()) < eps;
}

bool nearRect(const QRectF& a, const QRectF& b, double eps = 1e-4)
{
    return near(a.topLeft(), b.topLeft(), eps) && near(a.bottomRight(), b.bottomRight(), eps);
}

QRectF toQ(const CIAPI::RectF& r)
{
    return QRectF(double(r.x), double(r.y), double(r.width), double(r.height));
}

// A 4000 x 3000 picture fitted into a 900 x 700 view.
ImageGeometry geometryFor(const CIAPI::Transform& t)
{
    ImageGeometry g;
    g.setImageSize(4000, 3000);
    g.setTransform(t);
    g.setViewSize(900, 700);
    return g;
}

// The fitted picture's rectangle in the view.
QRectF viewOfPicture(const ImageGeometry& g)
{
    return QRectF(g.imageToView(QPointF(0, 0)), g.imageToView(QPointF(1, 1))).normalized();
}

QPointF inside(const QRectF& frame, const QPointF& fraction)
{
    return QPointF(frame.left() + fraction.x() * frame.width(), frame.top() + fraction.y() * frame.height());
}

} // namespace

class TestGeometryEdits : public QObject
{
    Q_OBJECT

private slots:
    // One rule for all: the display's drawing matrix, its point mapping, the tool's
    // fraction mapping and the engine's export put every picture corner in the same place.
    void exportDrawingAndMappingTurnAlike_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < 8; ++i)
            QTest::addRow("%s", name(kAll[i]).constData()) << i;
    }
    void exportDrawingAndMappingTurnAlike()
    {
        QFETCH(int, index);
        const Orientation o = kAll[index];
        const CIAPI::Transform t = turned(o);
        const ImageGeometry g = geometryFor(t);
        const int w = 8, h = 6, W = t.transposed() ? h : w;
        for (const QPoint corner :
            { QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1) }) {
            std::vector<int> px(size_t(w) * h, 0);
            px[size_t(corner.y()) * w + corner.x()] = 1;
            const auto out = CIAPI::exporter::orient(px, w, h, 1, { t.m(0), t.m(1), t.m(2), t.m(3) });
            const int i = int(std::find(out.begin(), out.end(), 1) - out.begin());
            QVERIFY(i < int(out.size()));
            const QPointF exported((i % W + 0.5) / W, (i / W + 0.5) * W / (w * h));
            const QPointF picture((corner.x() + 0.5) / w, (corner.y() + 0.5) / h);
            const QPointF shown = g.imageToView(picture);
            QVERIFY2(near(inside(viewOfPicture(g), exported), shown, 0.5), name(o));
            QVERIFY2(near(GeometryEdits::pictureToView(picture, decomposeTransform(t)), exported), name(o));
            // The drawing transform (scaled picture pixels about the centre) agrees.
            const QPointF centred((picture.x() - 0.5) * 4000, (picture.y() - 0.5) * 3000);
            const QPointF drawn = g.viewOrientation().map(centred) * double(g.fitScale()) + QPointF(450, 350);
            QVERIFY2(near(drawn, shown), name(o));
        }
        // The display reads the orientation as the engine does, and a degenerate matrix (a
        // zero off the diagonal) keeps it.
        ImageGeometry same = g;
        for (const QMatrix& bad : { QMatrix(0, 1, 0, 0, 0, 0), QMatrix(0, -1, 0, 0, 0, 0),
                 QMatrix(0, 0, 1, 0, 0, 0), QMatrix(0, 0, -1, 0, 0, 0) }) {
            same.setMatrix(bad);
            QCOMPARE((TurnAndMirror { same.angle(), same.mirrored() }), decomposeTransform(t));
        }
    }

    // 90 degrees is a counter-clockwise quarter turn as seen; "rotate right" turns the
    // picture clockwise and four of them come back; every turn and mirror keeps the crop on
    // the same part of the picture.
    void turnsAndMirrorsKeepTheCroppedPart()
    {
        for (const Orientation& o : kAll) {
            GeometryEdits edits;
            CIAPI::Transform t = turned(o);
            setTransformCropFromView(t, QRectF(0.1, 0.2, 0.3, 0.4));
            edits.initTransform(t);
            const QRectF part = edits.cropRect();
            const QPointF topLeftBefore = GeometryEdits::pictureToView(QPointF(0, 0), decomposeTransform(t));
            QSignalSpy rotated(&edits, &GeometryEdits::aboutToRotate);
            QSignalSpy mirrorings(&edits, &GeometryEdits::aboutToMirror);
            edits.rotateRight();
            QCOMPARE(rotated.count(), 1);
            QCOMPARE(rotated.at(0).at(0).toBool(), true);
            const QPointF topLeftAfter
                = GeometryEdits::pictureToView(QPointF(0, 0), decomposeTransform(edits.transform()));
            // Clockwise: a view corner moves on to the next corner clockwise.
            const QPointF expected(1.0 - topLeftBefore.y(), topLeftBefore.x());
            QVERIFY2(near(topLeftAfter, expected), name(o));
            QVERIFY2(nearRect(edits.cropRect(), part), name(o));
            QVERIFY2(nearRect(toQ(pictureCropFromFrame(edits.transform())), part), name(o));
            edits.mirrorHorizontal();
            QVERIFY2(nearRect(edits.cropRect(), part), name(o));
            const QPointF mirrored
                = GeometryEdits::pictureToView(QPointF(0, 0), decomposeTransform(edits.transform()));
            QVERIFY2(near(mirrored, QPointF(1.0 - expected.x(), expected.y())), name(o));
            edits.mirrorVertical();
            QVERIFY2(nearRect(edits.cropRect(), part), name(o));
            edits.mirrorVertical();
            edits.mirrorHorizontal();
            edits.rotateLeft();
            // The view hears which way, to keep its centre on the same part of the picture.
            QCOMPARE(rotated.last().at(0).toBool(), false);
            QCOMPARE(mirrorings.count(), 4);
            QVERIFY(mirrorings.at(0).at(0).toBool() && !mirrorings.at(1).at(0).toBool());
            QCOMPARE(decomposeTransform(edits.transform()), decomposeTransform(t));
            for (int i = 0; i < 4; ++i)
                edits.rotateRight();
            QCOMPARE(decomposeTransform(edits.transform()), decomposeTransform(t));
            QVERIFY2(nearRect(edits.crop(), QRectF(0.1, 0.2, 0.3, 0.4)), name(o));
        }
    }

    // Random drags of every handle and of the whole crop, with and without a preset, in
    // every orientation: the crop stays inside the picture, keeps its minimum size and,
    // with a preset, its ratio.
    void dragsStayInsideAndKeepTheRatio()
    {
        std::mt19937 random(7);
        std::uniform_real_distribution<double> step(-0.4, 0.4);
        for (const Orientation& o : kAll) {
            for (auto mode : { GeometryEdits::Free, GeometryEdits::Preset_16_9, GeometryEdits::Preset_2_3 }) {
                GeometryEdits edits;
                edits.initTransform(turned(o));
                edits.setCropState(GeometryEdits::Shown);
                edits.setCropMode(mode);
                const ImageGeometry g = geometryFor(edits.transform());
                const TurnAndMirror turn = decomposeTransform(edits.transform());
                for (int round = 0; round < 60; ++round) {
                    const QRectF c = edits.crop();
                    // Press just outside a random handle (or inside the crop).
                    const int handle = int(random() % 9);
                    const QSizeF px(1.0 / (g.orientedSize().width()), 1.0 / (g.orientedSize().height()));
                    const double cx = c.center().x(), left = c.left() - 3 * px.width(),
                                 right = c.right() + 3 * px.width();
                    const double cy = c.center().y(), top = c.top() - 3 * px.height(),
                                 bottom = c.bottom() + 3 * px.height();
                    const double hx[] = { cx, left, cx, right, left, right, left, cx, right };
                    const double hy[] = { cy, top, top, top, cy, cy, bottom, bottom, bottom };
                    const QPointF press(hx[handle], hy[handle]);
                    edits.beginCropDrag(GeometryEdits::viewToPicture(press, turn), g);
                    if (handle == 0)
                        QVERIFY(edits.isMoving());
                    else
                        QCOMPARE(edits.grabbedHandle(), handle);
                    QCOMPARE(edits.cropState(), GeometryEdits::Active);
                    const QPointF to = press + QPointF(step(random), step(random));
                    edits.dragCrop(GeometryEdits::viewToPicture(to, turn), g);
                    edits.endCropDrag();
                    QCOMPARE(edits.cropState(), GeometryEdits::Shown);
                    const QRectF r = edits.crop();
                    const QByteArray where = name(o) + " mode " + QByteArray::number(mode) + " round "
                        + QByteArray::number(round);
                    QVERIFY2(r.left() >= -1e-9 && r.top() >= -1e-9, where);
                    QVERIFY2(r.right() <= 1 + 1e-9 && r.bottom() <= 1 + 1e-9, where);
                    QVERIFY2(r.width() >= 0.05 - 1e-9 && r.height() >= 0.05 - 1e-9, where);
                    const double ratio = edits.cropAspectRatio(GeometryEdits::Free);
                    QVERIFY2(
                        mode == GeometryEdits::Free || std::fabs(ratio - edits.cropAspectRatio(mode)) < 1e-6,
                        where);
                    // Free, a handle moves only the edges it was grabbed beside.
                    if (mode == GeometryEdits::Free && handle != 0) {
                        QVERIFY2(press.x() < c.left() || std::fabs(r.left() - c.left()) < 1e-9, where);
                        QVERIFY2(press.x() > c.right() || std::fabs(r.right() - c.right()) < 1e-9, where);
                        QVERIFY2(press.y() < c.top() || std::fabs(r.top() - c.top()) < 1e-9, where);
                        QVERIFY2(press.y() > c.bottom() || std::fabs(r.bottom() - c.bottom()) < 1e-9, where);
                    }
                }
            }
        }
    }

    void edgeDragsStopAtTheMinimum()
    {
        GeometryEdits edits;
        edits.initTransform(turned({ 0, false }));
        edits.setCropState(GeometryEdits::Shown);
        const ImageGeometry g = geometryFor(edits.transform());
        const TurnAndMirror turn = decomposeTransform(edits.transform());
        // Beside an edge, between its corner and its middle, there is no handle.
        for (const QPointF& p :
            { QPointF(-0.002, 0.3), QPointF(1.002, 0.7), QPointF(0.3, -0.002), QPointF(0.7, 1.002) }) {
            edits.beginCropDrag(GeometryEdits::viewToPicture(p, turn), g);
            QCOMPARE(edits.cropState(), GeometryEdits::Shown);
        }
        // The left edge dragged far past the right edge.
        edits.beginCropDrag(GeometryEdits::viewToPicture(QPointF(-0.002, 0.5), turn), g);
        QCOMPARE(edits.grabbedHandle(), 4);
        edits.dragCrop(GeometryEdits::viewToPicture(QPointF(1.5, 0.5), turn), g);
        edits.endCropDrag();
        QVERIFY(std::fabs(edits.crop().width() - 0.05) < 1e-9);
        QVERIFY(std::fabs(edits.crop().right() - 1.0) < 1e-9);
        // The top edge dragged below the bottom stops at 0.95.
        edits.beginCropDrag(
            GeometryEdits::viewToPicture(QPointF(edits.crop().center().x(), -0.002), turn), g);
        QCOMPARE(edits.grabbedHandle(), 2);
        edits.dragCrop(GeometryEdits::viewToPicture(QPointF(edits.crop().center().x(), 3.0), turn), g);
        QVERIFY(std::fabs(edits.crop().top() - 0.95) < 1e-9);
        // A press far from the crop grabs nothing and moves nothing.
        edits.endCropDrag();
        const QRectF before = edits.crop();
        edits.beginCropDrag(GeometryEdits::viewToPicture(QPointF(0.3, 0.3), turn), g);
        QCOMPARE(edits.cropState(), GeometryEdits::Shown);
        edits.dragCrop(GeometryEdits::viewToPicture(QPointF(0.1, 0.1), turn), g);
        QCOMPARE(edits.crop(), before);
    }

    // The overlay is drawn through the same mapping as the picture: the frame's corners
    // sit on the crop's corners, and every handle mark lies outside the crop, touching it.
    void overlayFollowsThePicture()
    {
        for (const Orientation& o : kAll) {
            CIAPI::Transform t = turned(o);
            setTransformCropFromView(t, QRectF(0.2, 0.1, 0.5, 0.6));
            GeometryEdits edits;
            edits.initTransform(t);
            const ImageGeometry g = geometryFor(t);
            NodeCrop crop;
            crop.setCropGeometry(GeometryEdits::Shown, edits.cropRect(), 4.0 / 3.0);
            crop.updateNode(g);
            crop.setVisible(true);
            QVERIFY(crop.shadeNode()->isVisible());
            const auto vertices = [](QSGNode* node) {
                return static_cast<QSGGeometryNode*>(node->firstChild())->geometry()->vertexDataAsPoint2D();
            };
            const QRectF frame = viewOfPicture(g);
            const QRectF expected(
                inside(frame, edits.crop().topLeft()), inside(frame, edits.crop().bottomRight()));
            const auto* v = vertices(crop.frameNode());
            QRectF box;
            for (int i = 0; i < 8; ++i)
                box |= QRectF(QPointF(v[i].x, v[i].y), QSizeF(1e-9, 1e-9));
            QVERIFY2(nearRect(box, expected, 0.05), name(o));
            const auto* q = vertices(crop.handleNode());
            for (int i = 0; i < 72; i += 6) {
                const QRectF mark
                    = QRectF(QPointF(q[i].x, q[i].y), QPointF(q[i + 5].x, q[i + 5].y)).normalized();
                const QRectF overlap = mark.intersected(expected.adjusted(0.5, 0.5, -0.5, -0.5));
                QVERIFY2(expected.adjusted(-6.5, -6.5, 6.5, 6.5).contains(mark)
                        && (!overlap.isValid() || overlap.isEmpty()),
                    name(o) + " mark " + QByteArray::number(i / 6));
            }
            QSGNode root; // takes the nodes, as the canvas's node does
            root.appendChildNode(crop.shadeNode());
            root.appendChildNode(crop.frameNode());
            root.appendChildNode(crop.handleNode());
        }
    }
    // Editing starts from the stored crop; leaving without applying drops the edit;
    // applying stores it (and hides the tool).
    void editingIsCommittedOnlyByApply()
    {
        GeometryEdits edits;
        edits.initTransform(turned({ 90, true }));
        QSignalSpy state(&edits, &GeometryEdits::cropStateChanged);
        QSignalSpy transformation(&edits, &GeometryEdits::transformationUpdated);
        for (const bool apply : { false, true }) {
            edits.setCropState(GeometryEdits::Shown);
            edits.setCropMode(GeometryEdits::Preset_1_1);
            const QRectF square = edits.crop();
            QVERIFY(!nearRect(square, QRectF(0, 0, 1, 1)));
            // The transform still has the committed crop while editing.
            QVERIFY(nearRect(viewCropFromTransform(edits.transform()), QRectF(0, 0, 1, 1)));
            apply ? edits.applyCrop() : edits.setCropState(GeometryEdits::Hidden);
            QCOMPARE(edits.cropState(), GeometryEdits::Hidden);
            QCOMPARE(transformation.count(), int(apply));
            const QRectF kept = apply ? square : QRectF(0, 0, 1, 1);
            QVERIFY(nearRect(edits.crop(), kept) && nearRect(viewCropFromTransform(edits.transform()), kept));
        }
        QCOMPARE(state.count(), 4);
        QVERIFY(edits.hasEdits());
    }
};

OSTRA_TEST_MAIN(TestGeometryEdits)
#include "tst_geometryedits.moc"
