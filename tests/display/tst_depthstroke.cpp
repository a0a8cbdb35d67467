#include "support/testmain.h"

#include "display/brushspray.h"
#include "display/depthstroke.h"

#include <QPolygonF>

#include <algorithm>
#include <cmath>

class TestDepthStroke : public QObject
{
    Q_OBJECT

private slots:
    // A polygon needs three distinct corners; closing one repeats its first point once.
    void lassoCountsDistinctCorners_data()
    {
        QTest::addColumn<QVector<QPointF>>("corners");
        QTest::addColumn<bool>("closed");
        const QPointF a(0.1, 0.1), b(0.5, 0.1), c(0.5, 0.5);
        QTest::newRow("A B A, already closed") << QVector<QPointF> { a, b, a } << false;
        QTest::newRow("A A B B") << QVector<QPointF> { a, a, b, b } << false;
        QTest::newRow("A B C A") << QVector<QPointF> { a, b, c, a } << true;
    }
    void lassoCountsDistinctCorners()
    {
        QFETCH(QVector<QPointF>, corners);
        QFETCH(bool, closed);
        ImageEditState state;
        for (const QPointF& p : corners)
            QVERIFY(DepthStroke::press(state, ImageEdit::Segmented, p));
        const bool wasClosed = corners.size() > 1 && corners.back() == corners.front();
        QCOMPARE(DepthStroke::closePolygon(state), !wasClosed);
        QCOMPARE(state.strokePoints.back(), state.strokePoints.front());
        QVERIFY(!DepthStroke::closePolygon(state));
        QCOMPARE(DepthStroke::hasClosedEditArea(state, ImageEdit::DepthEditingLasso), closed);
    }

    // Any stroke length gives a drawable spray: at most 65535 vertices, at least one point
    // per kept sample, a finite point size that grows as points are dropped, and every
    // point inside the brush around the stroke. The pattern is the same at every build.
    void sprayFitsAnyStroke_data()
    {
        QTest::addColumn<int>("points");
        QTest::addColumn<bool>("asLines");
        QTest::newRow("one point") << 1 << false;
        QTest::newRow("short, as lines") << 20 << true;
        QTest::newRow("more points than fit at 24 per sample") << 400 << false;
        QTest::newRow("samples alone exceed the limit, as lines") << 4000 << true;
    }
    void sprayFitsAnyStroke()
    {
        QFETCH(int, points);
        QFETCH(bool, asLines);
        std::vector<QPointF> stroke;
        for (int i = 0; i < points; ++i)
            stroke.emplace_back(100 + 0.5 * i, 200 + 40 * std::sin(i * 0.05));
        const float radius = 12.f;
        const BrushSpray::Result spray = BrushSpray::build(stroke, radius, asLines);
        QVERIFY(!spray.vertices.empty());
        QVERIFY(int(spray.vertices.size()) <= BrushSpray::kMaxVertices);
        QVERIFY(spray.pointsPerSample >= 1);
        QVERIFY(std::isfinite(spray.pointSize));
        QCOMPARE(int(spray.vertices.size()), spray.samples * spray.pointsPerSample * (asLines ? 2 : 1));
        const bool reduced = spray.pointsPerSample < BrushSpray::kPointsPerSample
            || spray.samples < (points - 1) * BrushSpray::kSamplesPerSegment + 1;
        QCOMPARE(spray.pointSize > BrushSpray::kPointSize, reduced);
        const double margin = radius + spray.pointSize;
        const QRectF bounds = QPolygonF(QVector<QPointF>(stroke.begin(), stroke.end()))
                                  .boundingRect()
                                  .adjusted(-margin, -margin, margin, margin);
        for (const QPointF& v : spray.vertices)
            QVERIFY(bounds.contains(v));
        QCOMPARE(BrushSpray::build(stroke, radius, asLines).vertices, spray.vertices);
        // Smoothing treats both ends alike: the reversed stroke resamples to the same path,
        // reversed.
        const std::vector<QPointF> path = BrushSpray::resample(stroke);
        std::vector<QPointF> back = BrushSpray::resample({ stroke.rbegin(), stroke.rend() });
        std::reverse(back.begin(), back.end());
        QCOMPARE(back.size(), path.size());
        for (size_t i = 0; i < path.size(); ++i)
            QVERIFY(QLineF(back[i], path[i]).length() < 1e-6);
    }
};

OSTRA_TEST_MAIN(TestDepthStroke)
#include "tst_depthstroke.moc"
