// The editor page over a real session, the real image service and a real presets folder:
// the histogram of the open picture, a tone slider and its revert, the filmstrip and its
// keys, and deleting from it.
#include "support/testmain.h"

#include "app/typeregistration.h"
#include "ciapi/deptheditor.h"
#include "core/appsettings.h"
#include "core/resources.h"
#include "display/geometryedits.h"
#include "display/imageedit.h"
#include "display/imageedititem.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"
#include "engine/transformhelpers.h"
#include "library/activesession.h"
#include "library/session.h"
#include "support/filetree.h"
#include "support/heldlockfile.h"
#include "support/picturefiles.h"
#include "support/quickitems.h"
#include "support/rescuewatchdog.h"
#include "support/savedstate.h"
#include "support/screenchecks.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QJSValue>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <fstream>
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
    QList<QUrl> m_sources;

    static qint64 histogramTotal(ImageEditItem* canvas, int channel)
    {
        qint64 sum = 0;
        for (const QVariant& v : canvas->histogram().value(channel).toList())
            sum += v.toInt();
        return sum;
    }

public slots:
    void noteSource(const QUrl& source) { m_sources << source; }

private slots:
    // Three pictures in the gallery, and the page on the second.
    void initTestCase()
    {
        ostra::test::useApplicationStyle();
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

        m_settings.setValue(QStringLiteral("LowResSubfolder"), QStringLiteral("low_res"));
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
        QVERIFY(ostra::test::activateWindow(m_view.get()));
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

    // At the window sizes people use, the side columns fit: nothing cut at their edges or
    // the window's, every text readable on its background; also after a crop.
    void readableAtWindowSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1280x800") << QSize(1280, 800);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }

    void readableAtWindowSizes()
    {
        QFETCH(QSize, size);
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(canvas);
        QVERIFY(QTest::qWaitFor([&] { return canvas->captureKnown(); }, 60000));
        QQuickItem* tuning = findItem(root, "tuningPanelFlicker");
        const qreal tuningHeight = tuning->height();
        // The window's frame and menu bar take their share of the screen.
        m_view->resize(size.width(), size.height() - 60);
        QTRY_COMPARE(root->width(), qreal(size.width()));
        const QSet<QString> elided { "editorFileName" };
        // A picture with a long name, outside the session.
        QVERIFY(QDir().mkpath(m_dir.filePath("elsewhere")));
        const QString longName = ostra::test::PictureFiles::write(m_dir.filePath("elsewhere"),
            QStringLiteral(
                "IMG_20240601_the_whole_afternoon_at_the_harbour_with_the_boats_coming_in_and_out.vrx"),
            ostra::test::PictureFiles::small(41));
        QVERIFY(!longName.isEmpty());
        const QString opened = root->property("location").toString();
        for (const char* step : { "as opened", "after a crop", "with a long name" }) {
            if (QByteArray(step) == "with a long name") {
                QVERIFY(QMetaObject::invokeMethod(canvas, "resetGeometry"));
                root->setProperty("location", QUrl::fromLocalFile(longName).toString());
                QVERIFY(QTest::qWaitFor(
                    [&] { return canvas->captureKnown() && canvas->filePath() == longName; }, 60000));
            }
            if (QByteArray(step) == "after a crop") {
                // A square crop, chosen and applied as the user does it.
                canvas->setEditorMode(ImageEdit::Crop);
                canvas->geometryEdits()->setCropMode(GeometryEdits::Preset_1_1);
                canvas->geometryEdits()->applyCrop();
                canvas->setEditorMode(ImageEdit::None);
            }
            QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
            QTest::qWait(200); // a frame with the new layout
            const QStringList faults = ostra::test::readabilityFaults(m_view.get(), elided);
            QVERIFY2(faults.isEmpty(), qPrintable(QStringLiteral("%1: ").arg(step) + faults.join("\n")));
        }
        root->setProperty("location", opened);
        QVERIFY(
            QTest::qWaitFor([&] { return canvas->captureKnown() && canvas->location() == opened; }, 60000));
        m_view->resize(1400, 900);
        QTRY_COMPARE(tuning->height(), tuningHeight);
    }

    // After the copy-adjustments dialog, opened from its button and closed, Escape leaves
    // the editor at once (the keys are the canvas's again).
    void escapeLeavesAfterTheCopyDialog()
    {
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(QTest::qWaitFor([&] { return canvas->captureKnown(); }, 60000));
        QSignalSpy closed(root, SIGNAL(closed()));
        QQuickItem* copy = findItem(root, "menuItemCopyAdjustments");
        QVERIFY(copy && copy->isEnabled());
        QVERIFY(clickItem(copy));
        auto* dialog = root->findChild<QQuickWindow*>("dialogPatch");
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY(clickItem(findItem(dialog->contentItem(), "cancel")));
        QTRY_VERIFY(!dialog->isVisible());
        QVERIFY(ostra::test::activateWindow(m_view.get()));
        QTest::keyClick(m_view.get(), Qt::Key_Escape);
        QCOMPARE(closed.count(), 1);
    }

    // The geometry buttons of the page turn and mirror the picture (clicked, as a user
    // does), and so do the page's functions that the window's menu calls; the state file
    // keeps the result.
    void turnsAndMirrorsFromThePage()
    {
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(QTest::qWaitFor(
            [&] { return canvas->captureKnown() && canvas->imageQuality() >= ImageEditItem::Preview; },
            60000));
        QQuickItem* tuning = findItem(root, "tuningPanelFlicker");
        tuning->setProperty("contentY", 0);
        const auto turn = [&] { return decomposeTransform(canvas->geometryEdits()->transform()); };
        const auto saved = [&]() -> TurnAndMirror {
            std::ifstream in(QFile::encodeName(StateFile::pathFor(QUrl(canvas->location()))).toStdString(),
                std::ios::binary);
            if (!in)
                return { -1, false };
            const auto& t = CIAPI::StateFileEditor(in).state().transform;
            return t ? decomposeTransform(*t) : TurnAndMirror { -2, false };
        };
        QCOMPARE(turn(), (TurnAndMirror { 0, false }));

        struct Step
        {
            const char* button;
            TurnAndMirror after;
        };
        const Step steps[] = { { "rotate_right", { 270, false } }, { "rotate_right", { 180, false } },
            { "rotate_left", { 270, false } }, { "flip_horizontal", { 270, true } },
            { "flip_vertical", { 90, false } } };
        for (const Step& step : steps) {
            QQuickItem* button = findItem(root, step.button);
            QVERIFY(button && button->isVisible() && button->isEnabled());
            QVERIFY(clickItem(button));
            QVERIFY2(turn() == step.after,
                qPrintable(
                    QStringLiteral("%1: %2 %3").arg(step.button).arg(turn().rotation).arg(turn().mirrored)));
        }
        // What the engine draws follows the canvas's transform.
        QCOMPARE(decomposeTransform(canvas->properties()->transformProperties()), turn());
        QVERIFY(QTest::qWaitFor([&] { return saved() == turn(); }, 20000));

        for (const char* name :
            { "rotateRight", "mirrorHorizontal", "mirrorVertical", "rotateLeft", "rotateLeft" })
            QVERIFY(QMetaObject::invokeMethod(root, name));
        QCOMPARE(turn(), (TurnAndMirror { 0, false }));
        QVERIFY(QTest::qWaitFor([&] { return saved() == turn(); }, 20000));
    }

    // A cropped picture shows within its own column: what the crop cuts away (drawn as
    // the canvas's background) never covers the tools beside it, whatever the window's size.
    void croppedPictureStaysInItsColumn_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1280x800") << QSize(1280, 800);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }
    void croppedPictureStaysInItsColumn()
    {
        QFETCH(QSize, size);
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(QTest::qWaitFor(
            [&] { return canvas->captureKnown() && canvas->imageQuality() >= ImageEditItem::Preview; },
            60000));
        const QSize before = m_view->size();
        m_view->resize(size);
        QTRY_COMPARE(root->width(), qreal(size.width()));
        QTest::qWait(200); // a frame at the new size
        QQuickItem* pane = findItem(root, "toolbarPane");
        QVERIFY(pane);
        const QRect paneRect = pane->mapRectToScene(QRectF(0, 0, pane->width(), pane->height())).toRect();
        const QImage uncropped = m_view->grabWindow().copy(paneRect);
        // A square crop: the picture's sides go, and the square fills the canvas's height.
        canvas->setEditorMode(ImageEdit::Crop);
        canvas->geometryEdits()->setCropMode(GeometryEdits::Preset_1_1);
        canvas->geometryEdits()->applyCrop();
        canvas->setEditorMode(ImageEdit::None);
        QTest::qWait(300); // frames with the crop
        const QImage cropped = m_view->grabWindow().copy(paneRect);
        QCOMPARE(cropped.size(), uncropped.size());
        int changed = 0;
        for (int y = 0; y < cropped.height(); ++y) {
            for (int x = 0; x < cropped.width(); ++x) {
                const QRgb a = uncropped.pixel(x, y), b = cropped.pixel(x, y);
                if (qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) > 24)
                    ++changed;
            }
        }
        QVERIFY(QMetaObject::invokeMethod(canvas, "resetGeometry"));
        m_view->resize(before);
        QTRY_COMPARE(root->width(), qreal(before.width()));
        QVERIFY2(changed == 0, qPrintable(QStringLiteral("%1 pixels of the tools changed").arg(changed)));
    }

    // "match depth" with the mouse, as a user works it: the lasso by clicks on its corners
    // and the free lasso by a drag draw an outline; the eye dropper picks the depth, and
    // "apply" gives the inside that depth in the depth map.
    void matchDepthWithTheMouse_data()
    {
        QTest::addColumn<int>("applicator"); // the row of the chooser
        QTest::newRow("lasso") << 0;
        QTest::newRow("free lasso") << 1;
    }
    void matchDepthWithTheMouse()
    {
        QFETCH(int, applicator);
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(
            QTest::qWaitFor([&] { return canvas->hasDepthTools() && !canvas->isRefreshPending(); }, 60000));
        canvas->resetDepthEdits();
        const auto at = [&](const QPointF& p) {
            return canvas->mapToScene(canvas->geometry().imageToView(p)).toPoint();
        };
        const auto depthAt = [&](const QPointF& p) {
            float d = 0;
            canvas->viewer()->readDepth([&](CIAPI::DepthEditor& e) {
                d = e.getDepthAtPoint({ float(p.x()), float(p.y()) });
            });
            return d;
        };
        QQuickItem* tool = findItem(root, "matchDepth");
        QVERIFY(tool && tool->isVisible() && tool->isEnabled());
        QVERIFY(clickItem(tool, 0.3));
        QCOMPARE(canvas->editorMode(), ImageEdit::DepthEditingLasso);
        QObject* chooser = findItem(root, "matchToolSelect");
        QVERIFY(chooser);
        chooser->setProperty("currentIndex", applicator);
        QMetaObject::invokeMethod(chooser, "activated", Q_ARG(int, applicator));
        QCOMPARE(canvas->pickerMode(), applicator == 0 ? ImageEdit::Segmented : ImageEdit::Trajectory);

        // Around the middle of the picture; the depth of a corner is matched.
        const std::vector<QPointF> corners { { 0.4, 0.4 }, { 0.6, 0.4 }, { 0.6, 0.6 }, { 0.4, 0.6 } };
        const QPointF source(0.05, 0.05);
        const float before = depthAt({ 0.5, 0.5 });
        const float wanted = depthAt(source);
        QVERIFY(std::fabs(before - wanted) > 1e-3f);
        // The first use of the tool shows its tutorial, which is read and closed first.
        QObject* tutorial = root->findChild<QObject*>(QStringLiteral("tutorial"));
        QVERIFY(tutorial);
        if (tutorial->property("visible").toBool())
            QMetaObject::invokeMethod(tutorial, "close");
        QTRY_VERIFY(!tutorial->property("opened").toBool());
        const QImage clean = m_view->grabWindow();
        if (applicator == 0) {
            for (const QPointF& c : corners)
                QTest::mouseClick(m_view.get(), Qt::LeftButton, {}, at(c));
        } else {
            QTest::mousePress(m_view.get(), Qt::LeftButton, {}, at(corners[0]));
            for (size_t i = 1; i <= corners.size(); ++i)
                for (int k = 1; k <= 8; ++k) {
                    const QPointF a = corners[i - 1], b = corners[i % corners.size()];
                    QTest::mouseMove(m_view.get(), at(a + (b - a) * (k / 8.0)));
                }
            QTest::mouseRelease(m_view.get(), Qt::LeftButton, {}, at(corners[0]));
        }
        QVERIFY(canvas->hasClosedEditArea());
        // The outline is drawn.
        QVERIFY(m_view->grabWindow() != clean);
        QQuickItem* dropper = findItem(root, "selectDepth");
        QVERIFY(dropper && dropper->isVisible());
        QVERIFY(clickItem(dropper));
        QCOMPARE(canvas->pickerMode(), ImageEdit::Reference);
        QTest::mouseClick(m_view.get(), Qt::LeftButton, {}, at(source));
        QVERIFY(canvas->hasReferencePoint());
        QQuickItem* apply = findItem(root, "applyDepth");
        QVERIFY(apply && apply->isEnabled());
        QVERIFY(clickItem(apply));
        QVERIFY(canvas->hasDepthEdits());
        QVERIFY2(std::fabs(depthAt({ 0.5, 0.5 }) - wanted) < std::fabs(before - wanted) / 2,
            qPrintable(
                QStringLiteral("%1 -> %2, wanted %3").arg(before).arg(depthAt({ 0.5, 0.5 })).arg(wanted)));
        canvas->setEditorMode(ImageEdit::None);
        canvas->resetDepthEdits();
    }

    // Every page of every tutorial shows its picture, also when a tutorial follows the
    // last page of a longer one.
    void tutorialsShowTheirPictures()
    {
        QQuickItem* root = m_view->rootObject();
        QObject* toolbar = nullptr;
        for (QObject* o = root->findChild<QObject*>(QStringLiteral("tutorial")); o; o = o->parent()) {
            if (o->metaObject()->indexOfMethod("openTutorial(QVariant)") >= 0) {
                toolbar = o;
                break;
            }
        }
        QVERIFY(toolbar);
        QObject* tutorial = root->findChild<QObject*>(QStringLiteral("tutorial"));
        QQuickItem* image = findItem(tutorial, "tutorialImage");
        QVERIFY(image);
        connect(image, SIGNAL(sourceChanged(QUrl)), this, SLOT(noteSource(QUrl)));
        m_sources.clear();
        for (const char* name : { "matchDepth", "blendArea", "focusPoint", "refineEdge", "depthEffect" }) {
            QVERIFY(QMetaObject::invokeMethod(
                toolbar, "openTutorial", Q_ARG(QVariant, QString::fromLatin1(name))));
            const int pages
                = tutorial->property("pages").value<QJSValue>().property("texts").property("length").toInt();
            QVERIFY(pages > 0);
            for (int page = 0; page < pages; ++page) {
                tutorial->setProperty("page", page);
                QTRY_COMPARE(image->property("status").toInt(), 1); // Image.Ready
                QVERIFY(image->property("source").toUrl().toString().endsWith(".jpg"));
            }
        }
        QMetaObject::invokeMethod(tutorial, "close");
        disconnect(image, nullptr, this, nullptr);
        for (const QUrl& source : qAsConst(m_sources))
            QVERIFY2(source.isEmpty() || source.toString().endsWith(".jpg"), qPrintable(source.toString()));
        QVERIFY(!m_sources.isEmpty());
    }

    // A picture whose state a writer (a batch edit, a star click) holds: the page stays
    // responsive, loading, and shows the picture with its saved exposure once it is let go.
    void opensAPictureWhoseStateIsHeld()
    {
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(canvas);
        const QUrl url = m_gallery.urlAt(0);
        {
            ImageEditor editor;
            QVERIFY(editor.loadImageWithState(url, std::make_shared<StreamSource>(url), {}, 0, 0));
            editor.properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
            QVERIFY(editor.syncProperties());
            QVERIFY(editor.serializeCurrentState(true));
            editor.closeImage();
        }
        auto writer
            = std::make_unique<ostra::test::HeldLockFile>(StateFile::lockPath(StateFile::pathFor(url)));
        QVERIFY(writer->held());
        ostra::test::RescueWatchdog watchdog([&] { writer->release(); });
        root->setProperty("location", url.toString());
        QCOMPARE(canvas->location(), url.toString());
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QVERIFY(QTest::qWaitFor([&] { return ticks >= 50; }, 60000));
        QVERIFY(canvas->loading() && !canvas->captureKnown());
        writer->release();
        QVERIFY(watchdog.end());
        QVERIFY(QTest::qWaitFor(
            [&] { return canvas->captureKnown() && canvas->imageQuality() >= ImageEditItem::Preview; },
            60000));
        QCOMPARE(canvas->properties()->tuneToneEntry("exposure")->currentValue().toFloat(), 0.75f);
        writer.reset();

        root->setProperty("location", m_gallery.urlAt(1).toString());
        QVERIFY(QTest::qWaitFor(
            [&] {
                return canvas->captureKnown() && canvas->location() == m_gallery.urlAt(1).toString()
                    && canvas->imageQuality() >= ImageEditItem::Preview;
            },
            60000));
    }

    // A control of the page's columns clicked with the mouse (a depth tool chosen and left,
    // a quarter turn and back, a section folded and opened) leaves the page's keys working:
    // Right and Left move along the filmstrip, Escape leaves.
    void keysReachThePageAfterAClick_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::newRow("depth tool") << QStringList { "focusAdjust", "focusAdjust" };
        QTest::newRow("depth help") << QStringList { "depthHelp" };
        QTest::newRow("section title") << QStringList { "presetsTitle", "presetsTitle" };
        QTest::newRow("quarter turn") << QStringList { "rotate_right", "rotate_left" };
        QTest::newRow("histogram view") << QStringList { "comboBoxHistogram", "comboBoxHistogram" };
    }

    void keysReachThePageAfterAClick()
    {
        QFETCH(QStringList, clicks);
        QQuickItem* root = m_view->rootObject();
        auto* canvas = root->property("imageEditor").value<ImageEditItem*>();
        QVERIFY(canvas);
        const auto shows = [&](int row) {
            return QTest::qWaitFor(
                [&] {
                    return canvas->captureKnown() && canvas->location() == m_gallery.urlAt(row).toString()
                        && canvas->imageQuality() >= ImageEditItem::Preview && canvas->hasDepth();
                },
                60000);
        };
        root->setProperty("location", m_gallery.urlAt(1).toString());
        QVERIFY(shows(1));
        // No first-use tutorial covers the page.
        m_settings.displayNow(AppSettings::FTU_FocusPoint);
        QObject* tutorial = root->findChild<QObject*>(QStringLiteral("tutorial"));
        QVERIFY(tutorial);
        findItem(root, "tuningPanelFlicker")->setProperty("contentY", 0);
        QVERIFY(ostra::test::activateWindow(m_view.get()));
        for (const QString& name : clicks) {
            QQuickItem* control = findItem(root, name);
            QVERIFY2(control && control->isVisible() && control->isEnabled(), qPrintable(name));
            QVERIFY(clickItem(control, 0.3));
            // A tutorial the click opened is closed as a user does.
            if (tutorial->property("visible").toBool()) {
                QTest::keyClick(m_view.get(), Qt::Key_Escape);
                QTRY_VERIFY(!tutorial->property("visible").toBool());
            }
        }
        QCOMPARE(canvas->editorMode(), ImageEdit::None);
        // The pointer leaves the control (whose tooltip Escape would close first).
        QTest::mouseMove(m_view.get(), canvas->mapToScene(QPointF(canvas->width() / 2, 10)).toPoint());
        QTRY_VERIFY(!findItem(root, clicks.last())->property("hovered").toBool());
        QSignalSpy closed(root, SIGNAL(closed()));
        QTest::keyClick(m_view.get(), Qt::Key_Right);
        QVERIFY(shows(2));
        QTest::keyClick(m_view.get(), Qt::Key_Left);
        QVERIFY(shows(1));
        QTest::keyClick(m_view.get(), Qt::Key_Escape);
        QCOMPARE(closed.count(), 1);
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

        // Delete asks first; the page moves to a neighbour and the file goes, with its
        // low-resolution copy where imports put it, and nothing else of that name.
        const QString doomed = canvas->filePath();
        const QFileInfo info(doomed);
        const QString copy = info.dir().filePath("low_res/" + info.completeBaseName() + ".jpg");
        const QString beside = info.dir().filePath(info.completeBaseName() + ".jpg");
        QVERIFY(ostra::test::writeTreeFile(copy, "copy"));
        QVERIFY(ostra::test::writeTreeFile(beside, "export"));
        QTest::keyClick(m_view.get(), Qt::Key_Delete);
        QObject* dialog = root->findChild<QObject*>("deleteDialog");
        QTRY_VERIFY(dialog->property("opened").toBool());
        QVERIFY(QFile::exists(doomed));
        // The picture's own name, and where it goes; Return confirms.
        QCOMPARE(findItem(dialog, "deleteText")->property("text").toString(),
            QFileInfo(doomed).fileName()
                + QStringLiteral(" will be moved to the trash with its edits, where it can be restored."));
        QTest::keyClick(m_view.get(), Qt::Key_Return);
        QVERIFY(shows(1));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(doomed), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery.rowCount(), 2, 20000);
        QVERIFY(!QFile::exists(copy));
        QVERIFY(QFile::exists(beside));
    }
};

OSTRA_TEST_MAIN(TestPageImageEditor)
#include "tst_pageimageeditor.moc"
