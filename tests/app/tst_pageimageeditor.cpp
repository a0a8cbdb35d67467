// The editor page over a real session, the real image service and a real presets folder:
// the histogram and the information of the open picture, a tone slider and its revert,
// a preset, the filmstrip keys and deleting from the filmstrip.
#include "support/testmain.h"

#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "core/resources.h"
#include "display/imageedititem.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "library/activesession.h"
#include "library/session.h"
#include "support/picturefiles.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>

#include <cmath>

class TestPageImageEditor : public QObject
{
    Q_OBJECT

    static qint64 histogramTotal(ImageEditItem* canvas, int channel)
    {
        qint64 sum = 0;
        for (const QVariant& v : canvas->histogram().value(channel).toList())
            sum += v.toInt();
        return sum;
    }

    // Repeaters' items are found in the item tree only.
    static QQuickItem* item(QQuickItem* root, const QString& name)
    {
        for (QQuickItem* child : root->childItems()) {
            if (child->objectName() == name)
                return child;
            if (QQuickItem* found = item(child, name))
                return found;
        }
        return nullptr;
    }

    static QString text(QQuickItem* root, const char* name)
    {
        QObject* o = item(root, QString::fromLatin1(name));
        return o ? o->property("text").toString() : QStringLiteral("<missing %1>").arg(name);
    }

    static void click(QQuickView& view, QQuickItem* target, double fx = 0.5)
    {
        QTest::mouseClick(&view, Qt::LeftButton, {},
            target->mapToScene(QPointF(target->width() * fx, target->height() / 2)).toPoint());
    }

private slots:
    void initTestCase()
    {
        ostra::initResources();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
    }

    // Hostile histograms are refused before anything is drawn.
    void malformedHistogramIsNotDrawn_data()
    {
        QTest::addColumn<QVariant>("histogram");
        QTest::addColumn<bool>("valid");
        QVariantList line;
        for (int i = 0; i < 256; ++i)
            line << i;
        const QVariantList good { line, line, line, line };
        QTest::newRow("four lines") << QVariant(good) << true;
        QTest::newRow("three lines") << QVariant(good.mid(1)) << false;
        QTest::newRow("short line") << QVariant(QVariantList { line, line, line, QVariant(line.mid(1)) })
                                    << false;
        QVariantList text = line;
        text[7] = QStringLiteral("7");
        QTest::newRow("text count") << QVariant(QVariantList { line, line, QVariant(text), line }) << false;
        QVariantList negative = line;
        negative[0] = -1;
        QTest::newRow("negative count")
            << QVariant(QVariantList { QVariant(negative), line, line, line }) << false;
        QVariantList nan = line;
        nan[3] = std::nan("");
        QTest::newRow("not a number") << QVariant(QVariantList { line, QVariant(nan), line, line }) << false;
        QTest::newRow("nothing") << QVariant() << false;
    }
    void malformedHistogramIsNotDrawn()
    {
        QFETCH(QVariant, histogram);
        QFETCH(bool, valid);
        AppSettings settings;
        ImageLocator locator(2, nullptr);
        QQuickView view;
        view.setInitialProperties({ { "locator", QVariant::fromValue<QObject*>(&locator) } });
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Pages/PageImageEditor.qml"));
        QCOMPARE(view.status(), QQuickView::Ready);
        QVariant result;
        for (QObject* o = view.rootObject()->findChild<QObject*>("histogramFrame"); o; o = o->parent()) {
            if (o->metaObject()->indexOfMethod("histogramValid(QVariant)") >= 0) {
                QVERIFY(QMetaObject::invokeMethod(
                    o, "histogramValid", Q_RETURN_ARG(QVariant, result), Q_ARG(QVariant, histogram)));
                break;
            }
        }
        QCOMPARE(result.toBool(), valid);
    }

    void editsAndNavigates()
    {
        QTemporaryDir dir;
        AppSettings settings;
        PresetFolder presets(dir.filePath("Presets"));
        settings.setPresetKeeper(&presets);
        ImageProperties bright;
        const auto presetExposure = bright.tuneToneEntry("exposure");
        presetExposure->setCurrentValue(-1.25);
        bright.markTuneTonePatch(presetExposure.get(), true);
        bright.setName("bright");
        settings.createPreset(&bright);

        const QString folder = dir.filePath("day");
        QDir().mkpath(folder);
        for (int i = 0; i < 3; ++i) {
            vrxgen::PictureOptions o = ostra::test::PictureFiles::small(std::uint32_t(i + 11));
            o.iso = 400 + 100 * i;
            QVERIFY(!ostra::test::PictureFiles::write(folder, QStringLiteral("E%1.vrx").arg(i), o).isEmpty());
        }
        ImageLocator locator(2, nullptr);
        Session session;
        session.setResolver(&locator);
        ActiveSession gallery;
        gallery.setResolver(&locator);
        gallery.setSource(&session);
        session.offer(QUrl::fromLocalFile(folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), 3, 20000);
        const QString second = gallery.urlAt(1).toString();

        QQuickView view;
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(1400, 900);
        view.setInitialProperties({ { "locator", QVariant::fromValue<QObject*>(&locator) },
            { "gallery", QVariant::fromValue<QObject*>(&gallery) }, { "location", second } });
        view.setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Pages/PageImageEditor.qml"));
        QCOMPARE(view.status(), QQuickView::Ready);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QQuickItem* root = view.rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(canvas);
        const auto shows = [&](const QString& url) {
            return QTest::qWaitFor(
                [&] {
                    return canvas->captureKnown() && canvas->location() == url
                        && canvas->imageQuality() >= ImageEditItem::Preview;
                },
                60000);
        };
        QVERIFY(shows(second));
        canvas->forceActiveFocus();

        // The histogram of what is drawn, and what the camera recorded.
        QVERIFY(QTest::qWaitFor([&] { return histogramTotal(canvas, 3) > 0; }, 60000));
        QCOMPARE(histogramTotal(canvas, 0), histogramTotal(canvas, 3));
        QCOMPARE(text(root, "infoIso"), QStringLiteral("ISO: 500"));
        QCOMPARE(text(root, "infoFocalLength"), QStringLiteral("Focal length: 50mm"));
        QCOMPARE(text(root, "infoResolution"),
            QStringLiteral("Resolution: %1 × %2")
                .arg(canvas->resolution().width())
                .arg(canvas->resolution().height()));
        QVERIFY(!canvas->exposure().isEmpty());
        QCOMPARE(text(root, "infoExposure"), QStringLiteral("Exposure: %1s").arg(canvas->exposure()));

        // A click on the exposure slider sets the picture's value; revert brings it back.
        ImageProperties* props = canvas->properties();
        const auto exposure = props->tuneToneEntry("exposure");
        const QVariant original = exposure->originalValue();
        QQuickItem* tuning = item(root, "tuningPanelFlicker");
        tuning->setProperty("contentY", tuning->property("contentHeight").toDouble() - tuning->height());
        auto* slider = item(root, "tone_exposure");
        QVERIFY(slider && slider->isVisible());
        click(view, slider, 0.8);
        QVERIFY(exposure->currentValue().toDouble() > 0.5);
        QCOMPARE(slider->property("value").toDouble(), exposure->currentValue().toDouble());
        QVERIFY(!props->isTuneToneOriginal());
        // A double click puts the picture's own value back; so does revert.
        const QPoint onSlider
            = slider->mapToScene(QPointF(slider->width() * 0.3, slider->height() / 2)).toPoint();
        QTest::mouseDClick(&view, Qt::LeftButton, {}, onSlider);
        QTRY_COMPARE(exposure->currentValue().toDouble(), original.toDouble());
        click(view, slider, 0.8);
        QVERIFY(!props->isTuneToneOriginal());
        auto* revert = item(root, "revertToOriginal");
        QVERIFY(revert->isEnabled());
        click(view, revert);
        QCOMPARE(exposure->currentValue().toDouble(), original.toDouble());
        QVERIFY(props->isTuneToneOriginal());
        QVERIFY(!revert->isEnabled());

        // The preset's button applies it and says so.
        auto* preset = item(root, "preset_bright");
        QVERIFY(preset);
        click(view, preset);
        QCOMPARE(exposure->currentValue().toDouble(), -1.25);
        QCOMPARE(slider->property("value").toDouble(), -1.25); // the slider follows the picture
        QCOMPARE(root->property("notifications").value<QObject*>()->property("lastText").toString(),
            QStringLiteral("Preset applied"));
        // A depth tool's tutorial shows on its first use only, and the refocus hint each time.
        QObject* tutorial = root->findChild<QObject*>("tutorial");
        QVERIFY(tutorial && !tutorial->property("visible").toBool());
        QQuickItem* refine = item(root, "refineEdge");
        QTRY_VERIFY_WITH_TIMEOUT(refine->isEnabled(), 60000);
        const auto chooseRefine = [&] { QMetaObject::invokeMethod(root, "refineEdge"); };
        chooseRefine();
        QCOMPARE(canvas->editorMode(), ImageEdit::DepthEditingEdgeHeal);
        QVERIFY(item(root, "depthToolsDialog")->isVisible());
        QTRY_VERIFY(tutorial->property("visible").toBool());
        QCOMPARE(tutorial->property("page").toInt(), 0);
        QVERIFY(tutorial->property("pages").toMap().value("texts").toStringList().value(0).startsWith(
            "Adjusting depth effect can occasionally create inconsistent edges"));
        QMetaObject::invokeMethod(tutorial, "close");
        QTRY_VERIFY(!tutorial->property("visible").toBool());
        chooseRefine(); // leaves the tool
        QCOMPARE(canvas->editorMode(), ImageEdit::None);
        chooseRefine();
        QCOMPARE(canvas->editorMode(), ImageEdit::DepthEditingEdgeHeal);
        QTest::qWait(100);
        QVERIFY(!tutorial->property("visible").toBool());
        QVERIFY(!AppSettings::instance()->displayNow(AppSettings::FTU_RefineEdge));
        canvas->setEditorMode(ImageEdit::Refocus);
        QCOMPARE(root->property("notifications").value<QObject*>()->property("lastText").toString(),
            QStringLiteral("Choose a focus point in the unshaded area. Shaded regions cannot be adjusted."));
        QMetaObject::invokeMethod(tutorial, "close");
        canvas->setEditorMode(ImageEdit::None);

        // The filmstrip's cells in view draw their pictures.
        QQuickItem* cell = item(item(root, "filmstrip"), "galleryImage");
        QVERIFY(cell && !cell->property("offscreen").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(
            cell->property("valid").toBool() && !cell->property("loading").toBool(), 20000);

        // The filmstrip keys: to the next picture and back, then to the ends.
        canvas->forceActiveFocus();
        QTest::keyClick(&view, Qt::Key_Right);
        QVERIFY(shows(gallery.urlAt(2).toString()));
        QCOMPARE(text(root, "infoIso"), QStringLiteral("ISO: %1").arg(canvas->isoFilmSpeed()));
        QTest::keyClick(&view, Qt::Key_Right); // already at the end
        QCOMPARE(canvas->location(), gallery.urlAt(2).toString());
        QTest::keyClick(&view, Qt::Key_Left);
        QVERIFY(shows(second));
        // The preset stayed with the picture it was applied to.
        QCOMPARE(canvas->properties()->tuneToneEntry("exposure")->currentValue().toDouble(), -1.25);
        QTest::keyClick(&view, Qt::Key_Home);
        QVERIFY(shows(gallery.urlAt(0).toString()));
        QTest::keyClick(&view, Qt::Key_End);
        QVERIFY(shows(gallery.urlAt(2).toString()));

        // Delete asks first; the page moves to a neighbour and the file goes.
        const QString doomed = canvas->filePath();
        QTest::keyClick(&view, Qt::Key_Delete);
        QObject* dialog = root->findChild<QObject*>("deleteDialog");
        QTRY_VERIFY(dialog->property("visible").toBool());
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Delete this image?"));
        QVERIFY(dialog->findChild<QObject*>("deleteText")
                    ->property("text")
                    .toString()
                    .startsWith(
                        "Are you sure you want to permanently " + QFileInfo(doomed).baseName().toLower()));
        QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
        QVERIFY(shows(gallery.urlAt(1).toString()));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(doomed), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(gallery.rowCount(), 2, 20000);
    }
};

OSTRA_TEST_MAIN(TestPageImageEditor)
#include "tst_pageimageeditor.moc"
