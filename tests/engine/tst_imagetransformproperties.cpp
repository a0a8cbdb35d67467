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

QRectF engineCropOf(const CIAPI::RectF& c)
{
    return QRectF(c.x, c.y, c.width, c.height);
}

QRectF engineCrop(const CIAPI::Transform& t)
{
    return engineCropOf(t.crop());
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

    // What the crop means in the picture: the whole view of a quarter-turned picture is
    // the turned frame centred on the image; the left half of the view is the left, right,
    // top or bottom half of the picture depending on the turn and mirror.
    void viewCropMeaning()
    {
        CIAPI::Transform quarter = turned({ 90, false });
        ImageTransformProperties::setViewCrop(quarter, QRectF(0, 0, 1, 1));
        const QRectF full = engineCrop(quarter);
        QVERIFY(near(full.width() * 4, 3)); // the turned width is the picture's height
        QVERIFY(near(full.height() * 3, 4));
        QVERIFY(near(full.center().x(), 0.5) && near(full.center().y(), 0.5));

        const QRectF leftHalf(0, 0, 0.5, 1);
        auto crop = [&](Orientation o) {
            CIAPI::Transform t = turned(o);
            ImageTransformProperties::setViewCrop(t, leftHalf);
            return engineCrop(t);
        };
        QVERIFY(nearRect(crop({ 0, false }), QRectF(0, 0, 0.5, 1)));
        QVERIFY(nearRect(crop({ 180, false }), QRectF(0.5, 0, 0.5, 1)));
        QVERIFY(nearRect(crop({ 0, true }), QRectF(0.5, 0, 0.5, 1)));
        QVERIFY(nearRect(crop({ 180, true }), QRectF(0, 0, 0.5, 1)));
        // A quarter turn takes the view's left half from one end of the picture's height,
        // the opposite turn from the other end.
        const QRectF a = crop({ 90, false });
        const QRectF b = crop({ 270, false });
        QVERIFY(near(a.height(), b.height()));
        QVERIFY(near(a.center().y() - 0.5, 0.5 - b.center().y()));
        QVERIFY(!near(a.center().y(), 0.5));
        QVERIFY(near(a.width(), full.width()));
    }

    // The part of the picture a crop keeps: a quarter turn swaps the view's proportions
    // back into the picture's axes, and the whole view is the whole picture.
    void pictureCropOfTheView()
    {
        const QRectF v(0.25, 0.1, 0.5, 0.8);
        for (const Orientation o : kAll) {
            CIAPI::Transform t = turned(o);
            setTransformCropFromView(t, QRectF(0, 0, 1, 1));
            QVERIFY2(nearRect(engineCropOf(pictureCropFromFrame(t)), QRectF(0, 0, 1, 1)), name(o));
            setTransformCropFromView(t, v);
            const QRectF p = engineCropOf(pictureCropFromFrame(t));
            const bool quarter = o.rotation % 180 != 0;
            QVERIFY2(near(p.width(), quarter ? v.height() : v.width()), name(o));
            QVERIFY2(near(p.height(), quarter ? v.width() : v.height()), name(o));
            QVERIFY(p.left() >= -1e-6 && p.right() <= 1 + 1e-6);
            QVERIFY(p.top() >= -1e-6 && p.bottom() <= 1 + 1e-6);
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

    void turnToKeepsTheViewCrop()
    {
        for (const Orientation o : kAll) {
            for (int relative : { -270, -90, 0, 90, 180 }) {
                for (bool flip : { false, true }) {
                    CIAPI::Transform t = turned(o);
                    const QRectF v(0.2, 0.1, 0.5, 0.6);
                    ImageTransformProperties::setViewCrop(t, v);
                    ImageTransformProperties::turnTo(t, 0, relative, flip);
                    const auto d = ImageTransformProperties::rotationAndMirror(t);
                    // turnTo(0, r, f) gives the view turned by r (positive: the engine's
                    // positive quarter turns) and mirrored by f, from the unturned frame.
                    const auto e = ImageTransformProperties::rotationAndMirror(turned({ -relative, flip }));
                    QVERIFY2(d == e, name(o) + " " + QByteArray::number(relative));
                    QVERIFY(nearRect(ImageTransformProperties::viewCrop(t), v));
                }
            }
        }
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

        // A mirrored source mirrors the target.
        CIAPI::Transform mirrored({ 4, 3 });
        mirrored.reset(6);
        QVERIFY(target.applyRotationFrom(mirrored, 6));
        QCOMPARE(target.isHMirrored()->currentValue().toBool(), true);
        QCOMPARE(target.rotation()->currentValue().toInt(), 180);
    }
};

OSTRA_TEST_MAIN_CORE(TestImageTransformProperties)
#include "tst_imagetransformproperties.moc"
