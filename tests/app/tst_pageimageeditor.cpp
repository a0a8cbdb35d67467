// The editor page over a real session, the real image service and a real presets folder:
// the histogram of the open picture, a tone slider and its revert, the filmstrip and its
// keys, and deleting from it.
#include "support/testmain.h"

#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "core/resources.h"
#include "display/imageedititem.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "library/activesession.h"
#include "library/session.h"
#include "support/picturefiles.h"
#include "support/quickitems.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>

#include <cmath>
#include <functional>
#include <memory>

using ostra::test::clickItem;
using ostra::test::findItem;

class TestPageImageEditor : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    AppSettings m_settings;
    std::unique_ptr<ImageLocator> m_locator;
    Session m_session;
    ActiveSession m_gallery;
    std::unique_ptr<QQuickView> m_view;

    static qint64 histogramTotal(ImageEditItem* canvas, int channel)
    {
        qint64 sum = 0;
        for (const QVariant& v : canvas->histogram().value(channel).toList())
            sum += v.toInt();
        return sum;
    }

private slots:
    // Three pictures in the gallery, and the page on the second.
    void initTestCase()
    {
        ostra::initResources();
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        const QString folder = m_dir.filePath("day");
        QDir().mkpath(folder);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!ostra::test::PictureFiles::write(folder, QStringLiteral("E%1.vrx").arg(i),
                ostra::test::PictureFiles::small(std::uint32_t(i + 11)))
                         .isEmpty());
        }
        m_locator = std::make_unique<ImageLocator>(2, nullptr);
        m_session.setResolver(m_locator.get());
        m_gallery.setResolver(m_locator.get());
        m_gallery.setSource(&m_session);
        m_session.offer(QUrl::fromLocalFile(folder), false);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery.rowCount(), 3, 20000);

        m_view = std::make_unique<QQuickView>();
        m_view->setResizeMode(QQuickView::SizeRootObjectToView);
        m_view->resize(1400, 900);
        m_view->setInitialProperties({ { "locator", QVariant::fromValue<QObject*>(m_locator.get()) },
            { "gallery", QVariant::fromValue<QObject*>(&m_gallery) },
            { "location", m_gallery.urlAt(1).toString() } });
        m_view->setSource(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/Pages/PageImageEditor.qml"));
        QCOMPARE(m_view->status(), QQuickView::Ready);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        m_view->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_view.get()));
    }

    void cleanupTestCase() { m_view.reset(); }

    // "Reset Adjustments..." asks which adjustments to reset, resets only those and says
    // how many changed.
    void resetAdjustmentsAsksFirst()
    {
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(canvas);
        QTRY_VERIFY_WITH_TIMEOUT(canvas->captureKnown(), 60000);
        ImageProperties* props = canvas->properties();
        const auto exposure = props->tuneToneEntry("exposure");
        const auto contrast = props->tuneToneEntry("contrast");
        const QVariant exposureOriginal = exposure->originalValue();
        const QVariant contrastOriginal = contrast->originalValue();
        exposure->setCurrentValue(exposureOriginal.toDouble() + 1);
        contrast->setCurrentValue(contrastOriginal.toDouble() + 20);
        auto* dialog = root->findChild<QQuickWindow*>("dialogPatch");
        QVERIFY(dialog);
        QQmlExpression lastNote(qmlContext(root), root, QStringLiteral("NotificationsManager.lastText"));
        const auto resetWith = [&](std::function<void()> choose) {
            QVERIFY(QMetaObject::invokeMethod(root, "resetAdjustments"));
            QTRY_VERIFY(dialog->isVisible());
            choose();
            QVERIFY(QMetaObject::invokeMethod(dialog, "tryAccept"));
            QTRY_VERIFY(!dialog->isVisible());
        };

        // Contrast left out: only the exposure goes back.
        resetWith([&] {
            QVERIFY(QMetaObject::invokeMethod(dialog, "markTone",
                Q_ARG(QVariant, QVariant::fromValue<QObject*>(contrast.get())), Q_ARG(QVariant, false)));
        });
        QCOMPARE(exposure->currentValue(), exposureOriginal);
        QCOMPARE(contrast->currentValue().toDouble(), contrastOriginal.toDouble() + 20);
        QCOMPARE(lastNote.evaluate().toString(), QStringLiteral("1 properties have been reset!"));
        // Everything chosen: the rest goes back.
        resetWith([] {});
        QCOMPARE(contrast->currentValue(), contrastOriginal);
        QCOMPARE(lastNote.evaluate().toString(), QStringLiteral("Image properties has been reset!"));
        // Nothing left to reset.
        resetWith([] {});
        QCOMPARE(lastNote.evaluate().toString(), QStringLiteral("No properties have been reset."));
    }

    // A depth edit that failed shakes the picture: the page's animation moves the canvas's
    // overlay aside and brings it back to rest.
    void failedDepthEditShakes()
    {
        auto* canvas = m_view->rootObject()->findChild<ImageEditItem*>();
        QVERIFY(canvas);
        QCOMPARE(canvas->property("anomaly").toDouble(), 0.0);
        double widest = 0;
        QVERIFY(QMetaObject::invokeMethod(canvas, "depthEditingError"));
        QTRY_VERIFY([&] {
            widest = qMax(widest, std::fabs(canvas->property("anomaly").toDouble()));
            return widest > 0;
        }());
        QTRY_COMPARE(canvas->property("anomaly").toDouble(), 0.0);
    }

    // Hostile histograms are refused before anything is drawn.
    void malformedHistogramIsNotDrawn_data()
    {
        QTest::addColumn<QVariant>("histogram");
        QTest::addColumn<bool>("valid");
        QVariantList line;
        for (int i = 0; i < 256; ++i)
            line << i;
        // Four lines, the third with `count` at `at`.
        const auto with = [&](int at, const QVariant& count) {
            QVariantList bad = line;
            bad[at] = count;
            return QVariant(QVariantList { line, line, QVariant(bad), line });
        };
        QTest::newRow("four lines") << QVariant(QVariantList { line, line, line, line }) << true;
        QTest::newRow("three lines") << QVariant(QVariantList { line, line, line }) << false;
        QTest::newRow("short line") << QVariant(QVariantList { line, line, QVariant(line.mid(1)), line })
                                    << false;
        QTest::newRow("text count") << with(7, QStringLiteral("7")) << false;
        QTest::newRow("negative count") << with(0, -1) << false;
        QTest::newRow("not a number") << with(3, std::nan("")) << false;
        QTest::newRow("nothing") << QVariant() << false;
    }

    void malformedHistogramIsNotDrawn()
    {
        QFETCH(QVariant, histogram);
        QFETCH(bool, valid);
        QVariant result;
        for (QObject* o = m_view->rootObject()->findChild<QObject*>("histogramFrame"); o; o = o->parent()) {
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
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(canvas);
        const auto shows = [&](int row) {
            return QTest::qWaitFor(
                [&] {
                    return canvas->captureKnown() && canvas->location() == m_gallery.urlAt(row).toString()
                        && canvas->imageQuality() >= ImageEditItem::Preview;
                },
                60000);
        };
        QVERIFY(shows(1));

        // The histogram of what is drawn.
        QVERIFY(QTest::qWaitFor([&] { return histogramTotal(canvas, 3) > 0; }, 60000));
        QCOMPARE(histogramTotal(canvas, 0), histogramTotal(canvas, 3));

        // A click on the exposure slider sets the picture's value; a double click puts the
        // picture's own value back, and so does revert, which the slider still follows.
        ImageProperties* props = canvas->properties();
        const auto exposure = props->tuneToneEntry("exposure");
        const double original = exposure->originalValue().toDouble();
        QQuickItem* tuning = findItem(root, "tuningPanelFlicker");
        tuning->setProperty("contentY", tuning->property("contentHeight").toDouble() - tuning->height());
        auto* slider = findItem(root, "tone_exposure");
        QVERIFY(slider && slider->isVisible());
        QVERIFY(clickItem(slider, 0.8));
        QVERIFY(exposure->currentValue().toDouble() > 0.5);
        QTest::mouseDClick(m_view.get(), Qt::LeftButton, {},
            slider->mapToScene(QPointF(slider->width() * 0.3, slider->height() / 2)).toPoint());
        QTRY_COMPARE(exposure->currentValue().toDouble(), original);
        QVERIFY(clickItem(slider, 0.8));
        auto* revert = findItem(root, "revertToOriginal");
        QVERIFY(revert->isEnabled());
        QVERIFY(clickItem(revert));
        QCOMPARE(exposure->currentValue().toDouble(), original);
        QVERIFY(props->isTuneToneOriginal() && !revert->isEnabled());
        QCOMPARE(slider->property("value").toDouble(), original);
        QVERIFY(clickItem(slider, 0.8));
        const double changed = exposure->currentValue().toDouble();

        // The filmstrip's cells in view draw their pictures.
        QQuickItem* cell = findItem(findItem(root, "filmstrip"), "galleryImage");
        QVERIFY(cell && !cell->property("offscreen").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(
            cell->property("valid").toBool() && !cell->property("loading").toBool(), 20000);

        // The filmstrip keys: to the next picture and back, then to the end.
        canvas->forceActiveFocus();
        QTest::keyClick(m_view.get(), Qt::Key_Right);
        QVERIFY(shows(2));
        QTest::keyClick(m_view.get(), Qt::Key_Right); // already at the end
        QCOMPARE(canvas->location(), m_gallery.urlAt(2).toString());
        QTest::keyClick(m_view.get(), Qt::Key_Left);
        QVERIFY(shows(1));
        // The last change stayed with the picture.
        QCOMPARE(canvas->properties()->tuneToneEntry("exposure")->currentValue().toFloat(), float(changed));
        QTest::keyClick(m_view.get(), Qt::Key_End);
        QVERIFY(shows(2));

        // Delete asks first; the page moves to a neighbour and the file goes.
        const QString doomed = canvas->filePath();
        QTest::keyClick(m_view.get(), Qt::Key_Delete);
        QObject* dialog = root->findChild<QObject*>("deleteDialog");
        QTRY_VERIFY(dialog->property("visible").toBool());
        QVERIFY(QFile::exists(doomed));
        QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
        QVERIFY(shows(1));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(doomed), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery.rowCount(), 2, 20000);
    }
};

OSTRA_TEST_MAIN(TestPageImageEditor)
#include "tst_pageimageeditor.moc"
