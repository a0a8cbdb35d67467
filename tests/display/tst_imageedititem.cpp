#include "support/savedstate.h"
#include "support/testmain.h"

#include "ciapi/renderer.h"
#include "ciapi/statefileeditor.h"
#include "core/progressmodel.h"
#include "display/geometryedits.h"
#include "display/imageedititem.h"
#include "display/levelplanner.h"
#include "engine/exportqueue.h"
#include "engine/fileperm.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "engine/imageproperty.h"
#include "engine/sentinels.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"
#include "engine/transformhelpers.h"
#include "engine/vrxmessage.h"
#include "support/depthcanvas.h"
#include "support/filesizelimit.h"
#include "support/filetree.h"
#include "support/heldlockfile.h"
#include "support/heldopens.h"
#include "support/rescuewatchdog.h"
#include "support/screenlikeness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

namespace {

int savedRating(const QString& raw)
{
    std::ifstream in(
        QFile::encodeName(StateFile::pathFor(QUrl::fromLocalFile(raw))).toStdString(), std::ios::binary);
    if (!in)
        return -1;
    return CIAPI::StateFileEditor(in).userRating();
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using Canvas = ostra::test::DepthCanvas;

// The largest difference of red, green or blue, averaged over two images of one size.
double meanDifference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull())
        return 255;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::max({ std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                std::abs(qBlue(p) - qBlue(q)) });
        }
    return sum / (double(a.width()) * a.height());
}

// Edits of the picture made on the canvas, each visible on the screen.
enum class Edit { Tone, DepthOfField, Focus, Brush, UndoneBrush, RedoneBrush, ResetDepth };

// The window as drawn once the view is complete.
QImage settledShot(Canvas& canvas)
{
    if (!QTest::qWaitFor(
            [&] {
                return canvas.item->imageQuality() >= ImageEditItem::Good && !canvas.item->isRefreshPending();
            },
            60000))
        return QImage();
    QTest::qWait(100);
    return canvas.window.grabWindow().convertToFormat(QImage::Format_RGB32);
}

// The exposure a picture's state file holds, read as the editor reads it (-1: unreadable).
double savedExposure(const QString& raw)
{
    const QUrl url = QUrl::fromLocalFile(raw);
    ImageEditor editor;
    if (!editor.loadImageWithState(url, std::make_shared<StreamSource>(url), {}, 0, 0))
        return -1;
    const double exposure = editor.properties()->tuneToneEntry("exposure")->currentValue().toDouble();
    editor.closeImage();
    return exposure;
}

} // namespace

Q_DECLARE_METATYPE(Edit)

class TestImageEditItem : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_large; // several pyramid levels
    QString m_second;
    QString m_scene; // a near disc before a far background, for the depth edits

    // Makes `edit` on the canvas (on the scene picture). The depth edits focus on the disc
    // with the widest aperture, so that the background is blurred and what the brush paints
    // there is sharp. An edit that is undone or reset was saved before.
    static bool makeEdit(Canvas& canvas, Edit edit)
    {
        ImageEditItem* item = canvas.item;
        if (edit == Edit::Tone) {
            item->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
            return true;
        }
        const QPointF disc(0.31, 0.56);
        item->setDof(item->minDOF());
        if (edit == Edit::DepthOfField)
            return item->dof() == item->minDOF();
        item->setEditorMode(ImageEdit::Refocus);
        canvas.press(disc);
        const bool focused = item->hasReferencePoint();
        item->setEditorMode(ImageEdit::None);
        if (edit == Edit::Focus)
            return focused;
        item->setBrushSize(60);
        canvas.paint(QPointF(0.05, 0.1), QPointF(0.95, 0.15), disc);
        item->setEditorMode(ImageEdit::None);
        if (!item->viewer()->hasDepthEdits())
            return false;
        if (edit == Edit::Brush)
            return true;
        // Saved (on a worker) before the step that follows.
        item->serializeCurrentFile();
        if (!QTest::qWaitFor(
                [&] { return !item->viewer()->isSaving() && !item->viewer()->contentDirty(); }, 60000))
            return false;
        if (edit == Edit::ResetDepth) {
            item->resetDepthEdits();
            return !item->viewer()->hasDepthEdits();
        }
        if (!item->undoDepthEdit())
            return false;
        return edit == Edit::UndoneBrush || item->redoDepthEdit();
    }

    QString writePicture(const QString& name, int w, int h, std::uint32_t seed)
    {
        const QString path = m_dir.path() + "/" + name;
        return ostra::test::writeDepthPicture(path, w, h, seed) ? path : QString();
    }

    static bool waitForQuality(ImageEditItem* item, ImageEditItem::ImageQuality at_least)
    {
        return QTest::qWaitFor(
            [&] { return item->imageQuality() >= at_least && !item->isRefreshPending(); }, 60000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_large = writePicture("IMG_large.vrx", 640, 480, 3);
        m_second = writePicture("IMG_second.vrx", 640, 480, 9);
        m_scene = writePicture("IMG_scene.vrx", 640, 480, 5);
        QVERIFY(!m_large.isEmpty() && !m_second.isEmpty() && !m_scene.isEmpty());
    }

    void init()
    {
        for (const QString& f : { m_large, m_second }) {
            QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(f)));
            QFile::remove(StateFile::lockPath(StateFile::pathFor(QUrl::fromLocalFile(f))));
        }
    }

    // Short times read "1/n"; longer ones the nearest camera step on a log scale, the
    // shorter step when the time lies exactly between two.
    void exposureText_data()
    {
        QTest::addColumn<float>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("100 ms") << 100.f << "1/10";
        QTest::newRow("180 ms") << 180.f << "1/6";
        QTest::newRow("1/8000") << 0.125f << "1/8000";
        QTest::newRow("181.9 ms") << 181.9f << "0.2"; // 1/t just under 5.5
        QTest::newRow("250 ms") << 250.f << "0.25";
        QTest::newRow("1000 ms") << 1000.f << "1";
        QTest::newRow("between 1 and 1.25") << float(std::sqrt(1.25) * 1000) << "1";
        QTest::newRow("just past the middle") << float(std::sqrt(1.25) * 1003) << "1.25";
        QTest::newRow("between 12 and 15") << float(std::sqrt(12.0 * 15.0) * 1000) << "12";
        QTest::newRow("a minute") << 60000.f << "15";
        QTest::newRow("none") << 0.f << "";
        QTest::newRow("not a number") << std::nanf("") << "";
    }
    void exposureText()
    {
        QFETCH(float, ms);
        QFETCH(QString, text);
        QCOMPARE(ImageEditItem::exposureText(ms), text);
    }

    // A zoom factor that is not positive changes nothing; without a picture a depth job
    // fails, and says so.
    void refusalsWithoutAPicture()
    {
        ImageEditItem item;
        QSignalSpy zoom(&item, &ImageEditItem::zoomLevelChanged);
        item.setZoomLevel(0);
        item.setZoomLevel(-2);
        QCOMPARE(zoom.count(), 0);
        QSignalSpy failed(&item, &ImageEditItem::depthEditingError);
        item.optionFaceMatting(true);
        QCOMPARE(failed.count(), 1);
    }

    // Level planning over random zoom, pan, turns and pixel ratios: the request of the
    // chosen level covers what is visible and stays inside the level, and zooming out
    // never picks a finer level. The coarsest level is asked whole.
    void levelPlanning()
    {
        const std::vector<QSize> levels { QSize(4000, 3000), QSize(2000, 1500), QSize(1000, 750),
            QSize(500, 375) };
        std::mt19937 random(11);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int round = 0; round < 400; ++round) {
            CIAPI::Transform t(CIAPI::Point<int> { 4, 3 });
            t.reset(int(random() % 8));
            ImageGeometry g;
            g.setImageSize(4000, 3000);
            g.setTransform(t);
            g.setViewSize(float(100 + random() % 1800), float(100 + random() % 1200));
            const QPointF crop(0.2 + 0.6 * unit(random), 0.2 + 0.6 * unit(random));
            g.setPan(float((unit(random) - 0.5) * 600), float((unit(random) - 0.5) * 600));
            const double dpr = 1.0 + int(random() % 3) * 0.5;
            int previous = 0;
            for (double logZoom = -15 + unit(random) * 60; logZoom >= -15; logZoom -= 3) {
                g.setZoom(float(std::pow(double(1.05f), logZoom)));
                const int level = LevelPlanner::chooseLevel(levels, crop, g, dpr);
                QVERIFY2(level >= previous && level < int(levels.size()), "zooming out asked a finer level");
                previous = level;
                const QRect wanted = LevelPlanner::wantedRegion(level, levels, crop, g);
                QVERIFY(QRect(QPoint(0, 0), levels[size_t(level)]).contains(wanted) || wanted.isEmpty());
                const CIAPI::ROI v
                    = LevelPlanner::visibleLevelRect(levels[size_t(level)], levels[0], crop, g);
                QVERIFY2(v.empty() || wanted.contains(QRect(v.x0, v.y0, v.x1 - v.x0, v.y1 - v.y0)),
                    "the request misses part of the view");
            }
        }
        ImageGeometry g;
        g.setImageSize(4000, 3000);
        g.setViewSize(400, 300);
        g.setZoom(8.f);
        QCOMPARE(LevelPlanner::wantedRegion(3, levels, QPointF(0.5, 0.5), g), QRect(0, 0, 500, 375));
    }

    // A picture bound while the view is empty asks nothing and keeps a finite pan; once the
    // view has a size the picture renders to its best quality.
    void emptyViewThenBestQuality()
    {
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        const auto finitePan = [&] {
            return std::isfinite(canvas.item->geometry().panX())
                && std::isfinite(canvas.item->geometry().panY());
        };
        canvas.item->setSize(QSizeF(0, 0));
        canvas.item->setLocation(QUrl::fromLocalFile(m_large).toString());
        QVERIFY(QTest::qWaitFor([&] { return !canvas.item->loading(); }, 60000));
        QTest::qWait(50);
        for (const QRegion& asked : canvas.item->askedRegions())
            QVERIFY(asked.isEmpty());
        QVERIFY(finitePan());
        canvas.item->setSize(QSizeF(400, 300));
        QVERIFY(finitePan());
        // Level 0 gives more than a pixel per screen pixel only when zoomed far in.
        canvas.item->setZoomLogLevel(60);
        QVERIFY(waitForQuality(canvas.item, ImageEditItem::Best));
        QCOMPARE(canvas.item->currentLevel(), 0);
        // Shrinking to nothing (a minimised window) keeps the pan finite.
        canvas.item->setSize(QSizeF(0, 0));
        canvas.item->setSize(QSizeF(300, 200));
        QVERIFY(finitePan());
    }

    // Output for another file (the pooled editor's previous picture) changes nothing; a
    // stale level is refused with a log line instead of ending the program; the histogram
    // counts the drawn picture under the crop.
    void foreignOutputAndBadLevel()
    {
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QSignalSpy changed(canvas.item, &ImageEditItem::histogramChanged);
        QVERIFY(canvas.open(m_large));
        const CIAPI::ImagePyramid shown = canvas.item->pyramid();
        const auto received = canvas.item->receivedRegions();

        VrxMessage foreign;
        foreign.location = QUrl::fromLocalFile(m_second);
        foreign.kind = VrxMessage::KindViewer;
        foreign.pyramid = CIAPI::ImagePyramid::Create(2);
        foreign.level = 0;
        foreign.region = CIAPI::ROI { 0, 0, 64, 64 };
        canvas.item->imageOutput(foreign);
        QVERIFY(canvas.item->pyramid() == shown);
        foreign.pyramid = shown;
        canvas.item->imageOutput(foreign);
        QCOMPARE(canvas.item->receivedRegions(), received);

        // A region beyond the level is cut to it.
        VrxMessage own = foreign;
        own.location = QUrl::fromLocalFile(m_large);
        own.level = shown.levelCount() - 1;
        own.region = CIAPI::ROI { 0, 0, 4096, 4096 };
        canvas.item->imageOutput(own);
        QCOMPARE(canvas.item->receivedRegions()[size_t(own.level)],
            QRegion(0, 0, shown[own.level].width(), shown[own.level].height()));
        // A level one past the last is refused.
        const auto before = canvas.item->receivedRegions();
        own.level = shown.levelCount();
        canvas.item->imageOutput(own);
        QCOMPARE(canvas.item->receivedRegions(), before);

        canvas.item->setCurrentLevel(99);
        QTest::ignoreMessage(QtWarningMsg, "ImageEditItem: Bad level request");
        canvas.item->viewer()->properties()->tuneToneEntry("exposure")->setCurrentValue(0.7);
        emit canvas.item->viewer()->properties()->changed();
        // Still alive and still working.
        canvas.item->fitInView();
        // Still counted: the whole coarsest level, then about the crop's share of it once a
        // square crop is chosen; the four counts agree in total.
        const auto total = [&](int channel) {
            const QVariantList bins = canvas.item->histogram().value(channel).toList();
            return std::accumulate(bins.begin(), bins.end(), qint64(0),
                [](qint64 sum, const QVariant& v) { return sum + v.toInt(); });
        };
        QVERIFY(waitForQuality(canvas.item, ImageEditItem::Good));
        const CIAPI::ImagePyramid pyramid = canvas.item->pyramid();
        const CIAPI::Image& coarsest = pyramid[pyramid.levelCount() - 1];
        const qint64 whole = qint64(coarsest.width()) * coarsest.height();
        QVERIFY(QTest::qWaitFor([&] { return total(3) == whole; }, 60000));
        QTRY_VERIFY(changed.count() >= 1); // queued from the render thread

        canvas.item->setEditorMode(ImageEdit::Crop);
        canvas.item->geometryEdits()->setCropMode(GeometryEdits::Preset_1_1);
        const QRectF crop = canvas.item->geometryEdits()->cropRect();
        QVERIFY(QTest::qWaitFor([&] { return total(3) != whole; }, 60000));
        QVERIFY(
            qAbs(total(3) - crop.width() * crop.height() * whole) <= coarsest.width() + coarsest.height());
        for (int c = 0; c < 3; ++c)
            QCOMPARE(total(c), total(3));
        // Left for a file that is no picture, then for none: the counts of the picture left
        // are shown with neither.
        const QString garbage = m_dir.filePath(QStringLiteral("IMG_garbage.vrx"));
        QVERIFY(ostra::test::writeTreeFile(garbage, QByteArray(4096, 'x')));
        for (const QString& next : { QUrl::fromLocalFile(garbage).toString(), QString() }) {
            changed.clear();
            canvas.item->setLocation(next);
            QTRY_VERIFY(canvas.item->pyramid() == (next.isEmpty() ? emptyPyramid() : invalidPyramid()));
            QVERIFY(!changed.isEmpty());
            for (int c = 0; c < 4; ++c)
                QCOMPARE(total(c), qint64(0));
        }
    }

    // The rating goes to the state file, the editor and the canvas; it is there, with the
    // last tone change, when the picture is opened again. A write that cannot happen leaves
    // the canvas showing what the file holds.
    void ratingPersistsOrShowsTheFile()
    {
        ImageLocator locator(2, nullptr);
        {
            Canvas canvas(locator);
            QVERIFY(canvas.open(m_large));
            // The gallery's row of the picture.
            const QUrl url = QUrl::fromLocalFile(m_large);
            locator.rowFor(url);
            QVERIFY(QTest::qWaitFor([&] { return !locator.rowFor(url).isEmpty(); }, 60000));
            QSignalSpy modified(&locator, &IResolver::modified);
            QSignalSpy resolved(&locator, &IResolver::resolved);
            QSignalSpy changed(canvas.item, &ImageEditItem::ratingChanged);
            canvas.item->setRating(4);
            // Written off the GUI thread, then shown.
            QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
            QCOMPARE(canvas.item->rating(), 4);
            QCOMPARE(savedRating(m_large), 4);
            QTRY_VERIFY(changed.count() >= 1); // queued from the render thread
            // Shown with the write; a read of the picture still running from before cannot
            // put the old rating back.
            QCOMPARE(locator.rowFor(url).value(IResolver::Rating).toInt(), 4);
            // Once for the rating; the state file read again after the write may tell too.
            QVERIFY(modified.count() >= 1);
            QVERIFY(resolved.count() >= 1);

            // The lock is held elsewhere, longer than a rating waits: the file keeps 4 and so
            // does the canvas.
            locator.setRatingLockWait(500);
            QLockFile held(StateFile::lockPath(StateFile::pathFor(QUrl::fromLocalFile(m_large))));
            QVERIFY(held.tryLock(0));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Error rating"));
            canvas.item->setRating(2);
            QTRY_COMPARE_WITH_TIMEOUT(locator.ratingsBeingWritten(), 0, 20000);
            QCOMPARE(canvas.item->rating(), 4);
            QCOMPARE(locator.rowFor(url).value(IResolver::Rating).toInt(), 4);
            held.unlock();
            QCOMPARE(savedRating(m_large), 4);
            // Tone changes made just before leaving the picture, while the redraw throttle
            // still holds them back, are kept with it all the same.
            const auto exposure = canvas.item->properties()->tuneToneEntry("exposure");
            exposure->setCurrentValue(0.5); // drawn at once
            exposure->setCurrentValue(1.75); // owed to the next redraw
        }
        {
            Canvas canvas(locator);
            QVERIFY(canvas.open(m_large));
            QCOMPARE(canvas.item->rating(), 4);
            QCOMPARE(canvas.item->properties()->tuneToneEntry("exposure")->currentValue().toDouble(), 1.75);
            // A state file that cannot be written (a folder in its place, which stops
            // even a privileged user): the canvas shows that the file holds no rating.
            // (Another picture, so that no recycle step of the first one writes meanwhile.)
            QVERIFY(canvas.open(m_second));
            canvas.item->setRating(3);
            QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
            QCOMPARE(savedRating(m_second), 3);
            const QString state = StateFile::pathFor(QUrl::fromLocalFile(m_second));
            QVERIFY(QFile::rename(state, state + ".aside"));
            QVERIFY(QDir().mkdir(state));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Error rating"));
            canvas.item->setRating(1);
            QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
            QCOMPARE(canvas.item->rating(), 0);
            QVERIFY(QDir().rmdir(state));
            QVERIFY(QFile::rename(state + ".aside", state));
            QCOMPARE(savedRating(m_second), 3);
            canvas.item->setRating(5);
            QTRY_COMPARE(canvas.item->rating(), 5);
        }
        QVERIFY(QTest::qWaitFor([&] { return savedRating(m_second) == 5; }, 30000));
        QCOMPARE(savedRating(m_large), 4);
    }

    // The window never waits for a state file's lock that is held elsewhere (a batch edit
    // holds it through a render and a save): the edit stays unsaved while the lock is taken,
    // and is saved once it is free.
    void saveNeverWaitsForTheLock()
    {
        const QString file = writePicture("locked.vrx", 128, 96, 17);
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(file));
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(file));
        QLockFile held(StateFile::lockPath(state));
        QVERIFY(held.tryLock(0));
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
        QTRY_VERIFY(canvas.item->isSavePending());
        // The save came, found the lock taken and left the edit for later; the window went on.
        QTRY_VERIFY_WITH_TIMEOUT(canvas.item->viewer()->saveWasBusy(), 20000);
        QVERIFY(canvas.item->viewer()->contentDirty());
        QVERIFY(canvas.item->isSavePending());
        QVERIFY(!QFile::exists(state));
        held.unlock();
        QTRY_VERIFY_WITH_TIMEOUT(!canvas.item->viewer()->contentDirty(), 20000);
        QVERIFY(QFile::exists(state));
        QVERIFY(!canvas.item->viewer()->saveWasBusy());
    }

    // A save the disk refuses (a folder in the state file's place stops even a privileged
    // user, as a full or read-only disk would) is told once, keeps the edit unsaved and is
    // tried again by itself: the edit reaches the file once it can, with no change made
    // meanwhile.
    void refusedSaveIsToldAndTriedAgain()
    {
        const QString file = writePicture("refused.vrx", 128, 96, 23);
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(file));
        ImageLocator locator(2, nullptr);
        QSignalSpy notSaved(&locator, &ImageLocator::editsNotSaved);
        Canvas canvas(locator);
        QVERIFY(canvas.open(file));
        QVERIFY(QDir().mkdir(state));
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
        QTRY_COMPARE_WITH_TIMEOUT(notSaved.count(), 1, 20000);
        QCOMPARE(notSaved.at(0).at(0).toString(), QDir::toNativeSeparators(file));
        QVERIFY(canvas.item->viewer()->contentDirty());
        QVERIFY(!canvas.item->viewer()->saveWasBusy());
        QTRY_VERIFY(canvas.item->isSavePending());
        QVERIFY(QDir().rmdir(state));
        QTRY_VERIFY_WITH_TIMEOUT(!canvas.item->viewer()->contentDirty(), 30000);
        QCOMPARE(ostra::test::savedState(file).exposure, 0.75f);
        QCOMPARE(notSaved.count(), 1);
    }

    // A picture left with edits that the disk refused opens with them again, and its canvas
    // saves them as it saves edits once there is room, with no change made meanwhile.
    void editsRefusedAtTheHandBackComeBack()
    {
        const QString file = writePicture("kept.vrx", 128, 96, 29);
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(file));
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
        {
            // No file of this process may grow past 16 bytes: a disk that is full.
            const ostra::test::FileSizeLimit full(16);
            QSignalSpy freed(&locator, &ImageLocator::editorFreed);
            canvas.item->setLocation(QString());
            QTRY_VERIFY_WITH_TIMEOUT(!freed.isEmpty(), 60000);
            QVERIFY(!ostra::test::savedState(file).exists);
            QVERIFY(canvas.open(file));
            QCOMPARE(canvas.item->properties()->tuneToneEntry("exposure")->currentValue().toDouble(), 0.75);
            QVERIFY(canvas.item->viewer()->contentDirty());
            QVERIFY(canvas.item->isSavePending());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!canvas.item->viewer()->contentDirty(), 30000);
        QCOMPARE(ostra::test::savedState(file).exposure, 0.75f);
    }

    // The picture left for the next one (or for the gallery) is saved on a worker: a batch
    // edit holding its state file's lock does not hold the window, and the edit is written
    // once the lock is free. An export of it asked meanwhile reads it with the edit.
    void leavingNeverWaitsForTheStateLock()
    {
        const QString file = writePicture("left.vrx", 128, 96, 19);
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(file));
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(file));
        ImageEditor* editor = canvas.item->viewer();
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(1.25);
        auto writer = std::make_unique<ostra::test::HeldLockFile>(StateFile::lockPath(state));
        QVERIFY(writer->held());
        ostra::test::RescueWatchdog watchdog([&] { writer->release(); });
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QTimer::singleShot(0, canvas.item, [&] { canvas.item->serializeCurrentFile(); });
        QVERIFY(QTest::qWaitFor([&] { return ticks >= 20; }, 60000));
        QVERIFY(editor->isSaving());
        QVERIFY(!QFile::exists(state));
        writer->release();
        QVERIFY(watchdog.end());
        QVERIFY(QTest::qWaitFor([&] { return !editor->isSaving() && !editor->contentDirty(); }, 60000));
        QCOMPARE(savedExposure(file), 1.25);

        // Changed again and exported while the lock is held once more: the window goes on
        // meanwhile, and the export reads the picture once the change is in the state file.
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
        writer = std::make_unique<ostra::test::HeldLockFile>(StateFile::lockPath(state));
        canvas.item->serializeCurrentFile();
        QVERIFY(editor->isSaving());
        // Changed once more after the save began: the export waits for a save with it too.
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(1.75);
        const QString exported = m_dir.path() + "/exported/left.jpg";
        QFile::remove(exported);
        ostra::test::RescueWatchdog again([&] { writer->release(); });
        locator.exportImageList({ QUrl::fromLocalFile(file) }, 1, 1, 2,
            QUrl::fromLocalFile(m_dir.path() + "/exported"), "left", true);
        ticks = 0;
        QVERIFY(QTest::qWaitFor([&] { return ticks >= 20; }, 60000));
        QVERIFY(editor->isSaving());
        QVERIFY(!QFile::exists(exported));
        writer->release();
        QVERIFY(again.end());
        QVERIFY(QTest::qWaitFor(
            [&] {
                return locator.exportListsPending() == 0 && locator.exportQueue()->isIdle()
                    && !locator.exportProgress()->active();
            },
            120000));
        QVERIFY(!editor->isSaving() && !editor->contentDirty());
        QCOMPARE(savedExposure(file), 1.75);
        QVERIFY(QFileInfo(exported).size() > 0);
    }

    // An undo or a redo with nothing to undo or redo changes nothing: the picture is not
    // taken as changed and leaving it writes no state file.
    void undoAndRedoAtTheEndsWriteNothing()
    {
        const QString fresh = writePicture("ends.vrx", 128, 96, 15);
        {
            ImageLocator locator(2, nullptr);
            Canvas canvas(locator);
            QVERIFY(canvas.open(fresh));
            QVERIFY(canvas.item->hasDepthTools());
            QVERIFY(!canvas.item->undoDepthEdit());
            QVERIFY(!canvas.item->redoDepthEdit());
            QVERIFY(!canvas.item->viewer()->contentDirty());
            QVERIFY(!canvas.item->isSavePending());
            QTest::qWait(ImageEditItem::kSaveDelayMs + 300);
            canvas.item->setLocation(QString());
        } // the locator waits for the editors' recycle steps
        QVERIFY(!QFile::exists(StateFile::pathFor(QUrl::fromLocalFile(fresh))));
    }

    // Opening and leaving a picture (with or without a state file) writes nothing.
    void viewOnlyVisitWritesNothing()
    {
        const QString fresh = writePicture("fresh.vrx", 128, 96, 13);
        const QString rated = writePicture("rated.vrx", 128, 96, 14);
        StateFile::writeRating(QUrl::fromLocalFile(rated), 2);
        const QString ratedState = StateFile::pathFor(QUrl::fromLocalFile(rated));
        const QByteArray before = contents(ratedState);
        {
            ImageLocator locator(2, nullptr);
            for (const QString& path : { fresh, rated }) {
                Canvas canvas(locator);
                QVERIFY(canvas.open(path));
                QTest::qWait(ImageEditItem::kSaveDelayMs + 300);
                canvas.item->setLocation(QString());
            }
        } // the locator waits for the editors' recycle steps
        QVERIFY(!QFile::exists(StateFile::pathFor(QUrl::fromLocalFile(fresh))));
        QCOMPARE(contents(ratedState), before);
    }

    // Crop, turn and mirror are in the state file about two seconds after the last of
    // them, written once for a burst (so a crash loses little), and on closing; reset takes
    // the picture back to the file's own geometry.
    void geometryIsSavedSoonAndOnClosing()
    {
        ImageLocator locator(2, nullptr);
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(m_second));
        QByteArray saved;
        QRectF crop;
        TurnAndMirror turn;
        {
            Canvas canvas(locator);
            QVERIFY(canvas.open(m_second));
            QSignalSpy updates(canvas.item->viewer(), &ImageViewer::notifyFileUpdatedSignal);
            GeometryEdits* edits = canvas.item->geometryEdits();
            canvas.item->setEditorMode(ImageEdit::Crop);
            edits->setCropMode(GeometryEdits::Preset_1_1);
            // The square dragged by its middle to the right; applied, it fills the view,
            // centred.
            const QPointF middle = edits->crop().center();
            QTest::mousePress(&canvas.window, Qt::LeftButton, {}, canvas.at(middle));
            QTest::mouseMove(&canvas.window, canvas.at(middle + QPointF(0.1, 0)));
            QTest::mouseRelease(&canvas.window, Qt::LeftButton, {}, canvas.at(middle + QPointF(0.1, 0)));
            QVERIFY(std::fabs(edits->crop().center().x() - middle.x() - 0.1) < 0.01);
            QVERIFY(canvas.item->hasActiveFocus()); // the keys go to the canvas clicked
            // A shake of the overlay (a refused edit) is drawn at once.
            const QImage still = canvas.window.grabWindow();
            canvas.item->setAnomaly(40);
            QVERIFY(canvas.window.grabWindow() != still);
            canvas.item->setAnomaly(0);
            edits->applyCrop();
            QCOMPARE(canvas.at(edits->crop().center()), QPoint(320, 240));
            canvas.item->setEditorMode(ImageEdit::None);
            edits->rotateRight();
            // Zoomed in, dragged aside, then mirrored: the middle of the view shows the
            // same part.
            canvas.item->setZoomLogLevel(30);
            QTest::mousePress(&canvas.window, Qt::LeftButton, {}, QPoint(320, 240));
            QTest::mouseMove(&canvas.window, QPoint(420, 240));
            QTest::mouseRelease(&canvas.window, Qt::LeftButton, {}, QPoint(420, 240));
            const QPointF shown = canvas.item->geometry().viewToImage(QPointF(320, 240));
            QVERIFY(QLineF(shown, QPointF(0.5, 0.5)).length() > 0.01);
            edits->mirrorHorizontal();
            QVERIFY(QLineF(canvas.item->geometry().viewToImage(QPointF(320, 240)), shown).length() < 1e-3);
            QVERIFY(canvas.item->isSavePending());
            QCOMPARE(updates.count(), 0);
            QTRY_COMPARE_WITH_TIMEOUT(updates.count(), 1, 10000);
            QVERIFY(!canvas.item->viewer()->contentDirty());
            QTest::qWait(ImageEditItem::kSaveDelayMs + 500);
            QCOMPARE(updates.count(), 1);

            // Read back by another instance while this one still holds the picture open,
            // as after a crash.
            ImageLocator other(2, nullptr);
            Canvas again(other);
            QVERIFY(again.open(m_second));
            QCOMPARE(decomposeTransform(again.item->geometryEdits()->transform()),
                decomposeTransform(edits->transform()));
            QVERIFY(sameCrop(again.item->geometryEdits()->crop(), edits->crop()));

            // One more turn, left to the closing to save.
            edits->rotateRight();
            crop = edits->crop();
            turn = decomposeTransform(edits->transform());
            saved = contents(state);
        }
        // The item going away hands its editor back, which saves its state on the recycle step.
        QVERIFY(QTest::qWaitFor([&] { return contents(state) != saved; }, 30000));
        Canvas canvas(locator);
        QVERIFY(QTest::qWaitFor(
            [&] {
                canvas.item->setLocation(QUrl::fromLocalFile(m_second).toString());
                return !canvas.item->loading();
            },
            60000));
        GeometryEdits* edits = canvas.item->geometryEdits();
        QCOMPARE(decomposeTransform(edits->transform()), turn);
        QVERIFY(sameCrop(edits->crop(), crop));
        QVERIFY(edits->hasEdits());
        canvas.item->resetGeometry();
        QVERIFY(!edits->hasEdits());
    }

    // A crop still being edited when the picture is left is applied and saved by the editor
    // handed back; no save stays armed for the picture shown next, where it would write with
    // force whatever that picture's state file holds by then.
    void leavingWithACropBeingEditedArmsNoSaveForTheNext()
    {
        ImageLocator locator(2, nullptr);
        const QString firstState = StateFile::pathFor(QUrl::fromLocalFile(m_large));
        const QString nextState = StateFile::pathFor(QUrl::fromLocalFile(m_second));
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_large));
        canvas.item->setEditorMode(ImageEdit::Crop);
        canvas.item->geometryEdits()->setCropMode(GeometryEdits::Preset_1_1);
        const QRectF crop = canvas.item->geometryEdits()->cropRect();
        QVERIFY(crop.width() < 0.9);
        QVERIFY(!canvas.item->isSavePending());

        QVERIFY(canvas.open(m_second));
        QVERIFY(!canvas.item->isSavePending());
        QVERIFY(!canvas.item->viewer()->contentDirty());
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(firstState); }, 30000));
        QVERIFY(!QFileInfo::exists(nextState));

        // The crop left behind is the first picture's.
        QVERIFY(canvas.open(m_large));
        QVERIFY(std::fabs(canvas.item->geometryEdits()->cropRect().width() - crop.width()) < 0.01);
    }

    // Adjustments pasted on a selection that holds the picture open in the canvas: the
    // canvas shows them and saves them with its own change, which the paste does not undo.
    void pasteOnTheSelectionReachesThePictureOpenHere()
    {
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_large);
        const auto value = [](ImageEditItem* item, const char* name) {
            return item->properties()->tuneToneEntry(name)->currentValue().toDouble();
        };
        {
            Canvas canvas(locator);
            QVERIFY(canvas.open(m_large));
            canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
            canvas.item->properties()->tuneToneEntry("saturation")->setCurrentValue(20);
            {
                ImageProperties patch;
                const auto contrast = patch.tuneToneEntry("contrast");
                contrast->setCurrentValue(40);
                patch.markTuneTonePatch(contrast.get(), true);
                QVERIFY(locator.applyProperties({ url }, &patch, true));
            }
            QVERIFY(QTest::qWaitFor([&] { return locator.patchUndoCount() == 1; }, 60000));
            QCOMPARE(value(canvas.item, "contrast"), 40.0);
            QVERIFY(canvas.item->isSavePending());
            QVERIFY(canvas.item->viewer()->contentDirty());
        }
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_large));
        QCOMPARE(value(canvas.item, "contrast"), 40.0);
        QCOMPARE(value(canvas.item, "exposure"), 0.75);
        QCOMPARE(value(canvas.item, "saturation"), 20.0);
    }

    // A tone value changed in the canvas and not yet given to the renderer (a render was
    // under way) is what a paste over it replaces: undoing the paste gives it back.
    void undoOfAPasteGivesBackAChangeNotYetRendered()
    {
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_large);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_large));
        ImageProperties* shown = canvas.item->properties();
        {
            // The canvas is not told: the renderer still has the value before.
            const QSignalBlocker quiet(shown);
            shown->tuneToneEntry("exposure")->setCurrentValue(0.75);
        }
        {
            ImageProperties patch;
            const auto exposure = patch.tuneToneEntry("exposure");
            exposure->setCurrentValue(1.5);
            patch.markTuneTonePatch(exposure.get(), true);
            QVERIFY(locator.applyProperties({ url }, &patch, true));
        }
        QVERIFY(QTest::qWaitFor([&] { return locator.patchUndoCount() == 1; }, 60000));
        QCOMPARE(shown->tuneToneEntry("exposure")->currentValue().toDouble(), 1.5);
        locator.undoPatch();
        QVERIFY(QTest::qWaitFor([&] { return locator.patchUndoCount() == 0; }, 60000));
        QCOMPARE(shown->tuneToneEntry("exposure")->currentValue().toDouble(), 0.75);
    }

    // Every edit of the depth effect (aperture, focus, depth strokes, and their undo, redo
    // and reset) reaches the state file as soon as the other edits do, while the picture
    // stays open: read back by another instance, as after a crash, it looks as on the screen.
    void depthEditsAreSavedSoon_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::newRow("depth of field") << Edit::DepthOfField;
        QTest::newRow("focus") << Edit::Focus;
        QTest::newRow("brush") << Edit::Brush;
        QTest::newRow("brush undone") << Edit::UndoneBrush;
        QTest::newRow("brush redone") << Edit::RedoneBrush;
        QTest::newRow("depth edits reset") << Edit::ResetDepth;
    }
    void depthEditsAreSavedSoon()
    {
        QFETCH(Edit, edit);
        QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(m_scene)));
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_scene));
        const QImage before = settledShot(canvas);
        QVERIFY(makeEdit(canvas, edit));
        QVERIFY(canvas.item->isSavePending());
        const QImage shown = settledShot(canvas);
        QVERIFY(!shown.isNull());
        if (edit != Edit::UndoneBrush && edit != Edit::ResetDepth)
            QVERIFY(meanDifference(before, shown) > 1.0); // the edit is there to see
        QTRY_VERIFY_WITH_TIMEOUT(!canvas.item->viewer()->contentDirty(), ImageEditItem::kSaveDelayMs + 5000);

        ImageLocator other(2, nullptr);
        Canvas again(other);
        QVERIFY(again.open(m_scene));
        const QImage saved = settledShot(again);
        const double apart = meanDifference(shown, saved);
        QVERIFY2(apart < 0.5, qPrintable(QString::number(apart)));
    }

    // A rating given on the canvas is appended to the state file by the image service; the
    // edits made after it are still saved when the picture is about to be exported, and the
    // exported picture shows what the canvas shows.
    void exportAfterARatingShowsTheEdits_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::newRow("tone") << Edit::Tone;
        QTest::newRow("focus") << Edit::Focus;
        QTest::newRow("brush") << Edit::Brush;
    }
    void exportAfterARatingShowsTheEdits()
    {
        QFETCH(Edit, edit);
        const QUrl url = QUrl::fromLocalFile(m_scene);
        QFile::remove(StateFile::pathFor(url));
        const QString folder = m_dir.filePath(QStringLiteral("exported"));
        QDir(folder).removeRecursively();
        ImageLocator locator(2, nullptr);
        locator.rowFor(url);
        QVERIFY(QTest::qWaitFor([&] { return !locator.rowFor(url).isEmpty(); }, 60000));
        Canvas canvas(locator);
        canvas.window.setColor(Qt::blue);
        QVERIFY(canvas.open(m_scene));
        canvas.item->setRating(3);
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        QCOMPARE(savedRating(m_scene), 3);
        QVERIFY(makeEdit(canvas, edit));
        const QImage screen = settledShot(canvas);
        QVERIFY(!screen.isNull());
        // The editor's export button: save, then export (PPM, at the level on the screen).
        canvas.item->serializeCurrentFile();
        locator.exportImageList({ url }, 2, canvas.item->currentLevel(), 2, QUrl::fromLocalFile(folder),
            QStringLiteral("picture"), false);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return locator.exportListsPending() == 0 && locator.exportQueue()->isIdle()
                    && !locator.exportProgress()->active();
            },
            120000));
        const QImage file = QImage(folder + "/picture.ppm").convertToFormat(QImage::Format_RGB32);
        QVERIFY(!file.isNull());
        const QRect box = ostra::test::pictureBox(screen);
        const double aspects = double(box.width()) * file.height() / (double(box.height()) * file.width());
        QVERIFY2(std::fabs(aspects - 1.0) < 0.01, qPrintable(QString::number(aspects)));
        const double apart = meanDifference(
            screen.copy(box), file.scaled(box.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        QVERIFY2(apart < 3.0, qPrintable(QString::number(apart)));
        QCOMPARE(savedRating(m_scene), 3);
    }

    // The timed save leaves the renderer drawing normally; the canvas keeps showing the
    // focal region it shows, in what it draws after the save too.
    void saveKeepsTheRenderMode()
    {
        QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(m_scene)));
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_scene));
        canvas.item->setRenderMode(ImageEdit::RefocusPoint);
        QVERIFY(makeEdit(canvas, Edit::Focus));
        canvas.item->setRenderMode(ImageEdit::RefocusPoint);
        QTRY_VERIFY_WITH_TIMEOUT(!canvas.item->viewer()->contentDirty(), ImageEditItem::kSaveDelayMs + 5000);
        // Drawn again after the save: a nearer view, then back.
        canvas.item->setZoomLogLevel(20);
        QVERIFY(!settledShot(canvas).isNull());
        canvas.item->fitInView();
        const QImage afterSave = settledShot(canvas);
        // The same view drawn whole in the focal-region mode.
        canvas.item->setRenderMode(ImageEdit::Normal);
        QVERIFY(!settledShot(canvas).isNull());
        canvas.item->setRenderMode(ImageEdit::RefocusPoint);
        const QImage expected = settledShot(canvas);
        const double apart = meanDifference(afterSave, expected);
        QVERIFY2(apart < 0.5, qPrintable(QString::number(apart)));
    }

    // The volume of a picture does not answer: the window's event loop turns, the canvas
    // keeps loading and takes no edit or rating. Then the volume answers (the picture shows
    // with its saved edits), or another picture is chosen first (it shows, and the late
    // result of the first is dropped), or the page is closed first (nothing is left held).
    void openHeldByTheFileSystem_data()
    {
        QTest::addColumn<QString>("then");
        QTest::newRow("the volume answers") << "answer";
        QTest::newRow("another picture chosen") << "other";
        QTest::newRow("page closed") << "close";
    }
    void openHeldByTheFileSystem()
    {
        QFETCH(QString, then);
        const QString folder = m_dir.path() + "/held-" + then;
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + "/IMG_held.vrx";
        QVERIFY(ostra::test::writeDepthPicture(path, 320, 240, 21));
        const QUrl url = QUrl::fromLocalFile(path);
        {
            ImageEditor editor;
            QVERIFY(editor.loadImageWithState(url, std::make_shared<StreamSource>(url), {}, 0, 0));
            editor.properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
            QVERIFY(editor.syncProperties() && editor.serializeCurrentState(true));
            editor.closeImage();
        }
        const QByteArray state = contents(StateFile::pathFor(url));
        ImageLocator locator(2, nullptr);
        ostra::test::HeldOpens held(folder); // before the locator goes: lets its opens end
        if (!held.isValid())
            QSKIP("holding opens needs a fanotify permission mark (root)");
        held.close();

        auto canvas = std::make_unique<Canvas>(locator);
        canvas->item->setLocation(url.toString());
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QVERIFY(QTest::qWaitFor([&] { return held.held() >= 1 && ticks >= 20; }, 60000));
        QVERIFY(canvas->item->loading() && !canvas->item->captureKnown());
        // The values of the editor that opens it are not the picture's yet: not handed out.
        QVERIFY(canvas->item->viewer());
        QVERIFY(canvas->item->properties() != canvas->item->viewer()->properties());
        QCOMPARE(canvas->item->rating(), 0);
        canvas->item->setRating(3);
        QCOMPARE(locator.ratingsBeingWritten(), 0);
        canvas->item->resetGeometry();

        if (then == "answer") {
            held.open();
            QVERIFY(waitForQuality(canvas->item, ImageEditItem::Preview));
            QVERIFY(canvas->item->captureKnown());
            QCOMPARE(canvas->item->properties()->tuneToneEntry("exposure")->currentValue().toFloat(), 0.75f);
            QCOMPARE(canvas->item->rating(), 0);
        } else if (then == "other") {
            QVERIFY(canvas->open(m_second));
            QCOMPARE(canvas->item->location(), QUrl::fromLocalFile(m_second).toString());
            QVERIFY(held.held() >= 1); // the first one is still waiting for its volume
            held.open();
            QVERIFY(QTest::qWaitFor(
                [&] { return locator.filePerm()->available(path) == FilePerm::kExclusive; }, 60000));
            QTest::qWait(50);
            QCOMPARE(canvas->item->location(), QUrl::fromLocalFile(m_second).toString());
            QVERIFY(canvas->item->captureKnown());
            QVERIFY(!(canvas->item->pyramid() == invalidPyramid()));
            QVERIFY(canvas->item->properties()->isTuneToneOriginal());
        } else {
            canvas.reset();
            held.open();
            QVERIFY(QTest::qWaitFor(
                [&] { return locator.filePerm()->available(path) == FilePerm::kExclusive; }, 60000));
            QTest::qWait(50);
            QVERIFY(locator.currentEditor()->currentUrl().isEmpty());
        }
        canvas.reset();
        QCOMPARE(contents(StateFile::pathFor(url)), state);
    }

    // Two pictures left with edits on volumes that stop answering: their editors, handed
    // back, wait to save them. The next picture does not wait for an editor on the window's
    // thread: the canvas keeps loading while the event loop turns, and shows the picture
    // once an editor is free again; both edits are saved.
    void leavingEditedPicturesOnHungVolumes()
    {
        QStringList paths;
        for (const char* name : { "hung-a", "hung-b" }) {
            const QString folder = m_dir.path() + "/" + name;
            QVERIFY(QDir().mkpath(folder));
            paths << folder + "/IMG_edited.vrx";
            QVERIFY(ostra::test::writeDepthPicture(paths.last(), 320, 240, 31 + std::uint32_t(paths.size())));
        }
        ImageLocator locator(2, nullptr);
        ostra::test::HeldOpens heldA(QFileInfo(paths[0]).absolutePath());
        ostra::test::HeldOpens heldB(QFileInfo(paths[1]).absolutePath());
        if (!heldA.isValid() || !heldB.isValid())
            QSKIP("holding opens needs a fanotify permission mark (root)");
        ostra::test::RescueWatchdog watchdog([&] {
            heldA.open();
            heldB.open();
        });
        Canvas canvas(locator);
        const auto edit = [&](double exposure) {
            canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(exposure);
        };
        QVERIFY(canvas.open(paths[0]));
        edit(1.25);
        heldA.close();
        QVERIFY(canvas.open(paths[1]));
        QVERIFY(QTest::qWaitFor([&] { return heldA.held() >= 1; }, 60000));
        edit(1.5);
        heldB.close();
        canvas.item->setLocation(QUrl::fromLocalFile(m_second).toString());
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QVERIFY(QTest::qWaitFor([&] { return heldB.held() >= 1 && ticks >= 20; }, 60000));
        QVERIFY(canvas.item->loading() && !canvas.item->captureKnown());
        QVERIFY(heldA.held() >= 1);
        heldA.open();
        heldB.open();
        QVERIFY(watchdog.end());
        QVERIFY(waitForQuality(canvas.item, ImageEditItem::Preview));
        QCOMPARE(canvas.item->location(), QUrl::fromLocalFile(m_second).toString());
        QVERIFY(canvas.item->captureKnown());
        QVERIFY(QTest::qWaitFor(
            [&] { return savedExposure(paths[0]) == 1.25 && savedExposure(paths[1]) == 1.5; }, 60000));
    }

    // Edits saved while the picture's volume does not answer: the save is written on a
    // worker and the window goes on; a change made meanwhile stays unsaved and follows once
    // the volume answers. Nothing is lost.
    void editsSavedOnAHungVolume()
    {
        const QString folder = m_dir.path() + "/hung-save";
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + "/IMG_saved.vrx";
        QVERIFY(ostra::test::writeDepthPicture(path, 320, 240, 41));
        ImageLocator locator(2, nullptr);
        ostra::test::HeldOpens held(folder);
        if (!held.isValid())
            QSKIP("holding opens needs a fanotify permission mark (root)");
        ostra::test::RescueWatchdog watchdog([&] { held.open(); });
        Canvas canvas(locator);
        QVERIFY(canvas.open(path));
        ImageEditor* editor = canvas.item->viewer();
        QSignalSpy updates(editor, &ImageViewer::notifyFileUpdatedSignal);
        held.close();
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(1.25);
        QTRY_VERIFY(canvas.item->isSavePending());
        QVERIFY(QTest::qWaitFor([&] { return held.held() >= 1; }, 60000));
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QVERIFY(QTest::qWaitFor([&] { return ticks >= 20; }, 60000));
        QVERIFY(editor->isSaving());
        canvas.item->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
        QVERIFY(editor->contentDirty());
        held.open();
        QVERIFY(watchdog.end());
        QVERIFY(QTest::qWaitFor(
            [&] { return !editor->contentDirty() && !editor->isSaving() && !canvas.item->isSavePending(); },
            60000));
        QCOMPARE(savedExposure(path), 1.5);
        QCOMPARE(updates.count(), 2);
        QCOMPARE(canvas.item->viewer(), editor);
    }

    // A picture a writer holds is opened once the writer lets go; meanwhile the canvas
    // keeps loading and takes no edit or rating. A file that is not a picture cannot be
    // opened at all: the canvas says so instead of showing the loading placeholder for
    // ever, hands its editor back, and there is nothing to edit or rate, and no state file.
    void unopenedPictures()
    {
        const QString path = m_dir.path() + "/notes.vrx";
        QVERIFY(ostra::test::writeTreeFile(path, "shopping: bread, milk\n"));
        const QUrl url = QUrl::fromLocalFile(path);
        ImageLocator locator(2, nullptr);
        locator.filePerm()->setGuiWaitLimit(50);
        FileToken writer = locator.filePerm()->tryAcquireFileSemaphore(m_second, FilePerm::kExclusive, 0);
        QVERIFY(writer);
        Canvas canvas(locator);
        canvas.item->setLocation(QUrl::fromLocalFile(m_second).toString());
        QTest::qWait(10 * PictureOpen::kPollMs);
        QVERIFY(canvas.item->loading() && !canvas.item->captureKnown());
        QVERIFY(canvas.item->pyramid() == loadingPyramid());
        canvas.item->setRating(3);
        QCOMPARE(canvas.item->rating(), 0);
        QCOMPARE(locator.ratingsBeingWritten(), 0);
        writer.reset();
        QVERIFY(waitForQuality(canvas.item, ImageEditItem::Preview));
        QVERIFY(canvas.item->captureKnown());
        QCOMPARE(savedRating(m_second), -1);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^can't read file"));
        canvas.item->setLocation(url.toString());
        QVERIFY(QTest::qWaitFor([&] { return !canvas.item->viewer(); }, 60000));
        QVERIFY(!canvas.item->captureKnown());
        QVERIFY(canvas.item->pyramid() == invalidPyramid());
        canvas.item->setRating(3);
        QCOMPARE(canvas.item->rating(), 0);

        // Nor is a rating of the gallery's row of it.
        locator.rowFor(url);
        QVERIFY(
            QTest::qWaitFor([&] { return locator.rowFor(url).value(IResolver::Invalid).toBool(); }, 60000));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Error rating.*not a picture"));
        locator.rate(url, 4);
        QVERIFY(!QFile::exists(StateFile::pathFor(url)));
    }
};

OSTRA_TEST_MAIN(TestImageEditItem)
#include "tst_imageedititem.moc"
