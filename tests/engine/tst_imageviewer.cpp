#include "engine/channelorder.h"
#include "engine/exportrequest.h"
#include "engine/imageeditor.h"
#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "engine/statefile.h"
#include "engine/streameditor.h"
#include "engine/streamsource.h"

#include "ciapi/bytesource.h"
#include "ciapi/deptheditor.h"
#include "ciapi/renderer.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/vrx/vrximage.h"

#include "support/filebytes.h"
#include "support/filetree.h"
#include "support/heldlockfile.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/picturefiles.h"
#include "support/recordingcanvas.h"
#include "support/rescuewatchdog.h"
#include "support/savedstate.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

using ostra::test::PictureFiles;

using ostra::test::fileBytes;

namespace {

constexpr int kWait = 120000; // an upper bound for engine work, not a measurement

// A canvas listening to the viewer from the start.
struct RecordingClient : ostra::test::RecordingCanvas
{
    explicit RecordingClient(ImageViewer& viewer) { viewer.addListener(this); }
};

std::shared_ptr<StreamPart> sourceOf(const QString& path)
{
    return std::make_shared<StreamSource>(QUrl::fromLocalFile(path));
}

bool waitFor(const std::function<bool()>& condition)
{
    return QTest::qWaitFor(condition, kWait);
}

} // namespace

class TestImageViewer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_good;
    QString m_other;
    QString m_incompatible;
    QString m_truncated;
    QString m_empty;
    FilePerm m_perm;

    bool open(ImageViewer& viewer, const QString& path)
    {
        viewer.setFilePerm(&m_perm);
        return viewer.loadImageWithState(
            QUrl::fromLocalFile(path), sourceOf(path), {}, 0, ChannelOrder::kGlBgra);
    }

    // A picture with saved edits in a folder of its own.
    QString editedPicture(const QString& folder, const QString& name, std::uint32_t seed)
    {
        if (!QDir().mkpath(folder))
            return {};
        const QString path = PictureFiles::write(folder, name, PictureFiles::small(seed));
        ImageEditor editor;
        if (path.isEmpty() || !open(editor, path))
            return {};
        editor.properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
        const bool saved = editor.syncProperties() && editor.serializeCurrentState(true);
        editor.closeImage();
        return saved ? path : QString();
    }

    void openInBackground(ImageViewer& viewer, const QString& path)
    {
        viewer.setFilePerm(&m_perm);
        viewer.openInBackground(QUrl::fromLocalFile(path), sourceOf(path), {}, 0, ChannelOrder::kGlBgra);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // The opens made here on the GUI thread look their files' keys up on a thread of
        // their own and give up after a bounded wait, as for a drive that does not answer;
        // on a loaded machine the default wait can pass for a local file that answers.
        m_perm.setGuiKeyWait(10000);
        m_good = PictureFiles::write(m_dir.path(), "good.vrx", PictureFiles::small(3));
        m_other = PictureFiles::write(m_dir.path(), "other.vrx", PictureFiles::small(4));
        auto incompatible = PictureFiles::small(5);
        incompatible.majorVersion = 2;
        m_incompatible = PictureFiles::write(m_dir.path(), "incompatible.vrx", incompatible);
        const vrxgen::Picture whole = vrxgen::makePicture(PictureFiles::small(6));
        vrxgen::Picture cut = whole;
        cut.vrx.resize(whole.vrx.size() / 2);
        m_truncated = PictureFiles::write(m_dir.path(), "truncated.vrx", cut);
        vrxgen::Picture none = whole;
        none.vrx.clear();
        m_empty = PictureFiles::write(m_dir.path(), "empty.vrx", none);
        QVERIFY(!m_good.isEmpty() && !m_truncated.isEmpty() && !m_empty.isEmpty());
    }

    void opensAndClosesACompatiblePicture()
    {
        ImageViewer viewer;
        QVERIFY(open(viewer, m_good));
        const QUrl url = QUrl::fromLocalFile(m_good);
        QCOMPARE(viewer.currentUrl(), url);
        // The open picture holds a reader's share of its file.
        QCOMPARE(m_perm.available(m_good), FilePerm::kExclusive - 1);
        QCOMPARE(viewer.renderer().getProperty(CIAPI::IntParam::ChannelOrderBGRA), 1);
        QCOMPARE(viewer.renderer().getProperty(CIAPI::IntParam::EagerDepth), 1);

        RecordingClient client(viewer);
        viewer.renderLevel(-1, 1);
        QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
        const VrxMessage first = client.outputs.first();
        QCOMPARE(first.location, url);
        QCOMPARE(first.level, viewer.renderer().outputBuffer().levelCount() - 1);
        QVERIFY(first.pyramid == viewer.renderer().outputBuffer());
        // The lowest level on its own, as the gallery asks for it, in a viewer of its own.
        ImageViewer lowest;
        RecordingClient low(lowest);
        QVERIFY(open(lowest, m_other));
        lowest.renderLowestLevel();
        QVERIFY(waitFor([&] { return !low.outputs.isEmpty(); }));
        QCOMPARE(low.outputs.first().level, lowest.renderer().outputBuffer().levelCount() - 1);

        viewer.closeImage();
        QVERIFY(viewer.currentUrl().isEmpty());
        QCOMPARE(m_perm.available(m_good), FilePerm::kExclusive);
        // A closed viewer renders nothing and does not fail.
        const int before = client.outputs.size();
        viewer.renderLevel(0, 1);
        viewer.renderLevel(-1, 1);
        viewer.renderLowestLevel();
        QTest::qWait(50);
        QCOMPARE(client.outputs.size(), before);
    }

    void captureTimeOfAnyClock_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("shown");
        QTest::newRow("ordinary") << qint64(1600000000) << -300 << true;
        QTest::newRow("largest offset") << qint64(1600000000) << std::numeric_limits<int>::max() << false;
        QTest::newRow("largest clock") << std::numeric_limits<qint64>::max() << 0 << false;
    }

    // The editor shows the time a camera clock can have said, and none for a damaged or
    // forged one (never a wrapped date).
    void captureTimeOfAnyClock()
    {
        QFETCH(qint64, seconds);
        QFETCH(int, offset);
        QFETCH(bool, shown);
        auto options = PictureFiles::small(7);
        options.captureTime = seconds;
        options.utcOffsetMinutes = offset;
        const QString path = PictureFiles::write(m_dir.path(), QStringLiteral("clock.vrx"), options);
        ImageViewer viewer;
        QVERIFY(open(viewer, path));
        QCOMPARE(viewer.captureTime().isValid(), shown);
        if (shown) {
            QCOMPARE(viewer.captureTime().toSecsSinceEpoch(), seconds);
            QCOMPARE(viewer.captureTime().offsetFromUtc(), offset * 60);
        }
        viewer.closeImage();
    }

    void unreadableFilesLeaveTheViewerClosed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("truncated") << m_truncated;
        QTest::newRow("empty") << m_empty;
        QTest::newRow("missing") << m_dir.filePath("missing.vrx");
        QTest::newRow("of a newer version") << m_incompatible;
    }

    void unreadableFilesLeaveTheViewerClosed()
    {
        QFETCH(QString, path);
        ImageViewer viewer;
        RecordingClient client(viewer);
        QVERIFY(!open(viewer, path));
        QVERIFY(viewer.currentUrl().isEmpty());
        QCOMPARE(m_perm.available(path), FilePerm::kExclusive);
        QVERIFY(waitFor([&] { return !client.invalid.isEmpty(); }));
        QCOMPARE(client.invalid, QList<QUrl> { QUrl::fromLocalFile(path) });
        // The viewer is usable for the next picture.
        QVERIFY(open(viewer, m_good));
        viewer.closeImage();
    }

    // A picture locked by a writer is busy, not unreadable: it opens once the lock is free,
    // unless another picture was opened meanwhile.
    void busyPictureOpensWhenReleased()
    {
        m_perm.setGuiWaitLimit(50);
        const QUrl url = QUrl::fromLocalFile(m_good);
        ImageViewer viewer;
        RecordingClient client(viewer);
        QSignalSpy busy(&viewer, &ImageViewer::notifyFileBusySignal);
        FileToken writer = m_perm.tryAcquireFileSemaphore(m_good, FilePerm::kExclusive, 0);
        QVERIFY(writer);
        QVERIFY(!open(viewer, m_good));
        QCOMPARE(busy.count(), 1);
        // Waiting for the file, not for its state: the canvas does not keep loading.
        QVERIFY(viewer.pendingStateUrl().isEmpty());
        QTest::qWait(3 * ImageViewer::kBusyRetryMs);
        QVERIFY(client.invalid.isEmpty());
        QVERIFY(viewer.currentUrl().isEmpty());
        writer.reset();
        QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
        QCOMPARE(viewer.currentUrl(), url);
        QCOMPARE(client.outputs.first().location, url);

        writer = m_perm.tryAcquireFileSemaphore(m_other, FilePerm::kExclusive, 0);
        QVERIFY(!open(viewer, m_other));
        QVERIFY(open(viewer, m_good));
        writer.reset();
        QTest::qWait(3 * ImageViewer::kBusyRetryMs);
        QCOMPARE(viewer.currentUrl(), url);
        QVERIFY(client.invalid.isEmpty());
        viewer.closeImage();
        m_perm.setGuiWaitLimit(FilePerm::kDefaultGuiWaitMs);
    }

    // A writer (a batch edit, a rating) holding the state file's lock does not hold the
    // window: the open leaves the picture to the event loop, which keeps turning, and the
    // picture opens with its saved state once the writer lets go, never without it.
    void stateHeldByAWriterOpensWhenReleased_data()
    {
        QTest::addColumn<bool>("readable");
        QTest::newRow("state") << true;
        QTest::newRow("unreadable state") << false;
    }

    void stateHeldByAWriterOpensWhenReleased()
    {
        QFETCH(bool, readable);
        const QString path = PictureFiles::write(m_dir.path(),
            QStringLiteral("held%1.vrx").arg(readable ? "" : "bad"), PictureFiles::small(readable ? 10 : 12));
        const QUrl url = QUrl::fromLocalFile(path);
        const QString statePath = stateFilePathFor(url);
        if (readable) {
            ImageEditor editor;
            QVERIFY(open(editor, path));
            editor.properties()->tuneToneEntry("exposure")->setCurrentValue(0.75);
            QVERIFY(editor.syncProperties());
            QVERIFY(editor.serializeCurrentState(true));
            editor.closeImage();
        } else {
            QVERIFY(ostra::test::writeTreeFile(statePath, QByteArray(4096, '\x5A')));
        }

        ImageEditor editor;
        RecordingClient client(editor);
        QSignalSpy busy(&editor, &ImageViewer::notifyFileBusySignal);
        QSignalSpy opened(&editor, &ImageViewer::notifyFileOpenedSignal);
        auto writer = std::make_unique<ostra::test::HeldLockFile>(StateFile::lockPath(statePath));
        QVERIFY(writer->held());
        ostra::test::RescueWatchdog watchdog([&] { writer->release(); });
        QVERIFY(!open(editor, path));
        QCOMPARE(busy.count(), 1);
        QVERIFY(editor.currentUrl().isEmpty());
        QCOMPARE(editor.pendingStateUrl(), url);
        // The event loop turns while the writer holds on, through several retries.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QVERIFY(waitFor([&] { return ticks >= 3 * ImageViewer::kBusyRetryMs / 10; }));
        QVERIFY(editor.currentUrl().isEmpty());
        QVERIFY(client.outputs.isEmpty() && client.invalid.isEmpty() && opened.isEmpty());
        writer->release();
        QVERIFY(watchdog.end());

        QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
        QCOMPARE(opened.count(), 1);
        QCOMPARE(opened.at(0).at(0).toUrl(), url);
        QCOMPARE(editor.currentUrl(), url);
        QCOMPARE(client.outputs.first().location, url);
        QVERIFY(client.invalid.isEmpty());
        if (readable) {
            QCOMPARE(editor.properties()->tuneToneEntry("exposure")->currentValue().toFloat(), 0.75f);
            QVERIFY(editor.stateSize() > 0);
        } else {
            QCOMPARE(editor.stateSize(), qint64(-1));
            QVERIFY(editor.properties()->isTuneToneOriginal());
        }
        writer.reset();

        // Given back while it waits, the editor opens nothing when the writer lets go.
        writer = std::make_unique<ostra::test::HeldLockFile>(StateFile::lockPath(statePath));
        QVERIFY(!open(editor, path));
        editor.cancelPendingOpen();
        writer.reset();
        QTest::qWait(3 * ImageViewer::kBusyRetryMs);
        QVERIFY(editor.currentUrl().isEmpty());
        QCOMPARE(opened.count(), 1);
    }

    // A picture on a volume that does not answer: every open of its folder is held. The
    // window's thread goes on turning its event loop meanwhile, the picture is not open
    // (nothing can be saved over its state), and it shows with its saved edits once the
    // volume answers.
    void backgroundOpenHeldByTheFileSystem()
    {
        const QString folder = m_dir.filePath("slow");
        const QString path = editedPicture(folder, "slow.vrx", 13);
        QVERIFY(!path.isEmpty());
        const QUrl url = QUrl::fromLocalFile(path);
        const QByteArray state = fileBytes(stateFilePathFor(url));
        ostra::test::HeldOpens held(folder);
        if (!held.isValid())
            QSKIP("holding opens needs a fanotify permission mark (root)");
        held.close();

        ImageEditor editor;
        RecordingClient client(editor);
        QSignalSpy opened(&editor, &ImageViewer::notifyFileOpenedSignal);
        openInBackground(editor, path);
        QCOMPARE(editor.openingUrl(), url);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(10);
        QVERIFY(waitFor([&] { return held.held() >= 1 && ticks >= 20; }));
        QVERIFY(editor.currentUrl().isEmpty());
        QVERIFY(opened.isEmpty() && client.outputs.isEmpty() && client.invalid.isEmpty());
        // Edits of a picture that is not open yet reach nothing on disk.
        editor.setRating(5);
        QVERIFY(!editor.serializeCurrentState(true));
        QCOMPARE(editor.openingUrl(), url);

        held.open();
        QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
        QCOMPARE(opened.count(), 1);
        QCOMPARE(opened.at(0).at(0).toUrl(), url);
        QCOMPARE(editor.currentUrl(), url);
        QVERIFY(editor.openingUrl().isEmpty());
        QCOMPARE(editor.properties()->tuneToneEntry("exposure")->currentValue().toFloat(), 0.75f);
        QVERIFY(editor.stateSize() > 0);
        QCOMPARE(editor.rating(), 0);
        QVERIFY(!editor.contentDirty() && !editor.ratingDirty());
        QCOMPARE(m_perm.available(path), FilePerm::kExclusive - 1);
        editor.closeImage();
        QCOMPARE(m_perm.available(path), FilePerm::kExclusive);
        QCOMPARE(fileBytes(stateFilePathFor(url)), state);
    }

    // An open whose files were read but whose result is not back yet is overtaken: by the
    // open of another picture, a close, or the canvas handing the editor back. Its late
    // result is dropped with everything it holds, and the viewer shows what it should.
    void overtakenBackgroundOpenIsDropped_data()
    {
        QTest::addColumn<QString>("overtaking");
        QTest::newRow("another picture") << "other";
        QTest::newRow("closed") << "close";
        QTest::newRow("open cancelled") << "cancel";
        QTest::newRow("opened in the foreground") << "load";
    }

    void overtakenBackgroundOpenIsDropped()
    {
        QFETCH(QString, overtaking);
        const QString folder = m_dir.filePath("overtaken-" + overtaking);
        const QString first = editedPicture(folder, "first.vrx", 14);
        const QString second = PictureFiles::write(folder, "second.vrx", PictureFiles::small(15));
        QVERIFY(!first.isEmpty() && !second.isEmpty());
        const QUrl firstUrl = QUrl::fromLocalFile(first);
        const QUrl secondUrl = QUrl::fromLocalFile(second);

        ImageEditor editor;
        RecordingClient client(editor);
        QSignalSpy opened(&editor, &ImageViewer::notifyFileOpenedSignal);
        QSemaphore reached;
        QSemaphore proceed;
        ostra::test::RescueWatchdog watchdog([&] { proceed.release(10); });
        editor.setOpenProbe([&](const QUrl& url) {
            if (url == firstUrl) {
                reached.release();
                proceed.acquire();
            }
        });
        openInBackground(editor, first);
        QVERIFY(reached.tryAcquire(1, kWait));
        // Read and held by the worker: its token too.
        QCOMPARE(m_perm.available(first), FilePerm::kExclusive - 1);

        if (overtaking == "other") {
            openInBackground(editor, second);
            QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
            QCOMPARE(editor.currentUrl(), secondUrl);
        } else if (overtaking == "close") {
            editor.closeImage();
        } else if (overtaking == "cancel") {
            editor.cancelPendingOpen();
        } else {
            QVERIFY(open(editor, second));
        }
        QVERIFY(editor.openingUrl().isEmpty());
        proceed.release();
        QVERIFY(watchdog.end());
        // Dropped when it came back: its token went with it.
        QVERIFY(waitFor([&] { return m_perm.available(first) == FilePerm::kExclusive; }));
        QTest::qWait(50);
        const bool secondShown = overtaking == "other" || overtaking == "load";
        QCOMPARE(editor.currentUrl(), secondShown ? secondUrl : QUrl());
        QCOMPARE(opened.count(), overtaking == "other" ? 1 : 0);
        if (!opened.isEmpty())
            QCOMPARE(opened.at(0).at(0).toUrl(), secondUrl);
        for (const VrxMessage& output : qAsConst(client.outputs))
            QCOMPARE(output.location, secondUrl);
        QVERIFY(client.invalid.isEmpty());
        if (secondShown) {
            // The second picture's own values, not the first one's saved edits.
            QVERIFY(editor.properties()->isTuneToneOriginal());
            QCOMPARE(editor.stateSize(), qint64(-1));
        }
        editor.closeImage();
        QCOMPARE(m_perm.available(second), FilePerm::kExclusive);
    }

    // The file goes while it is being opened (a remover holding it, or a volume that
    // answers late): no crash, no half-open picture; removed before it was read, the
    // listeners are told it cannot be read, and nothing is held any more.
    void fileRemovedWhileOpening_data()
    {
        QTest::addColumn<bool>("onTheFileSystem");
        QTest::newRow("held by a remover") << false;
        QTest::newRow("held by the volume") << true;
    }

    void fileRemovedWhileOpening()
    {
        QFETCH(bool, onTheFileSystem);
        const QString folder = m_dir.filePath(onTheFileSystem ? "removed-volume" : "removed-writer");
        const QString path = editedPicture(folder, "gone.vrx", 16);
        QVERIFY(!path.isEmpty());
        const QUrl url = QUrl::fromLocalFile(path);
        std::unique_ptr<ostra::test::HeldOpens> held;
        FileToken remover;
        if (onTheFileSystem) {
            held = std::make_unique<ostra::test::HeldOpens>(folder);
            if (!held->isValid())
                QSKIP("holding opens needs a fanotify permission mark (root)");
            held->close();
        } else {
            remover = m_perm.tryAcquireFileSemaphore(path, FilePerm::kExclusive, 0);
            QVERIFY(remover);
        }
        ImageEditor editor;
        RecordingClient client(editor);
        QSignalSpy opened(&editor, &ImageViewer::notifyFileOpenedSignal);
        openInBackground(editor, path);
        if (held)
            QVERIFY(waitFor([&] { return held->held() >= 1; }));
        else
            QTest::qWait(3 * PictureOpen::kPollMs);
        QCOMPARE(editor.openingUrl(), url);
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::remove(stateFilePathFor(url)));
        if (held)
            held->open();
        remover.reset();
        QVERIFY(waitFor([&] { return editor.openingUrl().isEmpty(); }));
        QTest::qWait(50);
        if (onTheFileSystem) {
            // Its open had reached the file before it went: what it reads is whole.
            QCOMPARE(opened.count(), 1);
            QCOMPARE(editor.currentUrl(), url);
            QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
            QVERIFY(client.invalid.isEmpty());
            editor.closeImage();
        } else {
            QCOMPARE(client.invalid, QList<QUrl> { url });
            QVERIFY(opened.isEmpty() && client.outputs.isEmpty());
            QVERIFY(editor.currentUrl().isEmpty());
        }
        QCOMPARE(m_perm.available(path), FilePerm::kExclusive);
        QVERIFY(!QFile::exists(stateFilePathFor(url)));
    }

    // A save made while another still runs on its worker comes after it, so the older
    // state never lands over the newer one; the changes of the first count as unsaved until
    // it is over.
    void saveWaitsForTheSaveUnderWay()
    {
        const QString path = PictureFiles::write(m_dir.path(), "ordered.vrx", PictureFiles::small(17));
        const QUrl url = QUrl::fromLocalFile(path);
        ImageEditor editor;
        QVERIFY(open(editor, path));
        const auto exposure = editor.properties()->tuneToneEntry("exposure");
        exposure->setCurrentValue(0.5);
        QVERIFY(editor.syncProperties());
        auto writer = std::make_unique<ostra::test::HeldLockFile>(StateFile::lockPath(stateFilePathFor(url)));
        QVERIFY(writer->held());
        QSignalSpy updated(&editor, &ImageViewer::notifyFileUpdatedSignal);
        QVERIFY(editor.saveInBackground(true));
        QVERIFY(editor.isSaving() && editor.contentDirty());
        QVERIFY(!editor.saveInBackground(true)); // one at a time
        exposure->setCurrentValue(1.0);
        QVERIFY(editor.syncProperties());
        // Let go once this thread is saving (the order does not depend on when).
        struct Joined
        {
            std::thread thread;
            ~Joined() { thread.join(); }
        } release { std::thread([&writer] {
            QThread::msleep(300);
            writer->release();
        }) };
        QVERIFY(editor.serializeCurrentState(true, nullptr, 0));
        QVERIFY(!editor.isSaving() && !editor.contentDirty());
        QCOMPARE(updated.count(), 2);
        editor.closeImage();
        ImageEditor again;
        QVERIFY(open(again, path));
        QCOMPARE(again.properties()->tuneToneEntry("exposure")->currentValue().toFloat(), 1.0f);
        again.closeImage();
    }

    void unreadableStateOpensWithoutTheSavedEdits()
    {
        const QString path = PictureFiles::write(m_dir.path(), "badstate.vrx", PictureFiles::small(7));
        QFile state(stateFilePathFor(QUrl::fromLocalFile(path)));
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write(QByteArray(4096, '\x5A'));
        state.close();

        ImageEditor editor;
        QVERIFY(open(editor, path));
        QCOMPARE(editor.currentUrl(), QUrl::fromLocalFile(path));
        QCOMPARE(editor.stateSize(), qint64(-1));
        QVERIFY(editor.stateTime().isNull());
        QVERIFY(editor.properties()->isTuneToneOriginal());
        QVERIFY(!editor.contentDirty() && !editor.serializeCurrentState(false));
        // The depth editor was rebuilt with the renderer: edits reach the new one.
        CIAPI::Renderer* renderer = &editor.renderer();
        bool ran = false;
        QVERIFY(editor.applyJob([&](CIAPI::DepthEditor& e) {
            e.resetQuickSelect();
            ran = true;
        }));
        QVERIFY(ran);
        QVERIFY(renderer == &editor.renderer());
        QVERIFY(editor.contentDirty());
        QVERIFY(!editor.applyJob({}));
        QVERIFY(!editor.applyJob([](CIAPI::DepthEditor&) { throw std::runtime_error("no"); }));

        RecordingClient client(editor);
        editor.renderLevel(-1, 1);
        QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
        editor.closeImage();
    }

    // A state file whose depth is damaged: the picture opens with what the rest of the file
    // says (tone, rating), and the first save over the file keeps its bytes beside it.
    void damagedStateIsNeitherDroppedNorLost()
    {
        const QString path = PictureFiles::write(m_dir.path(), "IMG #2 %41.vrx", PictureFiles::small(9));
        const QString statePath = stateFilePathFor(QUrl::fromLocalFile(path));
        CIAPI::state::EngineState damaged;
        {
            QFile raw(path);
            QVERIFY(raw.open(QIODevice::ReadOnly));
            const QByteArray bytes = raw.readAll();
            damaged.imageId = CIAPI::vrx::VrxImage::open(
                CIAPI::ByteSource::fromMemory(bytes.constData(), size_t(bytes.size())))
                                  ->metadata()
                                  .imageUuid;
        }
        damaged.rating = 3;
        damaged.tuneFloats = std::map<int, float> { { int(CIAPI::FloatParam::Exposure), 0.75f } };
        CIAPI::state::DepthState depth;
        depth.type = 2;
        depth.map.width = 1; // not the picture's depth size
        depth.map.height = 1;
        depth.map.depth = { 1.f };
        damaged.depth = depth;
        const std::vector<std::uint8_t> bytes = CIAPI::state::StateCodec::write(damaged);
        const QByteArray old(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
        QVERIFY(ostra::test::writeTreeFile(statePath, old));

        ImageEditor editor;
        QVERIFY(open(editor, path));
        QCOMPARE(editor.rating(), 3);
        QCOMPARE(editor.properties()->tuneToneEntry("exposure")->currentValue().toFloat(), 0.75f);
        // An unforced save leaves the file it could not read alone.
        editor.properties()->tuneToneEntry("contrast")->setCurrentValue(20);
        QVERIFY(editor.syncProperties());
        QVERIFY(!editor.serializeCurrentState(false));
        QCOMPARE(fileBytes(statePath), old);
        // The editor's own save writes over it, once the old bytes are kept.
        QVERIFY(editor.serializeCurrentState(true));
        QCOMPARE(fileBytes(statePath + ".unreadable"), old);
        editor.closeImage();
        const ostra::test::SavedState saved = ostra::test::savedState(path);
        QCOMPARE(saved.rating, 3);
        QCOMPARE(saved.exposure, 0.75f);

        // Read well now: nothing more is kept aside.
        QVERIFY(open(editor, path));
        editor.properties()->tuneToneEntry("contrast")->setCurrentValue(30);
        QVERIFY(editor.syncProperties());
        QVERIFY(editor.serializeCurrentState(true));
        editor.closeImage();
        QCOMPARE(QDir(m_dir.path()).entryList({ QStringLiteral("IMG #2 %41.*") }, QDir::Files | QDir::Hidden),
            QStringList({ "IMG #2 %41.vrx", "IMG #2 %41.vrxs", "IMG #2 %41.vrxs.unreadable" }));

        // A record damaged in the middle: what comes before it is shown, and what comes
        // after it (a later rating) is kept aside before the file is written over.
        CIAPI::state::EngineState first;
        first.imageId = damaged.imageId;
        first.rating = 2;
        CIAPI::state::EngineState later = first;
        later.rating = 5;
        const auto a = CIAPI::state::StateCodec::write(first);
        auto b = CIAPI::state::StateCodec::write(first);
        b.back() ^= 0x40;
        const auto c = CIAPI::state::StateCodec::write(later);
        QByteArray torn;
        for (const std::vector<std::uint8_t>& part : { a, b, c })
            torn.append(reinterpret_cast<const char*>(part.data()), int(part.size()));
        QVERIFY(QFile::remove(statePath + ".unreadable"));
        QVERIFY(ostra::test::writeTreeFile(statePath, torn));
        QVERIFY(open(editor, path));
        QCOMPARE(editor.rating(), 2);
        QVERIFY(editor.setRating(4));
        QVERIFY(editor.serializeCurrentState(false));
        editor.closeImage();
        QCOMPARE(fileBytes(statePath + ".unreadable"), torn);
        QCOMPARE(ostra::test::savedState(path).rating, 4);
    }

    // Opening is no change: nothing is saved. A new rating alone is saved as metadata, not
    // new content; edits then as content. Both come back on the next open as current values,
    // while the original values stay those of the unedited picture.
    void ratingAndEditsRoundTripThroughTheStateFile()
    {
        const QString path = PictureFiles::write(m_dir.path(), "edited.vrx", PictureFiles::small(8));
        QString originalExposure;
        {
            ImageEditor editor;
            QVERIFY(open(editor, path));
            QVERIFY(!editor.ratingDirty() && !editor.contentDirty());
            QVERIFY(!editor.serializeCurrentState(true));
            QVERIFY(!QFileInfo::exists(stateFilePathFor(QUrl::fromLocalFile(path))));
            QSignalSpy rating(&editor, &ImageEditor::ratingChanged);
            QVERIFY(!editor.setRating(editor.rating()));
            QVERIFY(editor.setRating(4));
            QCOMPARE(rating.count(), 1);
            QVERIFY(editor.ratingDirty() && !editor.contentDirty());
            QSignalSpy metadata(&editor, &ImageViewer::notifyFileMetadataSignal);
            QSignalSpy updated(&editor, &ImageViewer::notifyFileUpdatedSignal);
            QVERIFY(editor.serializeCurrentState(false));
            QCOMPARE(updated.count(), 0);
            QCOMPARE(metadata.count(), 1);
            const VrxMetadata record = metadata.at(0).at(0).value<VrxMetadata>();
            QCOMPARE(record.depthType, 2);
            QCOMPARE(record.userRating, 4);
            QCOMPARE(record.location, QUrl::fromLocalFile(path));
            // The picture's own facts, read from the engine, not the blank of an unread file.
            QVERIFY(!record.invalid && !record.imageUuid.isNull());

            auto exposure = editor.properties()->tuneToneEntry("exposure");
            originalExposure = exposure->originalValue().toString();
            exposure->setCurrentValue(1.25);
            QVERIFY(editor.syncProperties());
            QVERIFY(!editor.syncProperties()); // nothing differs any more
            CIAPI::Transform t = editor.properties()->transformProperties();
            t.rotate90(1);
            editor.setTransform(t);
            QVERIFY(editor.serializeCurrentState(false));
            QCOMPARE(updated.count(), 1);
            QVERIFY(!editor.contentDirty() && !editor.ratingDirty());
            QVERIFY(editor.stateSize() > 0);
            // Nothing dirty: nothing written, even when forced.
            QVERIFY(!editor.serializeCurrentState(true));
            editor.closeImage();
        }
        ImageEditor again;
        QVERIFY(open(again, path));
        QVERIFY(!again.ratingDirty());
        QCOMPARE(again.rating(), 4);
        QVERIFY(again.stateSize() > 0);
        QVERIFY(!again.stateTime().isNull());
        auto exposure = again.properties()->tuneToneEntry("exposure");
        QCOMPARE(exposure->currentValue().toFloat(), 1.25f);
        QCOMPARE(exposure->originalValue().toString(), originalExposure);
        QVERIFY(!again.properties()->isTuneToneOriginal());
        const int turned = again.properties()->transform().rotation()->currentValue().toInt();
        const int unturned = again.properties()->transform().rotation()->originalValue().toInt();
        QCOMPARE((turned - unturned + 360) % 360, 270);
        QVERIFY(!again.properties()->differsFromRenderer(again.renderer()));
        again.closeImage();
    }

    // A rating saved alone leaves the picture's depth edits in its state file, and the
    // record the gallery takes from that save says so.
    void ratingSavedAloneKeepsTheDepthEdits()
    {
        const QString path = PictureFiles::write(m_dir.path(), "depthedited.vrx", PictureFiles::small(9));
        {
            ImageEditor editor;
            QVERIFY(open(editor, path));
            QVERIFY(!editor.hasDepthEdits());
            QVERIFY(editor.applyJob([](CIAPI::DepthEditor& e) { e.enableFaceMatting(true); }));
            QVERIFY(editor.serializeCurrentState(true));
            editor.closeImage();
        }
        ImageEditor editor;
        QVERIFY(open(editor, path));
        QVERIFY(editor.hasDepthEdits());
        QVERIFY(editor.setRating(3));
        QVERIFY(!editor.contentDirty());
        QSignalSpy metadata(&editor, &ImageViewer::notifyFileMetadataSignal);
        QVERIFY(editor.serializeCurrentState(false));
        QCOMPARE(metadata.count(), 1);
        const VrxMetadata record = metadata.at(0).at(0).value<VrxMetadata>();
        QCOMPARE(record.userRating, 3);
        QVERIFY(record.hasDepthEdits);
        editor.closeImage();
        // As the file says.
        ImageEditor again;
        QVERIFY(open(again, path));
        QVERIFY(again.hasDepthEdits());
        QCOMPARE(again.rating(), 3);
        again.closeImage();
    }

    // After a close or a new open no output of the previous picture reaches a listener,
    // even when it was produced before and is still on its way.
    void listenersReportProgressAndDepth()
    {
        ImageEditor editor;
        // Emitted on the engine's threads and taken on this one (a spy would be filled there
        // while this thread reads it).
        QList<int> progress;
        QList<bool> busy;
        int dof = 0;
        QObject taker; // goes first: nothing queued to it runs once the test is over
        connect(&editor, &ImageViewer::updateDepthProgressSignal, &taker, [&](int p) { progress << p; });
        connect(&editor, &ImageViewer::setBusyIndicatorSignal, &taker, [&](bool b) { busy << b; });
        connect(&editor, &ImageEditor::depthForDOFAvailableSignal, &taker, [&] { ++dof; });
        QVERIFY(open(editor, m_good));
        QVERIFY(!editor.isLoaded());
        RecordingClient client(editor);
        editor.renderLevel(-1, 2);
        QVERIFY(waitFor([&] { return !progress.isEmpty() && progress.last() == 100; }));
        QVERIFY(editor.isLoaded());
        if (!busy.isEmpty()) {
            QVERIFY(waitFor([&] { return busy.last() == false; }));
            QVERIFY(dof >= 1);
        }
        editor.closeImage();
        QVERIFY(!editor.isLoaded());
    }

    // An editor destroyed while an engine thread announces the depth it computed: the
    // announcement either ends before the editor is taken apart or does not come at all
    // (the thread sanitizer sees the editor's override called during its destruction).
    void editorDestroyedWhileDepthIsAnnounced()
    {
        for (int round = 0; round < 3; ++round) {
            auto* editor = new ImageEditor;
            QSemaphore announcing;
            QSemaphore destroying;
            connect(
                editor, &ImageEditor::depthForDOFAvailableSignal, editor,
                [&] {
                    announcing.release();
                    destroying.tryAcquire(1, 10000);
                },
                Qt::DirectConnection);
            QVERIFY(open(*editor, m_good));
            editor->renderLevel(-1, 2);
            QVERIFY2(announcing.tryAcquire(1, 60000), "no depth was announced");
            destroying.release();
            delete editor;
        }
    }

    void noStaleOutputAfterCancel()
    {
        ImageViewer viewer;
        RecordingClient client(viewer);
        for (int round = 0; round < 5; ++round) {
            QVERIFY(open(viewer, m_good));
            const CIAPI::ImagePyramid first = viewer.renderer().outputBuffer();
            viewer.renderLevel(-1, 1);
            viewer.renderLevel(-2, 1);
            QVERIFY(open(viewer, m_other));
            const CIAPI::ImagePyramid second = viewer.renderer().outputBuffer();
            QVERIFY(!(first == second));
            client.outputs.clear();
            viewer.renderLevel(-1, 1);
            QVERIFY(waitFor([&] { return !client.outputs.isEmpty(); }));
            QTest::qWait(20);
            for (const VrxMessage& m : qAsConst(client.outputs)) {
                QVERIFY(!(m.pyramid == first));
                QCOMPARE(m.location, QUrl::fromLocalFile(m_other));
            }
            viewer.renderLevel(-1, 1);
            viewer.closeImage();
            client.outputs.clear();
            QTest::qWait(20);
            QVERIFY(client.outputs.isEmpty());
        }
    }

    // The engine's values as the sliders set them: a change marks the content, the background
    // keeps its alpha, and the quick mode of a drag ends by taking the engine's values back.
    void quickModeWhileDraggingAndEngineValues()
    {
        ImageViewer viewer;
        QVERIFY(open(viewer, m_good));
        viewer.setRendererProperty0(4.0);
        QCOMPARE(viewer.propertyValue0(), 4.0f);
        QVERIFY(viewer.contentDirty());
        QVERIFY(viewer.setBackgroundColor(QColor(51, 51, 51, 232)));
        const auto colour = viewer.renderer().getProperty(CIAPI::FloatArrayParam::BackgroundColor);
        QCOMPARE(int(colour.size()), 4);
        QVERIFY(qAbs(colour[3] - 232 / 255.f) < 1e-4f);
        viewer.setProperty11();
        QCOMPARE(viewer.renderer().getProperty(CIAPI::IntParam::Interactive), 1);
        viewer.properties()->tuneToneEntry("tint")->setCurrentValue(77.0);
        viewer.resetProperty11();
        QCOMPARE(viewer.renderer().getProperty(CIAPI::IntParam::Interactive), 0);
        // The reload takes the renderer's values back into the properties.
        QCOMPARE(viewer.properties()->tuneToneEntry("tint")->currentValue().toFloat(),
            viewer.renderer().getProperty(CIAPI::FloatParam::Tint));
        QVERIFY(viewer.propertyValue14() <= viewer.propertyValue16());
        viewer.closeImage();
    }

    // Every write of a picture's edits, its stars or an export over a file of the same name,
    // on a disk that is full or was turned read-only: the write is refused, the old bytes
    // stay as they were, nothing is left beside them that a later start could take for
    // good, and the same write goes through once there is room again.
    void everyWriteOnAFullOrReadOnlyDisk()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(
            m_dir.filePath(QStringLiteral("ns")), QStringList { QStringLiteral("everyWriteInside") });
    }
    void everyWriteInside_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<bool>("readOnly");
        for (const char* place : { "editor save", "editor save on a worker", "batch full write",
                 "batch append", "rating", "export over a file", "preset" }) {
            QTest::addRow("%s, full", place) << QString::fromLatin1(place) << false;
            QTest::addRow("%s, read-only", place) << QString::fromLatin1(place) << true;
        }
    }
    void everyWriteInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of everyWriteOnAFullOrReadOnlyDisk");
        QFETCH(QString, place);
        QFETCH(bool, readOnly);
        static int mounts = 0;
        const QString mount = root + QStringLiteral("/disk%1").arg(++mounts);
        QVERIFY(ostra::test::mountTmpfs(QStringLiteral("ostra-full"), mount, QStringLiteral("size=2m")));
        const QString path = editedPicture(mount, QStringLiteral("IMG_1.vrx"), 31);
        QVERIFY(!path.isEmpty());
        const QUrl url = QUrl::fromLocalFile(path);
        const QString statePath = stateFilePathFor(url);
        const QString exported = mount + QStringLiteral("/IMG_1.ppm");
        const QByteArray oldExport = QByteArray("P6\n1 1\n255\n") + QByteArray(3, 'o');
        QVERIFY(ostra::test::writeTreeFile(exported, oldExport));
        const QByteArray oldState = fileBytes(statePath);
        QVERIFY(!oldState.isEmpty());

        ImageEditor editor;
        QVERIFY(open(editor, path));
        editor.properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
        QVERIFY(editor.syncProperties());
        const auto batchEditor = [&] {
            auto batch = std::make_unique<StreamEditor>(false);
            batch->setSource(sourceOf(path));
            batch->deserialize(QFileInfo(statePath), false);
            batch->renderer().setProperty(CIAPI::FloatParam::Exposure, 1.5f);
            return batch;
        };
        // A tuning preset in the folder beside, renamed by the user.
        PresetFolder presets(mount + QStringLiteral("/Presets"));
        presets.createPreset(editor.properties());
        QTRY_VERIFY(!presets.isScanning());
        ImageProperties* preset = presets.presetList().value(0);
        QVERIFY(preset);
        const QString presetPath = mount + QStringLiteral("/Presets/") + preset->fileName();
        const QByteArray oldPreset = fileBytes(presetPath);
        QVERIFY(!oldPreset.isEmpty());
        QSignalSpy presetNotSaved(&presets, &IPresetKeeper::presetNotSaved);
        int renames = 0;

        ExportRequest request;
        request.location = url;
        request.format = 1;
        request.sizeMode = 1;
        request.size = QSize(64, 48);
        request.path = exported;

        // The write in question; false when it was refused (its failure told, not hidden).
        const auto write = [&]() -> bool {
            try {
                if (place == QLatin1String("editor save")) {
                    QString error;
                    const bool saved = editor.serializeCurrentState(true, &error);
                    return saved && error.isEmpty() && !editor.contentDirty();
                }
                if (place == QLatin1String("editor save on a worker")) {
                    QSignalSpy ended(&editor, &ImageViewer::saveEnded);
                    if (!editor.saveInBackground(true))
                        return false;
                    if (!waitFor([&] { return !ended.isEmpty(); }))
                        return false;
                    return editor.takeSaveResult() && !editor.contentDirty();
                }
                if (place == QLatin1String("batch full write")) {
                    batchEditor()->serialize(QFileInfo(statePath), false, true);
                    return true;
                }
                if (place == QLatin1String("batch append")) {
                    batchEditor()->serialize(QFileInfo(statePath), true, false);
                    return true;
                }
                if (place == QLatin1String("rating")) {
                    StateFile::writeRating(url, 5);
                    return true;
                }
                if (place == QLatin1String("preset")) {
                    const int told = presetNotSaved.count();
                    presets.renamePreset(preset, QStringLiteral("renamed %1").arg(++renames));
                    return presetNotSaved.count() == told;
                }
                return exportImage(editor, request, {});
            } catch (const std::exception&) {
                return false;
            }
        };

        const QStringList before = QDir(mount).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QSignalSpy told(&editor, &ImageViewer::saveFailed);
        if (readOnly)
            QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,ro '%1'").arg(mount)));
        else
            QVERIFY(ostra::test::fillFileSystem(mount));
        QVERIFY(!write());
        QCOMPARE(fileBytes(statePath), oldState);
        QCOMPARE(fileBytes(exported), oldExport);
        QCOMPARE(fileBytes(presetPath), oldPreset);
        QCOMPARE(QDir(mount + QStringLiteral("/Presets")).entryList(QDir::Files | QDir::Hidden),
            QStringList { preset->fileName() });
        QStringList after = QDir(mount).entryList(QDir::Files | QDir::Hidden | QDir::System);
        after.removeAll(QStringLiteral("filler"));
        QCOMPARE(after, before);
        const bool editorSave = place.startsWith(QLatin1String("editor"));
        if (editorSave) {
            QVERIFY(editor.contentDirty());
            // Told once, however often it is tried again.
            QCOMPARE(told.count(), 1);
            QCOMPARE(told.at(0).at(0).toUrl(), url);
            // In the system's words: what the user can do something about.
            QCOMPARE(told.at(0).at(1).toString(),
                QString::fromLocal8Bit(std::strerror(readOnly ? EROFS : ENOSPC)));
            QVERIFY(!write());
        }
        QCOMPARE(told.count(), editorSave ? 1 : 0);
        if (place == QLatin1String("preset")) {
            QCOMPARE(presetNotSaved.count(), 1);
            QCOMPARE(presetNotSaved.at(0).at(0).toString(), QStringLiteral("renamed 1"));
            const QString reason = presetNotSaved.at(0).at(1).toString();
            QVERIFY2(readOnly ? reason.contains(QLatin1String("not writable"))
                              : reason == QString::fromLocal8Bit(std::strerror(ENOSPC)),
                qPrintable(reason));
        }

        // Room again: the same write goes through.
        if (readOnly)
            QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,rw '%1'").arg(mount)));
        else
            QVERIFY(QFile::remove(mount + QStringLiteral("/filler")));
        QVERIFY(write());
        if (place == QLatin1String("rating"))
            QCOMPARE(ostra::test::savedState(path).rating, 5);
        else if (place == QLatin1String("preset"))
            QVERIFY(fileBytes(presetPath).contains("renamed 2"));
        else if (place == QLatin1String("export over a file"))
            QVERIFY(fileBytes(exported).size() > oldExport.size());
        else
            QCOMPARE(ostra::test::savedState(path).exposure, 1.5f);
        editor.closeImage();
    }
};

OSTRA_TEST_MAIN_CORE(TestImageViewer)
#include "tst_imageviewer.moc"
