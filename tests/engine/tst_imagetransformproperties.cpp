#include "engine/imagetransformproperties.h"
#include "engine/transformhelpers.h"
#include "engine/videoproperties.h"

#include "support/orientations.h"
#include "support/testmain.h"

#include <QSignalSpy>

namespace {

using ostra::test::Orientation;
const auto& kAll = ostra::test::kAllOrientations;

CIAPI::Transform turned(Orientation o, CIAPI::Point<int> aspect = { 4, 3 })
{
    return ostra::test::turnedTransform(o, aspect);
}

QByteArray name(Orientation o)
{
    return ostra::test::orientationName(o);
}

bool near(double a, double b)
{
    return qAbs(a - b) < 1e-5;
}

bool nearRect(const QRectF& a, const QRectF& b)
{
    return near(a.x(), b.x()) && near(a.y(), b.y()) && near(a.width(), b.width())
        && near(a.height(), b.height());
}

} // namespace

class TestImageTransformProperties : public QObject
{
    Q_OBJECT

private slots:
    void viewCropRoundTripsInAllOrientations()
    {
        const QRectF rects[] = { QRectF(0, 0, 1, 1), QRectF(0.1, 0.2, 0.5, 0.3), QRectF(0.5, 0, 0.5, 1),
            QRectF(0.25, 0.6, 0.7, 0.4) };
        for (const CIAPI::Point<int> aspect : { CIAPI::Point<int> { 4, 3 }, CIAPI::Point<int> { 16, 9 } }) {
            for (const Orientation o : kAll) {
                // The turn and mirror read back are the ones the view was given.
                const TurnAndMirror d = ImageTransformProperties::rotationAndMirror(turned(o, aspect));
                QVERIFY2(d.rotation == o.rotation && d.mirrored == o.mirrored, name(o));
                for (const QRectF& r : rects) {
                    CIAPI::Transform t = turned(o, aspect);
                    ImageTransformProperties::setViewCrop(t, r);
                    QVERIFY2(nearRect(ImageTransformProperties::viewCrop(t), r), name(o));
                }
            }
        }
    }

    void cropCopiesBetweenPictures()
    {
        const QRectF r(0.1, 0.2, 0.3, 0.4);
        CIAPI::Transform source = turned({ 0, false });
        ImageTransformProperties::setViewCrop(source, r);

        CIAPI::Transform same = turned({ 0, true });
        QVERIFY(ImageTransformProperties::applyCropFrom(same, source));
        QVERIFY(nearRect(ImageTransformProperties::viewCrop(same), r));

        // Half a turn apart: reflected through the centre.
        CIAPI::Transform half = turned({ 180, false });
        QVERIFY(ImageTransformProperties::applyCropFrom(half, source));
        QVERIFY(nearRect(ImageTransformProperties::viewCrop(half), QRectF(0.6, 0.4, 0.3, 0.4)));

        // Landscape onto a quarter-turned picture: refused, target untouched.
        CIAPI::Transform quarter = turned({ 90, false });
        ImageTransformProperties::setViewCrop(quarter, QRectF(0, 0, 0.5, 0.5));
        const CIAPI::Transform before = quarter;
        QVERIFY(!ImageTransformProperties::applyCropFrom(quarter, source));
        QVERIFY(quarter == before);

        CIAPI::Transform otherQuarter = turned({ 270, false });
        CIAPI::Transform quarterSource = turned({ 90, false });
        ImageTransformProperties::setViewCrop(quarterSource, r);
        QVERIFY(ImageTransformProperties::applyCropFrom(otherQuarter, quarterSource));
        QVERIFY(nearRect(ImageTransformProperties::viewCrop(otherQuarter), QRectF(0.6, 0.4, 0.3, 0.4)));
    }

    // A rotation made on one picture carries over to another, relative to each picture's
    // own orientation code.
    void rotationCarriesRelativeToOrientation()
    {
        // The source was shot upright (code 0) and turned a quarter by the user.
        const CIAPI::Transform source = turned({ 90, false });
        QCOMPARE(ImageTransformProperties::rotationAndMirror(source).rotation, 90);

        // The target was shot turned (code 7, 180 degrees): it ends a quarter further.
        ImageTransformProperties target;
        target.setOrientation(7);
        CIAPI::Transform own({ 4, 3 });
        own.reset(7);
        target.setFromTransform(own, false);
        QVERIFY(target.applyRotationFrom(source, 0));
        QCOMPARE(target.rotation()->currentValue().toInt(), 270);
        QCOMPARE(target.isHMirrored()->currentValue().toBool(), false);

        // Applying the same again changes nothing.
        QVERIFY(!target.applyRotationFrom(source, 0));

        // A source whose turn is only its own orientation carries no rotation.
        CIAPI::Transform upright({ 4, 3 });
        upright.reset(1);
        QVERIFY(target.applyRotationFrom(upright, 1));
        QCOMPARE(target.rotation()->currentValue().toInt(), 180);

        // A source the user mirrored mirrors the target.
        CIAPI::Transform mirrored({ 4, 3 });
        mirrored.reset(0);
        mirrored.flipHorizontal();
        QVERIFY(target.applyRotationFrom(mirrored, 0));
        QCOMPARE(target.isHMirrored()->currentValue().toBool(), true);
        QCOMPARE(target.rotation()->currentValue().toInt(), 180);

        // A source shot mirrored (code 6) and left as shot carries no mirror: the target
        // goes back to its own look as shot.
        CIAPI::Transform shotMirrored({ 4, 3 });
        shotMirrored.reset(6);
        QVERIFY(target.applyRotationFrom(shotMirrored, 6));
        QCOMPARE(target.isHMirrored()->currentValue().toBool(), false);
        QCOMPARE(target.rotation()->currentValue().toInt(), 180);
    }

    void turnsCarryBetweenAllOrientationCodes_data()
    {
        QTest::addColumn<int>("fileCode");
        for (int code = 0; code < 8; ++code)
            QTest::addRow("file code %d", code) << code;
    }

    // For a picture of any orientation code, mirrored ones included: a look copied from a
    // picture of the same code is that picture's look, and the record of the look before a
    // patch (the picture's own look and code, as a batch keeps it for its undo) gives the
    // look back, whatever picture the patch came from.
    void turnsCarryBetweenAllOrientationCodes()
    {
        QFETCH(int, fileCode);
        for (const Orientation look : kAll) {
            for (const Orientation other : kAll) {
                const QByteArray where = "look " + name(look) + ", other " + name(other);
                CIAPI::Transform source = turned(other);
                CIAPI::Transform t = turned(look);
                setTransformCropFromView(t, QRectF(0.1, 0.2, 0.5, 0.6));
                const bool changed
                    = ImageTransformProperties::turnToOrientation(t, fileCode, source, fileCode);
                QCOMPARE(changed, decomposeTransform(source) != decomposeTransform(turned(look)));
                QVERIFY2(decomposeTransform(t) == decomposeTransform(source), where.constData());
                QVERIFY2(nearRect(viewCropFromTransform(t), QRectF(0.1, 0.2, 0.5, 0.6)), where.constData());

                for (int sourceCode = 0; sourceCode < 8; ++sourceCode) {
                    CIAPI::Transform p = turned(look);
                    const CIAPI::Transform before = p;
                    ImageTransformProperties::turnToOrientation(p, fileCode, source, sourceCode);
                    ImageTransformProperties::turnToOrientation(p, fileCode, before, fileCode);
                    QVERIFY2(decomposeTransform(p) == decomposeTransform(before),
                        (where + " from code " + QByteArray::number(sourceCode)).constData());
                }
            }
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestImageTransformProperties)
#include "tst_imagetransformproperties.moc"
