#include "engine/imageproperties.h"

#include "ciapi/rendererbase.h"

#include "support/testmain.h"

#include <QSignalSpy>

namespace {

// A 4:3 transform reset to an orientation.
CIAPI::Transform transformOf(int orientation)
{
    CIAPI::Transform t({ 4, 3 });
    t.reset(orientation);
    return t;
}

// The engine's parameter and transform store, without a picture.
class BareRenderer : public CIAPI::RendererBase
{
public:
    BareRenderer() { transform() = transformOf(0); }
};

const int kParameters[] = { 2, 7, 3, 4, 9, 8, 13 };
const float kValues[] = { 0.75f, -20.f, 5600.f, 12.f, 33.f, -45.f, 17.f };

void fillRenderer(CIAPI::RendererBase& r, int orientation)
{
    for (int i = 0; i < 7; ++i)
        r.setProperty(CIAPI::FloatParam(kParameters[i]), kValues[i]);
    r.setProperty(CIAPI::IntParam::Orientation, orientation);
    r.transform().reset(orientation);
}

QRectF viewCrop(const CIAPI::Transform& t)
{
    return ImageTransformProperties::viewCrop(t);
}

// Makes `p` a patch of the crop `view` on top of `t`.
void cropPatch(ImageProperties& p, CIAPI::Transform t, const QRectF& view)
{
    ImageTransformProperties::setViewCrop(t, view);
    p.setTransform(t);
    p.markCustomPatch(ImageProperties::Crop, true);
}

// Makes the tone entry `name` of `p` part of its patch, at `value`.
void tonePatch(ImageProperties& p, const char* name, const QVariant& value)
{
    p.tuneToneEntry(name)->setCurrentValue(value);
    p.markTuneTonePatch(p.tuneToneEntry(name).get(), true);
}

bool nearRect(const QRectF& a, const QRectF& b)
{
    return qAbs(a.x() - b.x()) < 1e-5 && qAbs(a.y() - b.y()) < 1e-5 && qAbs(a.width() - b.width()) < 1e-5
        && qAbs(a.height() - b.height()) < 1e-5;
}

} // namespace

class TestImageProperties : public QObject
{
    Q_OBJECT

private slots:
    void applyAndResetPatchSignals()
    {
        ImageProperties editor;
        editor.setTransform(editor.transformProperties(), true);

        ImageProperties patch;
        tonePatch(patch, "contrast", 40);
        cropPatch(patch, patch.transformProperties(), QRectF(0.1, 0.1, 0.5, 0.5));

        QSignalSpy changed(&editor, &ImageProperties::changed);
        QSignalSpy transformChanged(&editor, &ImageProperties::transformChanged);
        editor.applyPatch(&patch);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(transformChanged.count(), 1);
        QCOMPARE(editor.tuneToneEntry("contrast")->currentValue(), QVariant(40));
        QVERIFY(nearRect(viewCrop(editor.transformProperties()), QRectF(0.1, 0.1, 0.5, 0.5)));
        QVERIFY(nearRect(editor.transform().crop()->currentValue().toRectF(), QRectF(0.1, 0.1, 0.5, 0.5)));
        QCOMPARE(patch.patchSkippedCropsCount(), 0);

        // The undo record holds the values before.
        ImageProperties undo;
        tonePatch(undo, "contrast", 0);
        undo.setTransform(editor.transform().original);
        undo.markCustomPatch(ImageProperties::Crop, true);
        editor.resetPatch(&undo);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(transformChanged.count(), 2);
        QCOMPARE(editor.tuneToneEntry("contrast")->currentValue(), QVariant(0));
        QVERIFY(nearRect(viewCrop(editor.transformProperties()), QRectF(0, 0, 1, 1)));

        // A tone-only patch emits changed() only; an equal one nothing.
        ImageProperties tone;
        tonePatch(tone, "tint", 9);
        editor.applyPatch(&tone);
        editor.applyPatch(&tone);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(transformChanged.count(), 2);
    }

    void patchToRendererWithUndo()
    {
        BareRenderer r;
        fillRenderer(r, 0);
        // Exposure agrees within the tolerance; contrast differs.
        ImageProperties patch;
        tonePatch(patch, "exposure", double(kValues[0]) * (1 + 1e-7));
        tonePatch(patch, "contrast", 55.0);
        CIAPI::Transform geometry = transformOf(0);
        geometry.rotate90(-1);
        ImageTransformProperties::setViewCrop(geometry, QRectF(0.1, 0.2, 0.4, 0.5));
        patch.setTransform(geometry);
        patch.markCustomPatch(ImageProperties::RotationAndMirror, true);

        const CIAPI::Transform before = r.transform();
        ImageProperties undo;
        QVERIFY(patch.applyPatchToRenderer(r, &undo));
        QCOMPARE(r.getProperty(CIAPI::FloatParam { 7 }), 55.f);
        QCOMPARE(r.getProperty(CIAPI::FloatParam { 2 }), kValues[0]);
        QCOMPARE(ImageTransformProperties::rotationAndMirror(r.transform()).rotation, 90);
        QCOMPARE(undo.patch().size(), 1);
        QCOMPARE(undo.patch().at(0)->name(), QString("contrast"));
        QCOMPARE(undo.patch().at(0)->currentValue().toFloat(), kValues[1]);
        QVERIFY(undo.rotationAndMirrorPatched());
        QVERIFY(!undo.cropPatched());
        QCOMPARE(patch.patchCompletedCount(), 1);
        // The patch's own entries are untouched by the undo record.
        QCOMPARE(patch.tuneToneEntry("contrast")->currentValue(), QVariant(55.0));

        // Applying the patch again changes nothing but still counts.
        ImageProperties undo2;
        QVERIFY(!patch.applyPatchToRenderer(r, &undo2));
        QVERIFY(undo2.patch().isEmpty());
        QVERIFY(!undo2.rotationAndMirrorPatched());
        QCOMPARE(patch.patchCompletedCount(), 2);

        // The undo record, applied as a patch, restores the picture.
        QVERIFY(undo.applyPatchToRenderer(r, nullptr));
        QCOMPARE(r.getProperty(CIAPI::FloatParam { 7 }), kValues[1]);
        QCOMPARE(ImageTransformProperties::rotationAndMirror(r.transform()),
            ImageTransformProperties::rotationAndMirror(before));
    }
};

OSTRA_TEST_MAIN_CORE(TestImageProperties)
#include "tst_imageproperties.moc"
