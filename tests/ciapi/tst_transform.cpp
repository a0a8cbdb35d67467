// The transform's orientation algebra, checked against the display's own reading of the
// matrix (signs of entries 0, 1, 3 and 4).
#include "ciapi/transform.h"
#include "support/testmain.h"

#include <QtTest>

namespace {

struct Decomposed
{
    int angle = 0;
    bool mirrored = false;
};

// How the display reads a transform back: transposed when |m3 m1| > |m4 m0|, then the
// signs of the entries name the angle and the mirror.
Decomposed decompose(const CIAPI::Transform& t)
{
    const std::vector<float> m = t.matrix(t.aspectRatio());
    if (std::abs(m[3] * m[1]) > std::abs(m[4] * m[0])) {
        if (m[1] > 0 && m[3] > 0)
            return { 90, true };
        if (m[1] < 0 && m[3] > 0)
            return { 90, false };
        if (m[1] > 0 && m[3] < 0)
            return { 270, false };
        return { 270, true };
    }
    if (m[0] < 0 && m[4] > 0)
        return { 0, true };
    if (m[0] > 0 && m[4] < 0)
        return { 180, true };
    if (m[0] < 0 && m[4] < 0)
        return { 180, false };
    return { 0, false };
}

} // namespace

class TestTransform : public QObject
{
    Q_OBJECT

private slots:
    // Every composition of turns and flips stays one of the eight, and the algebra holds.
    void algebraTable()
    {
        for (int code = 0; code < 8; ++code) {
            for (int k = -5; k <= 5; ++k) {
                CIAPI::Transform t(CIAPI::Point<int> { 16, 9 });
                t.reset(code);
                const Decomposed before = decompose(t);
                t.rotate90(k);
                const Decomposed after = decompose(t);
                // rotate90(k) multiplies by R^(-k) from the left: a plain picture turns by -90k
                // degrees; a mirrored one as well (the mirror is applied after the turn).
                const int expect = ((before.angle + (before.mirrored ? 90 : -90) * k) % 360 + 360) % 360;
                QCOMPARE(after.mirrored, before.mirrored);
                QCOMPARE(after.angle, expect);
                t.rotate90(-k);
                QCOMPARE(t.orientationCode(), code);
            }
            CIAPI::Transform t;
            t.reset(code);
            t.flipHorizontal();
            QVERIFY(decompose(t).mirrored != (code >= 3 && code <= 6));
            t.flipHorizontal();
            QCOMPARE(t.orientationCode(), code);
            t.flipVertical();
            t.flipVertical();
            QCOMPARE(t.orientationCode(), code);
            // A vertical flip is a horizontal flip and a half turn.
            CIAPI::Transform a;
            a.reset(code);
            a.flipVertical();
            CIAPI::Transform b;
            b.reset(code);
            b.flipHorizontal();
            b.rotate90(2);
            QCOMPARE(a.matrix(), b.matrix());
        }
    }

    void setMatrixRejectsShear()
    {
        CIAPI::Transform t;
        QVERIFY_EXCEPTION_THROWN(t.setMatrix(1, 1, 0, 1), std::invalid_argument);
        t.setMatrix(0, 1, 1, 0);
        QCOMPARE(t.orientationCode(), 4);
    }
};

OSTRA_TEST_MAIN_CORE(TestTransform)
#include "tst_transform.moc"
