#include "support/testmain.h"

#include "display/geometryedits.h"
#include "engine/statefile.h"
#include "support/depthcanvas.h"

#include <QTemporaryDir>

using ostra::test::distanceToPath;

namespace {

// Pixels that differ clearly between two screenshots of the same window.
std::vector<QPoint> changedPixels(const QImage& before, const QImage& after)
{
    std::vector<QPoint> out;
    for (int y = 0; y < before.height(); ++y)
        for (int x = 0; x < before.width(); ++x) {
            const QRgb a = before.pixel(x, y), b = after.pixel(x, y);
            if (std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b))
                > 60)
                out.emplace_back(x, y);
        }
    return out;
}

} // namespace

// The overlay under Xvfb: the reference cross, a lasso and the brush spray appear where
// the pointer went, and nowhere else, with the picture upright and turned.
class TestDepthOverlay : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_picture;

private slots:
    void initTestCase()
    {
        m_picture = m_dir.path() + "/IMG_overlay.vrx";
        QVERIFY(ostra::test::writeDepthPicture(m_picture, 640, 480, 12));
    }

    void drawnWherePointerWent_data()
    {
        QTest::addColumn<bool>("turned");
        QTest::newRow("upright") << false;
        QTest::newRow("turned right") << true;
    }
    void drawnWherePointerWent()
    {
        QFETCH(bool, turned);
        QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(m_picture)));
        ImageLocator locator(2, nullptr);
        ostra::test::DepthCanvas canvas(locator);
        QQuickWindow& window = canvas.window;
        ImageEditItem* item = canvas.item;
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(canvas.open(m_picture));
        if (turned) {
            item->geometryEdits()->rotateRight();
            QVERIFY(canvas.settle());
        }
        QTest::qWait(300);
        const auto at = [&](const QPointF& p) { return item->geometry().imageToView(p); };
        const auto shot = [&] {
            QTest::qWait(50);
            return window.grabWindow();
        };

        // The cross, centred on the picked point.
        item->setEditorMode(ImageEdit::DepthEditingBrush);
        item->setPickerMode(ImageEdit::Reference);
        const QImage clean = shot();
        const QPointF pick(0.3, 0.6);
        canvas.press(pick);
        QVERIFY(item->hasReferencePoint());
        const QImage withCross = shot();
        std::vector<QPoint> changed = changedPixels(clean, withCross);
        QVERIFY(changed.size() > 20);
        QRect box;
        for (const QPoint& p : changed)
            box |= QRect(p, QSize(1, 1));
        QVERIFY2(
            std::abs(box.center().x() - at(pick).x()) <= 2 && std::abs(box.center().y() - at(pick).y()) <= 2,
            "cross not centred on the picked point");
        QVERIFY(box.width() <= 33 && box.height() <= 33);

        // The brush spray, along the dragged stroke and within the brush.
        item->setPickerMode(ImageEdit::Trajectory);
        item->setBrushSize(15);
        const std::vector<QPointF> strokeAt { { 0.2, 0.2 }, { 0.5, 0.3 }, { 0.7, 0.7 } };
        canvas.stroke(strokeAt, 40, false);
        std::vector<QPointF> stroke;
        for (const QPointF& p : strokeAt)
            stroke.push_back(at(p));
        const QImage sprayed = shot();
        changed = changedPixels(withCross, sprayed);
        QVERIFY(changed.size() > 100);
        const double radius = item->brushRadiusValue();
        QVERIFY(radius > 3);
        int nearMiddle = 0;
        for (const QPoint& p : changed) {
            // The spray follows the stroke smoothed over a few points: corners are rounded.
            QVERIFY2(distanceToPath(p, stroke) <= radius + 6, "spray away from the stroke");
            nearMiddle += QLineF(p, stroke[1]).length() < radius;
        }
        QVERIFY(nearMiddle > 5);
        QTest::mouseRelease(&window, Qt::LeftButton, {}, canvas.at(strokeAt.back()));

        // The lasso, along the polygon's edges (closed once the picker goes back).
        item->setEditorMode(ImageEdit::DepthEditingLasso);
        item->setPickerMode(ImageEdit::Segmented);
        const QImage bare = shot();
        const std::vector<QPointF> corners { { 0.2, 0.2 }, { 0.8, 0.3 }, { 0.5, 0.8 } };
        for (const QPointF& c : corners)
            canvas.press(c);
        item->setPickerMode(ImageEdit::Reference);
        QVERIFY(item->hasClosedEditArea());
        changed = changedPixels(bare, shot());
        std::vector<QPointF> path;
        for (const QPointF& c : corners)
            path.push_back(at(c));
        path.push_back(path.front());
        std::vector<int> perEdge(3, 0);
        for (const QPoint& p : changed) {
            QVERIFY2(distanceToPath(p, path) <= 4, "lasso drawn away from its edges");
            for (size_t e = 0; e < 3; ++e)
                perEdge[e] += distanceToPath(p, { path[e], path[e + 1] }) <= 2;
        }
        for (int n : perEdge)
            QVERIFY(n > 20);
    }
};

OSTRA_TEST_MAIN(TestDepthOverlay)
#include "tst_depthoverlay.moc"
