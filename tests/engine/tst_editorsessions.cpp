#include "support/childprocess.h"
#include "support/eventloopturns.h"
#include "support/filesizelimit.h"
#include "support/mountnamespace.h"
#include "support/openforview.h"
#include "support/recordingcanvas.h"
#include "support/rescuewatchdog.h"
#include "support/savedstate.h"
#include "support/testmain.h"

#include "ciapi/image.h"
#include "ciapi/statefileeditor.h"
#include "core/progresshandler.h"
#include "core/progressmodel.h"
#include "engine/export.h"
#include "engine/exportqueue.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "engine/keptedits.h"
#include "engine/statefile.h"
#include "engine/transformhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <thread>

#include "tools/vrxgen/generator.h"

namespace {

using Canvas = ostra::test::RecordingCanvas;

int savedRating(const QString& raw)
{
    std::ifstream in(
        QFile::encodeName(StateFile::pathFor(QUrl::fromLocalFile(raw))).toStdString(), std::ios::binary);
    if (!in)
        return -1;
    return CIAPI::StateFileEditor(in).userRating();
}

// A recycle step the test holds: its probe releases `reached` and waits for `proceed`,
// which is let go for good when the case ends, even after a failed check.
struct HeldRecycle
{
    QSemaphore reached;
    QSemaphore proceed;
    ~HeldRecycle() { proceed.release(10); }
};

// Mean grey of an image.
double meanGrey(const QImage& image)
{
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += qGray(image.pixel(x, y));
    return image.isNull() ? 0 : sum / (double(image.width()) * image.height());
}

double exposureOf(ImageEditor* editor)
{
    return editor->properties()->tuneToneEntry("exposure")->currentValue().toDouble();
}

// Opens the picture, sets its exposure unless `exposure` is 0, and hands the editor back;
// true once it is free again (saved and closed, or its edits kept). `shown` receives the
// exposure the picture opened with.
bool openEditHandBack(ImageLocator& locator, const QUrl& url, double exposure, double* shown = nullptr)
{
    ostra::test::RecordingCanvas canvas;
    ImageEditor* editor = ostra::test::openedForView(locator, url, &canvas);
    if (!editor || editor->currentUrl() != url)
        return false;
    if (shown)
        *shown = exposureOf(editor);
    if (exposure != 0) {
        editor->properties()->tuneToneEntry("exposure")->setCurrentValue(exposure);
        if (!editor->syncProperties())
            return false;
    }
    QSignalSpy freed(&locator, &ImageLocator::editorFreed);
    locator.releaseEditorSlot(editor, &canvas);
    return QTest::qWaitFor([&] { return !freed.isEmpty(); }, 60000);
}

// "edit-and-crash <picture> <kept folder> <exposure> <left>": edits the picture on a disk
// that refuses the save, and is killed once the service has done with it: after handing
// the picture back ("handed back"), or while it is open after a refused save of the canvas
// ("open").
int childMain(const QString& mode, const QStringList& args)
{
    if (mode != QLatin1String("edit-and-crash"))
        return 2;
    const QUrl url = QUrl::fromLocalFile(args.value(0));
    // Never destroyed: the process ends without the service's close.
    auto* locator = new ImageLocator(2, nullptr);
    locator->setKeptEditsFolder(args.value(1));
    QSignalSpy notSaved(locator, &ImageLocator::editsNotSaved);
    if (args.value(3) == QLatin1String("open")) {
        auto* canvas = new ostra::test::RecordingCanvas;
        ImageEditor* editor = ostra::test::openedForView(*locator, url, canvas);
        if (!editor || editor->currentUrl() != url)
            return 3;
        editor->properties()->tuneToneEntry("exposure")->setCurrentValue(args.value(2).toDouble());
        // As the canvas does when its save ends; connected before the save starts, as a save
        // the full disk refuses at once may end before the next line.
        QObject::connect(
            editor, &ImageViewer::saveEnded, editor, [editor] { editor->takeSaveResult(); },
            Qt::QueuedConnection);
        if (!editor->syncProperties() || !editor->saveInBackground(true))
            return 3;
        const KeptEdits kept(args.value(1));
        if (!QTest::qWaitFor(
                [&] { return kept.contains(IImageService::fileKey(url)) && !notSaved.isEmpty(); }, 60000))
            return 4;
        if (!editor->contentDirty())
            return 5;
    } else {
        if (!openEditHandBack(*locator, url, args.value(2).toDouble()))
            return 3;
        // Told, and their file written.
        const KeptEdits kept(args.value(1));
        if (!QTest::qWaitFor(
                [&] { return kept.contains(IImageService::fileKey(url)) && !notSaved.isEmpty(); }, 60000))
            return 4;
    }
    ::raise(SIGKILL);
    return 6;
}

} // namespace

class TestEditorSessions : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QStringList m_files;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        for (int i = 0; i < 4; ++i) {
            vrxgen::PictureOptions o;
            o.moduleWidth = 96;
            o.moduleHeight = 72;
            o.frames = 1;
            o.seed = std::uint32_t(20 + i);
            m_files << m_dir.path() + QString("/IMG_%1.vrx").arg(i);
            QVERIFY(vrxgen::writeFile(
                QFile::encodeName(m_files.last()).toStdString(), vrxgen::makePicture(o).vrx));
        }
    }

    void init()
    {
        for (const QString& f : qAsConst(m_files))
            QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(f)));
    }

    // A picture opened for the canvas (a click on a filmstrip cell) has its file's path
    // resolved on the open's worker: while the file system does not answer there, the
    // window goes on and nothing is shown; once it answers, the picture opens.
    void sourceResolvedOffTheWindow()
    {
        const QUrl url = QUrl::fromLocalFile(m_files[3]);
        ImageLocator locator(2, nullptr);
        QSemaphore gate;
        std::atomic<int> held { 0 };
        locator.setSourceProbe([&](const QUrl& made) {
            if (made != url)
                return;
            ++held;
            gate.acquire();
        });
        ostra::test::RescueWatchdog watchdog([&gate] { gate.release(1000); });
        Canvas a;
        ImageEditor* editor = locator.openForView(url, &a);
        QVERIFY(editor);
        QTRY_COMPARE(held.load(), 1);
        QVERIFY(ostra::test::eventLoopTurns());
        QCOMPARE(editor->openingUrl(), url);
        QVERIFY(editor->currentUrl().isEmpty());
        gate.release(1000);
        QTRY_VERIFY(editor->openingUrl().isEmpty());
        QVERIFY(watchdog.end());
        QCOMPARE(editor->currentUrl(), url);
        QCOMPARE(a.attached, QList<ImageEditor*> { editor });
        locator.releaseEditorSlot(editor, &a);
    }

    // With both editors lent, a third open waits until one is handed back and its
    // recycle step (state saved with the new rating) has finished; nothing in that step
    // needs the waiting GUI thread.
    void thirdOpenWaitsForARelease()
    {
        ImageLocator locator(2, nullptr);
        QSemaphore reached;
        QSemaphore proceed;
        std::atomic<int> recycled { 0 };
        locator.setRecycleProbe([&](ImageEditor&) {
            reached.release();
            proceed.acquire();
            ++recycled;
        });
        // Whatever ends the test, later recycle steps are let through: the locator waits for
        // them as it goes.
        const auto letGo = qScopeGuard([&] { proceed.release(10); });
        Canvas a;
        Canvas b;
        Canvas c;
        ImageEditor* first = ostra::test::openedForView(locator, QUrl::fromLocalFile(m_files[0]), &a);
        ImageEditor* second = ostra::test::openedForView(locator, QUrl::fromLocalFile(m_files[1]), &b);
        QVERIFY(first && second && first != second);
        QCOMPARE(a.attached, QList<ImageEditor*> { first });
        QCOMPARE(locator.currentEditor(), second);
        QCOMPARE(first->currentUrl(), QUrl::fromLocalFile(m_files[0]));
        QVERIFY(first->setRating(4));

        locator.releaseEditorSlot(first, &a);
        // The recycle step is held until the third open is under way.
        std::thread helper([&] {
            reached.acquire();
            proceed.release();
        });
        ImageEditor* third = ostra::test::openedForView(locator, QUrl::fromLocalFile(m_files[2]), &c);
        helper.join();
        QCOMPARE(third, first);
        QCOMPARE(recycled.load(), 1);
        QCOMPARE(third->currentUrl(), QUrl::fromLocalFile(m_files[2]));
        // Handed back with the save forced: the rating is in the state file.
        QCOMPARE(savedRating(m_files[0]), 4);
        // The first canvas no longer hears the editor (what it rendered for the first
        // picture may still come in); the third gets its renders.
        QTRY_VERIFY_WITH_TIMEOUT(!c.outputs.isEmpty(), 60000);
        for (const VrxMessage& output : qAsConst(a.outputs))
            QCOMPARE(output.location, QUrl::fromLocalFile(m_files[0]));
    }

    // An editor handed back keeps none of its picture's buffers once recycled, whether it
    // was lent to the canvas or borrowed for a background render.
    void handedBackEditorsHoldNoPictureBuffers_data()
    {
        QTest::addColumn<bool>("forCanvas");
        QTest::newRow("canvas") << true;
        QTest::newRow("background render") << false;
    }
    void handedBackEditorsHoldNoPictureBuffers()
    {
        QFETCH(bool, forCanvas);
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_files[1]);
        const long long before = CIAPI::Image::LiveBytes();
        long long fullSize = 0;
        if (forCanvas) {
            Canvas canvas;
            ImageEditor* editor = ostra::test::openedForView(locator, url, &canvas);
            QVERIFY(editor);
            editor->renderLevel(0, 2);
            QTRY_VERIFY_WITH_TIMEOUT(!canvas.outputs.isEmpty(), 60000);
            {
                const CIAPI::ImagePyramid pyramid = editor->renderer().outputBuffer();
                fullSize = qint64(pyramid[0].stride()) * pyramid[0].height();
            }
            QVERIFY(fullSize > 0);
            // Counted while held (other pictures may be freed meanwhile, so not against `before`).
            QVERIFY(CIAPI::Image::LiveBytes() >= fullSize);
            locator.releaseEditorSlot(editor, &canvas);
            canvas.outputs.clear();
        } else {
            locator.setBackgroundProcessing(true);
            std::atomic<long long> seen { 0 };
            std::atomic<bool> recycled { false };
            locator.setRecycleProbe([&](ImageEditor&) {
                seen = CIAPI::Image::LiveBytes() - before;
                recycled = true;
            });
            Export::SizeSpec size;
            size.unit = Export::DepthOnly;
            size.value = -1;
            locator.requestWriter(url, CIAPI::ExportPPM, QProcess::nullDevice(), size, 0);
            // Recycled: the state with its depth is saved. (Background processing may write
            // a state of the picture first: the recycle step itself is waited for.)
            QTRY_VERIFY_WITH_TIMEOUT(recycled.load() && QFileInfo::exists(StateFile::pathFor(url)), 60000);
            fullSize = seen;
            QVERIFY(fullSize > 0); // the picture was still open before its state was saved
        }
        QTRY_VERIFY_WITH_TIMEOUT(CIAPI::Image::LiveBytes() - before < fullSize / 2, 20000);
    }

    // Edits that the disk refuses when the editor is handed back are told, naming the
    // picture, and its state file stays as it was. They are not lost with the editor: the
    // picture opens with them (still unsaved) while the disk refuses them, the open after
    // there is room again saves them first, and so does the service when it ends.
    void handBackThatCannotSave()
    {
        const QUrl url = QUrl::fromLocalFile(m_files[0]);
        const QString state = StateFile::pathFor(url);
        const auto exposureOf = [](ImageEditor* editor) {
            return editor->properties()->tuneToneEntry("exposure")->currentValue().toDouble();
        };
        auto locator = std::make_unique<ImageLocator>(2, nullptr);
        QSignalSpy notSaved(locator.get(), &ImageLocator::editsNotSaved);
        Canvas a;
        // Opens the picture, changes it unless `exposure` is 0, and hands it back; with
        // `full`, no file of this process may grow past 16 bytes meanwhile: a disk that is full.
        const auto openEditHandBack = [&](double exposure, bool full, double* shown) {
            std::unique_ptr<ostra::test::FileSizeLimit> limit(
                full ? new ostra::test::FileSizeLimit(16) : nullptr);
            ImageEditor* editor = ostra::test::openedForView(*locator, url, &a);
            QVERIFY(editor);
            *shown = exposureOf(editor);
            if (exposure != 0) {
                editor->properties()->tuneToneEntry("exposure")->setCurrentValue(exposure);
                QVERIFY(editor->syncProperties());
            }
            QSignalSpy freed(locator.get(), &ImageLocator::editorFreed);
            locator->releaseEditorSlot(editor, &a);
            QTRY_VERIFY_WITH_TIMEOUT(!freed.isEmpty(), 60000);
        };
        double shown = 0;
        openEditHandBack(1.5, true, &shown);
        QTRY_COMPARE(notSaved.count(), 1);
        QCOMPARE(notSaved.at(0).at(0).toString(), QDir::toNativeSeparators(m_files[0]));
        QVERIFY(!notSaved.at(0).at(1).toString().isEmpty());
        QVERIFY(!QFile::exists(state));

        // Still full: it opens with the edits, which its hand-back tries to save again.
        openEditHandBack(0, true, &shown);
        QCOMPARE(shown, 1.5);
        QTRY_COMPARE(notSaved.count(), 2);
        QVERIFY(!QFile::exists(state));
        // Room again: the open saves them before it reads the picture's state.
        openEditHandBack(0, false, &shown);
        QCOMPARE(shown, 1.5);
        QCOMPARE(ostra::test::savedState(m_files[0]).exposure, 1.5f);

        // Saved by the hand-back itself: nothing told.
        openEditHandBack(1.25, false, &shown);
        QCOMPARE(ostra::test::savedState(m_files[0]).exposure, 1.25f);
        QCoreApplication::processEvents();
        QCOMPARE(notSaved.count(), 2);

        // A star given after a refused hand-back, once there is room: the edits kept are
        // saved before it, not dropped for it.
        openEditHandBack(1.75, true, &shown);
        QTRY_COMPARE(notSaved.count(), 3);
        locator->rate(url, 2);
        QTRY_COMPARE(locator->ratingsBeingWritten(), 0);
        QCOMPARE(savedRating(m_files[0]), 2);
        QCOMPARE(ostra::test::savedState(m_files[0]).exposure, 1.75f);
        openEditHandBack(1.25, false, &shown);
        QCOMPARE(shown, 1.75);
        QCOMPARE(notSaved.count(), 3);

        // Another writer changes the file after a refused hand-back, behind the service's
        // back: the edits kept are dropped, not written over its change.
        openEditHandBack(2.0, true, &shown);
        QTRY_COMPARE(notSaved.count(), 4);
        StateFile::writeRating(url, 4);
        openEditHandBack(0, false, &shown);
        QCOMPARE(shown, 1.25);
        QCOMPARE(savedRating(m_files[0]), 4);
        QCOMPARE(ostra::test::savedState(m_files[0]).exposure, 1.25f);

        // Refused at the hand-back, and the service ends once there is room: they are saved.
        openEditHandBack(0.5, true, &shown);
        QCOMPARE(shown, 1.25);
        QTRY_COMPARE(notSaved.count(), 5);
        QCOMPARE(ostra::test::savedState(m_files[0]).exposure, 1.25f);
        locator.reset();
        QCOMPARE(ostra::test::savedState(m_files[0]).exposure, 0.5f);
    }

    // Edits the full disk of their picture refused when the editor was handed back are not
    // lost when the service ends (a quit) or the process is killed (a crash) before there
    // is room: the next service over the same folders writes them once the disk takes them
    // (at its start, at the open of the picture, at its own end), and drops them when another
    // writer changed the state file meanwhile.
    void keptEditsOutliveTheService()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(
            m_dir.path(), QStringList { QStringLiteral("keptEditsOutliveTheServiceInside") });
    }
    void keptEditsOutliveTheServiceInside_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("crash");
        QTest::addColumn<bool>("hadState");
        // "room": the next open has room; "room, not opened": the next service has room and
        // never opens the picture; "full, then room": the next service still finds the disk
        // full, and one more starts once there is room; "overtaken": another writer changes
        // the state file first.
        QTest::addColumn<QString>("then");
        // Whether the crash comes after the editor was handed back, or while the picture is
        // open after a save of the canvas's was refused.
        QTest::addColumn<bool>("open");
        QTest::newRow("quit, room") << 1 << false << false << "room" << false;
        QTest::newRow("crash, room") << 2 << true << false << "room" << false;
        QTest::newRow("crash over a state, room") << 3 << true << true << "room" << false;
        QTest::newRow("quit over a state, full, then room")
            << 4 << false << true << "full, then room" << false;
        QTest::newRow("crash, full, then room") << 5 << true << false << "full, then room" << false;
        QTest::newRow("crash over a state, overtaken") << 6 << true << true << "overtaken" << false;
        QTest::newRow("quit, overtaken") << 7 << false << false << "overtaken" << false;
        QTest::newRow("crash while open, room") << 8 << true << false << "room" << true;
        QTest::newRow("crash while open over a state, full, then room")
            << 9 << true << true << "full, then room" << true;
        QTest::newRow("crash while open, overtaken") << 10 << true << false << "overtaken" << true;
        // Room at the next start, and the picture is not opened: written all the same.
        QTest::newRow("crash, room, not opened") << 11 << true << false << "room, not opened" << false;
        QTest::newRow("quit over a state, room, not opened")
            << 12 << false << true << "room, not opened" << false;
        QTest::newRow("crash while open, room, not opened")
            << 13 << true << false << "room, not opened" << true;
    }
    void keptEditsOutliveTheServiceInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of keptEditsOutliveTheService");
        QFETCH(int, n);
        QFETCH(bool, crash);
        QFETCH(bool, hadState);
        QFETCH(QString, then);
        QFETCH(bool, open);
        const QString mount = root + QStringLiteral("/full%1").arg(n);
        QVERIFY(ostra::test::mountTmpfs(QStringLiteral("full%1").arg(n), mount, QStringLiteral("size=4m")));
        const QString picture = mount + "/IMG_1.vrx";
        QVERIFY(QFile::copy(m_files[2], picture));
        const QUrl url = QUrl::fromLocalFile(picture);
        if (hadState)
            StateFile::writeRating(url, 3);
        const ostra::test::SavedState before = ostra::test::savedState(picture);
        // The application's own folder, on another disk than the picture.
        QTemporaryDir data;
        const KeptEdits kept(data.path());
        const QUrl key = IImageService::fileKey(url);
        QVERIFY(ostra::test::fillFileSystem(mount));

        if (crash) {
            auto child = ostra::test::startSelf(QStringLiteral("edit-and-crash"),
                { picture, data.path(), QStringLiteral("1.5"), open ? "open" : "handed back" });
            QVERIFY(child->started());
            QVERIFY2(child->finish(), child->err().right(2000).constData());
            QVERIFY2(child->exitStatus() == QProcess::CrashExit,
                qPrintable(QString::number(child->exitCode()) + " " + child->err().right(3000)));
        } else {
            auto locator = std::make_unique<ImageLocator>(2, nullptr);
            locator->setKeptEditsFolder(data.path());
            QSignalSpy notSaved(locator.get(), &ImageLocator::editsNotSaved);
            QVERIFY(openEditHandBack(*locator, url, 1.5));
            QTRY_COMPARE(notSaved.count(), 1);
        }
        QVERIFY(kept.contains(key));
        QCOMPARE(ostra::test::savedState(picture).exists, before.exists);
        QCOMPARE(ostra::test::savedState(picture).exposure, 0.f);

        const QString filler = mount + "/filler";
        double shown = -1;
        if (then == QLatin1String("room")) {
            QVERIFY(QFile::remove(filler));
            ImageLocator locator(2, nullptr);
            locator.setKeptEditsFolder(data.path());
            QVERIFY(openEditHandBack(locator, url, 0, &shown));
            QCOMPARE(shown, 1.5);
            QCOMPARE(ostra::test::savedState(picture).exposure, 1.5f);
        } else if (then == QLatin1String("room, not opened")) {
            QVERIFY(QFile::remove(filler));
            ImageLocator locator(2, nullptr);
            locator.setKeptEditsFolder(data.path());
            QTRY_COMPARE_WITH_TIMEOUT(ostra::test::savedState(picture).exposure, 1.5f, 30000);
            QTRY_VERIFY(!kept.contains(key));
        } else if (then == QLatin1String("full, then room")) {
            {
                // Still full: the picture opens with them, unsaved; they stay kept.
                ImageLocator locator(2, nullptr);
                locator.setKeptEditsFolder(data.path());
                QSignalSpy notSaved(&locator, &ImageLocator::editsNotSaved);
                QVERIFY(openEditHandBack(locator, url, 0, &shown));
                QCOMPARE(shown, 1.5);
                QTRY_COMPARE(notSaved.count(), 1);
                QCOMPARE(ostra::test::savedState(picture).exposure, 0.f);
            }
            QVERIFY(kept.contains(key));
            // Room, and a service that never opens the picture: written all the same.
            QVERIFY(QFile::remove(filler));
            {
                ImageLocator locator(2, nullptr);
                locator.setKeptEditsFolder(data.path());
            }
            QCOMPARE(ostra::test::savedState(picture).exposure, 1.5f);
        } else {
            QVERIFY(QFile::remove(filler));
            StateFile::writeRating(url, 4);
            ImageLocator locator(2, nullptr);
            locator.setKeptEditsFolder(data.path());
            QVERIFY(openEditHandBack(locator, url, 0, &shown));
            QCOMPARE(shown, 0.0);
            QCOMPARE(ostra::test::savedState(picture).rating, 4);
            QCOMPARE(ostra::test::savedState(picture).exposure, 0.f);
        }
        if (hadState && then != QLatin1String("overtaken"))
            QCOMPARE(ostra::test::savedState(picture).rating, 3);
        QVERIFY(!kept.contains(key));
        QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // A tone change made just before the picture is left is saved by the recycle step of
    // the editor handed back. Opening the same picture again meanwhile (the other editor is
    // free) waits for that save instead of reading the older state file. The recycle step
    // is held until the open has either finished or is seen waiting, so both orders of the
    // old race are run every time.
    void reopenWaitsForTheSaveOfTheSamePicture()
    {
        ImageLocator locator(2, nullptr);
        HeldRecycle held; // after the locator: let go before the locator waits for it
        QSemaphore& reached = held.reached;
        QSemaphore& proceed = held.proceed;
        locator.setRecycleProbe([&](ImageEditor&) {
            reached.release();
            proceed.acquire();
        });
        Canvas a;
        Canvas b;
        const QUrl url = QUrl::fromLocalFile(m_files[2]);
        ImageEditor* first = ostra::test::openedForView(locator, url, &a);
        QVERIFY(first);
        const auto exposureOf = [](ImageEditor* editor) {
            return editor->properties()->tuneToneEntry("exposure")->currentValue().toDouble();
        };
        first->properties()->tuneToneEntry("exposure")->setCurrentValue(1.75);
        QVERIFY(first->syncProperties());
        locator.releaseEditorSlot(first, &a);

        std::atomic<bool> opened { false };
        std::thread helper([&] {
            reached.acquire();
            while (!opened.load() && locator.opensWaitingForSave() == 0)
                std::this_thread::yield();
            proceed.release();
        });
        ImageEditor* second = ostra::test::openedForView(locator, url, &b);
        opened = true;
        helper.join();
        QVERIFY(second);
        QCOMPARE(second->currentUrl(), url);
        QCOMPARE(exposureOf(second), 1.75);
        QCOMPARE(locator.opensWaitingForSave(), 0);
        locator.releaseEditorSlot(second, &b);
    }

    // A picture rated while the editor handed back with it is still to save it: the rating
    // is not lost to that forced save, whether the canvas has meanwhile taken the other
    // editor for another picture or not, and the editor being saved is left alone. The
    // recycle step is held until the rating has been asked for.
    void ratingWhileTheEditorHandedBackSaves_data()
    {
        QTest::addColumn<bool>("nextOpened");
        QTest::newRow("canvas on another picture") << true;
        QTest::newRow("canvas empty") << false;
    }
    void ratingWhileTheEditorHandedBackSaves()
    {
        QFETCH(bool, nextOpened);
        ImageLocator locator(2, nullptr);
        HeldRecycle held; // after the locator: let go before the locator waits for it
        QSemaphore& reached = held.reached;
        QSemaphore& proceed = held.proceed;
        std::atomic<int> ratingSeenBySave { -1 };
        locator.setRecycleProbe([&](ImageEditor& editor) {
            if (editor.currentUrl().isEmpty())
                return;
            reached.release();
            proceed.acquire();
            ratingSeenBySave = editor.rating();
        });
        Canvas a;
        Canvas b;
        const QUrl url = QUrl::fromLocalFile(m_files[3]);
        ImageEditor* first = ostra::test::openedForView(locator, url, &a);
        QVERIFY(first);
        first->properties()->tuneToneEntry("exposure")->setCurrentValue(1.25);
        QVERIFY(first->syncProperties());
        locator.releaseEditorSlot(first, &a);
        ImageEditor* second = nullptr;
        if (nextOpened) {
            second = ostra::test::openedForView(locator, QUrl::fromLocalFile(m_files[1]), &b);
            QVERIFY(second && second != first);
        }

        std::atomic<bool> rated { false };
        std::thread helper([&] {
            reached.acquire();
            while (!rated.load() && locator.opensWaitingForSave() == 0)
                std::this_thread::yield();
            proceed.release();
        });
        locator.rate(url, 4);
        rated = true;
        helper.join();
        // The rating is written once the save is over.
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        // Rated after the save: the editor handed back saved what it had, untouched.
        QCOMPARE(ratingSeenBySave.load(), 0);
        // Opening the picture again waits for any save still under way.
        ImageEditor* again = ostra::test::openedForView(locator, url, &a);
        QVERIFY(again);
        QCOMPARE(savedRating(m_files[3]), 4);
        QCOMPARE(again->rating(), 4);
        QCOMPARE(again->properties()->tuneToneEntry("exposure")->currentValue().toDouble(), 1.25);
        QCOMPARE(locator.opensWaitingForSave(), 0);
        locator.releaseEditorSlot(again, &a);
        if (second)
            locator.releaseEditorSlot(second, &b);
    }

    // The recycle probe may be replaced while an editor handed back is recycled on its
    // thread: each recycle runs one probe, the old or the new.
    void recycleProbeReplacedWhileRecycling()
    {
        ImageLocator locator(2, nullptr);
        const QUrl url = QUrl::fromLocalFile(m_files[0]);
        std::atomic<int> probed { 0 };
        const auto probe = [&probed](ImageEditor&) { ++probed; };
        for (int round = 0; round < 3; ++round) {
            locator.setRecycleProbe(probe);
            Canvas canvas;
            ImageEditor* editor = ostra::test::openedForView(locator, url, &canvas);
            QVERIFY(editor);
            locator.releaseEditorSlot(editor, &canvas);
            locator.setRecycleProbe(probe);
        }
        QTRY_COMPARE_WITH_TIMEOUT(probed.load(), 3, 30000);
    }

    // An export asked for right after the editor was handed back (the editor page closed,
    // the gallery's export at once) shows the edits the editor still has to save: the
    // export waits for that save. The recycle step is held until the export has either
    // been written or is seen waiting.
    void exportRightAfterTheHandBack_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("exposure") << "exposure";
        QTest::newRow("quarter turn") << "turn";
        QTest::newRow("crop") << "crop";
    }
    void exportRightAfterTheHandBack()
    {
        QFETCH(QString, edit);
        const QUrl url = QUrl::fromLocalFile(m_files[0]);
        const QString folder = m_dir.filePath(QStringLiteral("exports-") + edit);
        ImageLocator locator(2, nullptr);
        const auto exportDone = [&] {
            return locator.exportListsPending() == 0 && locator.exportQueue()->isIdle()
                && !locator.exportProgress()->active();
        };
        locator.exportImageList(
            { url }, 2, 2, int(Export::Level), QUrl::fromLocalFile(folder), QStringLiteral("before"), false);
        QVERIFY(QTest::qWaitFor(exportDone, 60000));
        const QImage before(folder + QStringLiteral("/before.ppm"));
        QVERIFY(!before.isNull());

        HeldRecycle held; // after the locator: let go before the locator waits for it
        Canvas a;
        ImageEditor* editor = ostra::test::openedForView(locator, url, &a);
        QVERIFY(editor);
        locator.setRecycleProbe([&, editor](ImageEditor& recycled) {
            if (&recycled != editor)
                return;
            held.reached.release();
            held.proceed.acquire();
        });
        if (edit == QLatin1String("exposure")) {
            editor->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
            QVERIFY(editor->syncProperties());
        } else {
            CIAPI::Transform t = editor->renderer().transform();
            if (edit == QLatin1String("turn"))
                t.rotate90(1);
            setTransformCropFromView(
                t, edit == QLatin1String("turn") ? QRectF(0, 0, 1, 1) : QRectF(0.25, 0.25, 0.5, 0.5));
            editor->setTransform(t);
        }
        locator.releaseEditorSlot(editor, &a);
        std::atomic<bool> asked { false };
        std::thread helper([&] {
            held.reached.acquire();
            while (!(asked.load() && (exportDone() || locator.opensWaitingForSave() > 0)))
                std::this_thread::yield();
            held.proceed.release();
        });
        locator.exportImageList(
            { url }, 2, 2, int(Export::Level), QUrl::fromLocalFile(folder), QStringLiteral("after"), false);
        asked = true;
        QVERIFY(QTest::qWaitFor(exportDone, 60000));
        helper.join();
        const QImage after(folder + QStringLiteral("/after.ppm"));
        QVERIFY(!after.isNull());
        if (edit == QLatin1String("exposure"))
            QVERIFY2(meanGrey(after) > meanGrey(before) + 20,
                qPrintable(QStringLiteral("%1 %2").arg(meanGrey(after)).arg(meanGrey(before))));
        else if (edit == QLatin1String("turn"))
            QCOMPARE(after.size(), before.size().transposed());
        else
            QCOMPARE(after.size(), before.size() / 2);
    }

    // A quit while an export of the picture on the canvas waits for the canvas's save: the
    // save ends on its worker, but the news of it would come through the event loop that
    // the quit holds. The quit ends, and the cut export leaves no file.
    void quitWhileAnExportWaitsForTheCanvasSave()
    {
        const QUrl url = QUrl::fromLocalFile(m_files[1]);
        const QString folder = m_dir.filePath(QStringLiteral("exports-quit"));
        auto locator = std::make_unique<ImageLocator>(2, nullptr);
        Canvas a;
        ImageEditor* editor = ostra::test::openedForView(*locator, url, &a);
        QVERIFY(editor);
        editor->properties()->tuneToneEntry("exposure")->setCurrentValue(1.2);
        QVERIFY(editor->syncProperties());
        // The save the export asks for waits for the picture's state, held here.
        auto held = std::make_unique<QLockFile>(StateFile::lockPath(StateFile::pathFor(url)));
        QVERIFY(held->tryLock(0));
        locator->exportImageList(
            { url }, 2, 2, int(Export::Level), QUrl::fromLocalFile(folder), QStringLiteral("quit"), false);
        QVERIFY(QTest::qWaitFor([&] { return locator->opensWaitingForSave() > 0; }, 30000));
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            held.reset();
        });
        locator.reset();
        release.join();
        QVERIFY(!QFile::exists(folder + QStringLiteral("/quit.ppm")));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // A star given while the picture is still being opened (its state already read, the
    // editor not yet showing it) is neither lost to the editor's later forced save nor
    // shown over by the older state: the editor takes it once the picture is open.
    void ratingWhileThePictureOpens()
    {
        ImageLocator locator(2, nullptr);
        HeldRecycle held; // after the locator: let go before the locator waits for it
        locator.setOpenProbe([&](const QUrl&) {
            held.reached.release();
            held.proceed.acquire();
        });
        Canvas a;
        const QUrl url = QUrl::fromLocalFile(m_files[2]);
        ImageEditor* editor = locator.openForView(url, &a);
        QVERIFY(editor);
        QVERIFY(held.reached.tryAcquire(1, 60000));
        QVERIFY(editor->currentUrl().isEmpty());
        locator.rate(url, 4);
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        QCOMPARE(savedRating(m_files[2]), 4);
        held.proceed.release();
        QTRY_COMPARE(editor->currentUrl(), url);
        QCOMPARE(editor->rating(), 4);
        editor->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
        QVERIFY(editor->syncProperties());
        locator.releaseEditorSlot(editor, &a);
        locator.setOpenProbe({});
        held.proceed.release(10);

        // Saved with force on the hand-back: with the star.
        ImageEditor* again = ostra::test::openedForView(locator, url, &a);
        QVERIFY(again);
        QCOMPARE(savedRating(m_files[2]), 4);
        QCOMPARE(again->rating(), 4);
        QCOMPARE(again->properties()->tuneToneEntry("exposure")->currentValue().toDouble(), 1.5);
        locator.releaseEditorSlot(again, &a);
    }

    // A batch edit (a paste on a selection) reaching the picture open in the editor, or
    // handed back and not yet saved: the editor saves with force, so the newer change must
    // not be lost to it, nor the editor's own. Open, the change goes to the editor as an
    // edit of its own; handed back, the batch waits for the save and then writes the file.
    // The recycle step is held until the batch has either written or is seen waiting.
    void batchEditOfThePictureInTheEditor_data()
    {
        QTest::addColumn<bool>("handedBack");
        QTest::newRow("open with the canvas") << false;
        QTest::newRow("handed back, saving") << true;
    }
    void batchEditOfThePictureInTheEditor()
    {
        QFETCH(bool, handedBack);
        ImageLocator locator(2, nullptr);
        HeldRecycle held; // after the locator: let go before the locator waits for it
        QSemaphore& reached = held.reached;
        QSemaphore& proceed = held.proceed;
        if (handedBack) {
            locator.setRecycleProbe([&](ImageEditor& editor) {
                if (editor.currentUrl().isEmpty())
                    return;
                reached.release();
                proceed.acquire();
            });
        }
        std::atomic<bool> batchRead { false };
        locator.patchBatch().setProbe([&](const QUrl&, const char* point) {
            if (QByteArray(point) == "read")
                batchRead = true;
        });
        const auto value = [](ImageEditor* editor, const char* name) {
            return editor->properties()->tuneToneEntry(name)->currentValue().toDouble();
        };
        Canvas a;
        const QUrl url = QUrl::fromLocalFile(m_files[0]);
        ImageEditor* first = ostra::test::openedForView(locator, url, &a);
        QVERIFY(first);
        first->properties()->tuneToneEntry("exposure")->setCurrentValue(1.25);
        QVERIFY(first->syncProperties());
        const double contrastBefore = value(first, "contrast");
        QVERIFY(contrastBefore != 40.0);
        if (handedBack)
            locator.releaseEditorSlot(first, &a);

        std::thread helper([&] {
            if (!handedBack)
                return;
            reached.acquire();
            while (!batchRead.load() && locator.opensWaitingForSave() == 0)
                std::this_thread::yield();
            proceed.release();
        });
        {
            ImageProperties patch;
            const auto contrast = patch.tuneToneEntry("contrast");
            contrast->setCurrentValue(40);
            patch.markTuneTonePatch(contrast.get(), true);
            QVERIFY(locator.applyProperties({ url }, &patch, true));
        }
        ProgressHandler* progress = locator.patchProgressHandler();
        QVERIFY(
            QTest::qWaitFor([&] { return progress->progress() == 1 && !progress->isInProgress(); }, 60000));
        helper.join();
        proceed.release(10); // later recycle steps are not held
        QCOMPARE(locator.patchUndoCount(), 1);
        if (!handedBack) {
            // The canvas takes it like any edit: shown, then saved with the editor's own.
            QCOMPARE(value(first, "contrast"), 40.0);
            QCOMPARE(value(first, "exposure"), 1.25);
            QVERIFY(first->syncProperties());
            locator.releaseEditorSlot(first, &a);
        }
        ImageEditor* again = ostra::test::openedForView(locator, url, &a);
        QVERIFY(again);
        QCOMPARE(value(again, "contrast"), 40.0);
        QCOMPARE(value(again, "exposure"), 1.25);

        // Undone while open, the paste leaves the editor's own change.
        locator.undoPatch();
        QVERIFY(QTest::qWaitFor(
            [&] { return locator.patchUndoCount() == 0 && !progress->isInProgress(); }, 60000));
        QCOMPARE(value(again, "contrast"), contrastBefore);
        QVERIFY(again->syncProperties());
        locator.releaseEditorSlot(again, &a);
        again = ostra::test::openedForView(locator, url, &a);
        QVERIFY(again);
        QCOMPARE(value(again, "contrast"), contrastBefore);
        QCOMPARE(value(again, "exposure"), 1.25);
        locator.releaseEditorSlot(again, &a);
    }

    // Handing back an editor detaches every remaining listener before its recycle step;
    // an editor that is not one of the pool only loses the client.
    void handBackDetachesOthers()
    {
        ImageLocator locator(2, nullptr);
        Canvas owner;
        Canvas watcher;
        std::atomic<int> detachedBeforeRecycle { -1 };
        locator.setRecycleProbe(
            [&](ImageEditor&) { detachedBeforeRecycle = int(watcher.detachedFrom.size()); });
        ImageEditor* editor = ostra::test::openedForView(locator, QUrl::fromLocalFile(m_files[3]), &owner);
        editor->addListener(&watcher);
        locator.releaseEditorSlot(editor, &owner);
        QCOMPARE(watcher.detachedFrom, QList<ImageRouter*> { editor });
        QVERIFY(owner.detachedFrom.isEmpty());
        QTRY_COMPARE(detachedBeforeRecycle.load(), 1);

        ImageEditor foreign;
        Canvas other;
        foreign.addListener(&other);
        locator.releaseEditorSlot(&foreign, &other);
        QVERIFY(!foreign.hasListener(&other));
        QVERIFY(other.detachedFrom.isEmpty());
        locator.releaseEditorSlot(nullptr, &other);
    }

    // Shutting down while an export is queued and an editor lent, with no event loop
    // running any more: it ends, and what was edited is saved.
    void shutdownWithWorkInFlight()
    {
        auto* locator = new ImageLocator(2, nullptr);
        Metahistory store(m_dir.path() + "/meta.db", m_dir.path());
        locator->setMetahistory(&store);
        Canvas canvas;
        ImageEditor* editor = ostra::test::openedForView(*locator, QUrl::fromLocalFile(m_files[1]), &canvas);
        QVERIFY(editor->setRating(2));
        const QString out = m_dir.path() + "/export.jpg";
        const std::shared_ptr<ImageKeeper> keeper = locator->keeperFor(QUrl::fromLocalFile(m_files[3]));
        const Export::SizeSpec size { Export::Literal, 0, QSize(64, 48) };
        if (locator->exportQueue()->enqueue(keeper->url(), keeper->streamSource(), 0, out, size, 0))
            locator->exportQueue()->setWriter(editor);
        delete locator;
        QCOMPARE(savedRating(m_files[1]), 2);
        // The export was either written whole or not at all.
        QVERIFY(!QFile::exists(out + ".transfer"));
        if (QFile::exists(out))
            QVERIFY(QFileInfo(out).size() > 0);
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(OSTRA_TEST_APPLICATION, TestEditorSessions, childMain)
#include "tst_editorsessions.moc"
