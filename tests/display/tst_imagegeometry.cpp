#include "support/testmain.h"

#include "display/imagegeometry.h"
#include "engine/transformhelpers.h"

#include <cmath>

class TestImageGeometry : public QObject
{
    Q_OBJECT
private slots:
    // The display reads every engine orientation the way the rest of the program does.
    void orientationsDecodeLikeTheEngine()
    {
        for (int r = 0; r < 360; r += 90) {
            for (bool m : { false, true }) {
                CIAPI::Transform t(CIAPI::Point<int> { 4, 3 });
                t.reset(0);
                t.rotate90(-r / 90);
                if (m)
                    t.flipHorizontal();
                ImageGeometry g;
                g.setTransform(t);
                const TurnAndMirror d = decomposeTransform(t);
                QCOMPARE(g.angle(), r);
                QCOMPARE(g.mirrored(), m);
                QCOMPARE(d.rotation, r);
                QCOMPARE(d.mirrored, m);
                QCOMPARE(g.transposed(), r == 90 || r == 270);
                // A degenerate matrix (a zero off the diagonal) keeps the angle and mirror.
                for (const QMatrix& bad : { QMatrix(0, 1, 0, 0, 0, 0), QMatrix(0, -1, 0, 0, 0, 0),
                         QMatrix(0, 0, 1, 0, 0, 0), QMatrix(0, 0, -1, 0, 0, 0) }) {
                    g.setMatrix(bad);
                    QVERIFY(g.angle() == r && g.mirrored() == m);
                }
            }
        }
    }

    void fitAndMapping_data()
    {
        QTest::addColumn<int>("code");
        for (int code = 0; code < 8; ++code)
            QTest::addRow("orientation %d", code) << code;
    }
    void fitAndMapping()
    {
        QFETCH(int, code);
        CIAPI::Transform t(CIAPI::Point<int> { 4, 3 });
        t.reset(code);
        ImageGeometry g;
        g.setImageSize(4000, 3000);
        g.setViewSize(800, 800);
        g.setTransform(t);
        const bool turned = g.transposed();
        QCOMPARE(g.fitScale(), turned ? 800.f / 4000.f : 800.f / 4000.f);
        const QSizeF fitted = g.orientedSize();
        QVERIFY(qAbs(fitted.width() - (turned ? 600 : 800)) < 1e-3);
        QVERIFY(qAbs(fitted.height() - (turned ? 800 : 600)) < 1e-3);
        // The centre stays in the middle; corners land on the fitted image's corners.
        const QPointF centre = g.imageToView(QPointF(0.5, 0.5));
        QVERIFY(qAbs(centre.x() - 400) < 1e-3 && qAbs(centre.y() - 400) < 1e-3);
        const QPointF corner = g.imageToView(QPointF(0, 0));
        QVERIFY(qAbs(qAbs(corner.x() - 400) * 2 - fitted.width()) < 1e-3);
        QVERIFY(qAbs(qAbs(corner.y() - 400) * 2 - fitted.height()) < 1e-3);
        // Pan and zoom, then back.
        g.setPan(30, -12);
        g.setZoom(2.5f);
        for (const QPointF& p : { QPointF(0.1, 0.9), QPointF(0.75, 0.2), QPointF(0.5, 0.5) }) {
            const QPointF back = g.viewToImage(g.imageToView(p));
            QVERIFY2(qAbs(back.x() - p.x()) < 1e-5 && qAbs(back.y() - p.y()) < 1e-5,
                qPrintable(QString("%1,%2 -> %3,%4").arg(p.x()).arg(p.y()).arg(back.x()).arg(back.y())));
        }
        // A crop to fit: half the width doubles the scale of a wide view.
        g.setRelativeSize(QSizeF(0.5, 1.0));
        g.setViewSize(1000, 300);
        QCOMPARE(g.fitScale(),
            turned ? qMin(1000.f / 3000.f, 300.f / 2000.f) : qMin(1000.f / 2000.f, 300.f / 3000.f));
    }
};

OSTRA_TEST_MAIN(TestImageGeometry)
#include "tst_imagegeometry.moc"
