// Adjustments copied on one picture in the editor canvas, pasted on another through the
// real image service and kept in its state file; saved as a preset in a real folder.
#include "support/testmain.h"

#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "display/geometryedits.h"
#include "display/imageedititem.h"
#include "engine/imagelocator.h"
#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "support/depthcanvas.h"

#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTemporaryDir>

class TestCanvasPatch : public QObject
{
    Q_OBJECT

private slots:
    void copyPastePreset()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QTemporaryDir dir;
        AppSettings settings;
        PresetFolder presets(dir.filePath("Presets"));
        settings.setPresetKeeper(&presets);
        const QString first = dir.filePath("IMG_first.vrx"), second = dir.filePath("IMG_second.vrx");
        QVERIFY(ostra::test::writeDepthPicture(first, 320, 240, 1));
        QVERIFY(ostra::test::writeDepthPicture(second, 320, 240, 2));

        ImageLocator locator(2, nullptr);
        QQuickView view;
        view.setInitialProperties(
            { { "locator", QVariant::fromValue<QObject*>(&locator) }, { "location", "" } });
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Views/ViewCanvas.qml"));
        QCOMPARE(view.status(), QQuickView::Ready);
        view.resize(1000, 700);
        view.show();
        QObject* root = view.rootObject();
        auto* canvas = root->findChild<ImageEditItem*>();
        const auto open = [&](const QString& picture) {
            root->setProperty("location", QUrl::fromLocalFile(picture).toString());
            return QTest::qWaitFor(
                [&] {
                    return canvas->captureKnown() && canvas->imageQuality() >= ImageEditItem::Preview
                        && canvas->filePath().endsWith(QFileInfo(picture).fileName());
                },
                60000);
        };
        const auto accept = [&](const QString& name) {
            auto* dialog = root->findChild<QObject*>("dialogPatch");
            dialog->findChild<QObject*>("presetName")->setProperty("text", name);
            return dialog->property("visible").toBool() && QMetaObject::invokeMethod(dialog, "tryAccept");
        };
        const auto exposure
            = [](ImageProperties* p) { return p->tuneToneEntry("exposure")->currentValue().toFloat(); };
        const auto rotation = [](ImageProperties* p) {
            return ImageTransformProperties::rotationAndMirror(p->transformProperties()).rotation;
        };

        QVERIFY(open(first));
        canvas->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
        canvas->geometryEdits()->rotateLeft();
        const int turned = rotation(canvas->properties());
        QVERIFY(turned != 0);
        QSignalSpy copied(root, SIGNAL(adjustmentsCopied(QVariant)));
        QMetaObject::invokeMethod(root, "copyAdjustments");
        QVERIFY(accept(QString()));
        QCOMPARE(copied.size(), 1);
        root->setProperty("copiedAdjustments", copied.at(0).at(0));

        QMetaObject::invokeMethod(root, "createPreset");
        QVERIFY(accept("from canvas"));
        ImageProperties* preset = presets.presetList().value(0);
        QVERIFY(preset && preset->name() == "from canvas" && preset->rotationAndMirrorPatched());
        QCOMPARE(exposure(preset), 1.5f);

        // Pasted, then left and opened again: the edit came back from the state file.
        QVERIFY(open(second));
        QCOMPARE(exposure(canvas->properties()), 0.f);
        QMetaObject::invokeMethod(root, "pasteAdjustments");
        QVERIFY(open(first));
        QVERIFY(open(second));
        QCOMPARE(exposure(canvas->properties()), 1.5f);
        QCOMPARE(rotation(canvas->properties()), turned);
        root->setProperty("location", QString());
    }
};

OSTRA_TEST_MAIN(TestCanvasPatch)
#include "tst_canvaspatch.moc"
