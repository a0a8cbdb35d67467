#include "support/testmain.h"

#include "display/viewnavigator.h"

#include <cmath>

namespace {

// A 4000x3000 picture in a 400x300 view, turned `quarters` and mirrored as the engine
// records it.
CIAPI::Transform orientation(int quarters, bool mirrored)
{
    CIAPI::Transform t(CIAPI::Point<int> { 4, 3 });
    t.reset(0);
    t.rotate90(quarters);
    if (mirrored)
        t.flipHorizontal();
    return t;
}

void place(ImageGeometry& g, const CIAPI::Transform& t)
{
    g.setImageSize(4000, 3000);
    g.setTransform(t);
    g.setViewSize(400, 300);
}

bool near(const QPointF& a, const QPointF& b)
{
    return std::abs(a.x() - b.x()) < 1e-4 && std::abs(a.y() - b.y()) < 1e-4;
}

} // namespace

class TestViewNavigator : public QObject
{
    Q_OBJECT
private slots:
    // Whatever the orientation and zoom, the point centred stays under the view's centre
    // through a resize, a quarter turn right and back left, and a mirror across and down;
    // a drag moves the picture with the pointer.
    void viewKeepsItsPlace_data()
    {
        QTest::addColumn<int>("quarters");
        QTest::addColumn<bool>("mirrored");
        QTest::addColumn<double>("zoomLevel");
        QTest::addColumn<QPointF>("centre");
        QTest::newRow("corner zoomed") << 0 << false << 30.0 << QPointF(0.1, 0.9);
        QTest::newRow("turned right") << 1 << false << 12.0 << QPointF(0.8, 0.25);
        QTest::newRow("turned half, mirrored") << 2 << true << 45.0 << QPointF(0.3, 0.6);
        QTest::newRow("turned left, mirrored") << -1 << true << -10.0 << QPointF(0.7, 0.1);
    }
    void viewKeepsItsPlace()
    {
        QFETCH(int, quarters);
        QFETCH(bool, mirrored);
        QFETCH(double, zoomLevel);
        QFETCH(QPointF, centre);
        CIAPI::Transform t = orientation(quarters, mirrored);
        ImageGeometry g;
        place(g, t);
        ViewNavigator nav(g);
        QVERIFY(nav.setZoomLogLevel(zoomLevel));
        nav.centreOn(centre);
        QVERIFY(near(g.viewToImage(QPointF(200, 150)), centre));
        QVERIFY(nav.resizeView(1000, 500));
        for (int step = 0; step < 5; ++step) {
            if (step == 1 || step == 2) {
                nav.turn(step == 1);
                t.rotate90(step == 1 ? 1 : -1);
            } else if (step > 2) {
                nav.mirror(step == 3);
                step == 3 ? t.flipHorizontal() : t.flipVertical();
            }
            g.setTransform(t);
            QVERIFY2(near(g.viewToImage(QPointF(500, 250)), centre), qPrintable(QString::number(step)));
        }
        const QPointF before = g.imageToView(centre);
        nav.drag(QPointF(17, -9));
        QVERIFY(near(g.imageToView(centre), before + QPointF(17, -9)));
    }

    // Zoom levels outside the range, not numbers or unchanged are refused and change
    // nothing; a view with no size has no fit.
    void refusals()
    {
        ImageGeometry g;
        place(g, orientation(0, false));
        ViewNavigator nav(g);
        QVERIFY(nav.setZoomLogLevel(20));
        const float zoom = g.zoom();
        for (double n : { 20.0, double(ViewNavigator::kMaxZoomLogLevel) + 0.5,
                 double(ViewNavigator::kMinZoomLogLevel) - 0.5, std::nan("") })
            QVERIFY(!nav.setZoomLogLevel(n));
        QCOMPARE(g.zoom(), zoom);
        QVERIFY(nav.reset());
        QVERIFY(!nav.reset());
        QCOMPARE(g.zoom(), 1.f);
        QVERIFY(!nav.resizeView(0, 300));
        QVERIFY(std::isfinite(g.panX()) && std::isfinite(g.panY()));
    }
};

OSTRA_TEST_MAIN(TestViewNavigator)
#include "tst_viewnavigator.moc"
