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

namespace {

double exposureOf(ImageProperties* p)
{
    return p->tuneToneEntry("exposure")->currentValue().toDouble();
}

int rotationOf(ImageProperties* p)
{
    return ImageTransformProperties::rotationAndMirror(p->transformProperties()).rotation;
}

} // namespace

class TestCanvasPatch : public QObject
{
    Q_OBJECT

    QQuickView* m_view = nullptr;
    ImageEditItem* m_canvas = nullptr;

    // Shows `picture` and waits until it can be edited.
    bool open(const QString& picture)
    {
        m_view->rootObject()->setProperty("location", QUrl::fromLocalFile(picture).toString());
        return QTest::qWaitFor(
            [&] {
                return m_canvas->captureKnown() && m_canvas->imageQuality() >= ImageEditItem::Preview
                    && m_canvas->filePath().endsWith(QFileInfo(picture).fileName());
            },
            60000);
    }

    QObject* acceptPatchDialog(const QString& presetName = QString())
    {
        auto* dialog = m_view->rootObject()->findChild<QObject*>("dialogPatch");
        if (!dialog || !dialog->property("visible").toBool())
            return nullptr;
        if (!presetName.isEmpty())
            dialog->findChild<QObject*>("presetName")->setProperty("text", presetName);
        QMetaObject::invokeMethod(dialog, "tryAccept");
        return dialog;
    }

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
        {
            QQuickView view;
            m_view = &view;
            view.resize(1000, 700);
            view.setInitialProperties(
                { { "locator", QVariant::fromValue<QObject*>(&locator) }, { "location", QString() } });
            view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Views/ViewCanvas.qml"));
            QCOMPARE(view.status(), QQuickView::Ready);
            view.show();
            QObject* root = view.rootObject();
            m_canvas = root->findChild<ImageEditItem*>();
            QVERIFY(m_canvas && open(first));

            m_canvas->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
            m_canvas->geometryEdits()->rotateLeft();
            const int turned = rotationOf(m_canvas->properties());
            QVERIFY(turned != 0);

            QSignalSpy copied(root, SIGNAL(adjustmentsCopied(QVariant)));
            QMetaObject::invokeMethod(root, "copyAdjustments");
            QVERIFY(acceptPatchDialog());
            QCOMPARE(copied.size(), 1);
            root->setProperty("copiedAdjustments", copied.at(0).at(0));

            QMetaObject::invokeMethod(root, "createPreset");
            QVERIFY(acceptPatchDialog("from canvas"));
            QCOMPARE(presets.presetList().size(), 1);
            ImageProperties* preset = presets.presetList().at(0);
            QCOMPARE(preset->name(), QStringLiteral("from canvas"));
            QCOMPARE(exposureOf(preset), 1.5);
            QVERIFY(preset->rotationAndMirrorPatched());

            QVERIFY(open(second));
            QCOMPARE(exposureOf(m_canvas->properties()), 0.0);
            QMetaObject::invokeMethod(root, "pasteAdjustments");
            QCOMPARE(exposureOf(m_canvas->properties()), 1.5);
            QCOMPARE(rotationOf(m_canvas->properties()), turned);

            // Left and opened again: the pasted edit came from the picture's state file.
            QVERIFY(open(first));
            QVERIFY(open(second));
            QCOMPARE(float(exposureOf(m_canvas->properties())), 1.5f);
            QCOMPARE(rotationOf(m_canvas->properties()), turned);
            root->setProperty("location", QString());
        }
    }
};

OSTRA_TEST_MAIN(TestCanvasPatch)
#include "tst_canvaspatch.moc"
