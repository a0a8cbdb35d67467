#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>

#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/imagenumberproperty.h"
#include "engine/imageproperties.h"
#include "engine/keptedits.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"
#include "engine/vrxcompress.h"
#include "library/recyclebin.h"
#include "platform/freedesktoptrash.h"
#include "support/eventloopturns.h"
#include "support/filesizelimit.h"
#include "support/filetree.h"
#include "support/heldmount.h"
#include "support/mountnamespace.h"
#include "support/openforview.h"
#include "support/picturefiles.h"
#include "support/rawsamples.h"
#include "support/recordingcanvas.h"
#include "support/rescuewatchdog.h"
#include "support/savedstate.h"
#include "support/testmain.h"

namespace {

void touch(const QString& path)
{
    QVERIFY(ostra::test::writeTreeFile(path, "x"));
}

// Sends the picture to the bin and waits for the answer: 1 when it went, 0 when it stayed,
// -1 when no answer came (or one about another file).
int recycled(RecycleBin& bin, const QUrl& url)
{
    QSignalSpy answered(&bin, &RecycleBin::recycled);
    bin.recycleImage(url);
    if (!QTest::qWaitFor([&] { return !answered.isEmpty(); }, 60000) || answered.size() != 1
        || answered.constFirst().at(0).toUrl() != url)
        return -1;
    return answered.constFirst().at(1).toBool() ? 1 : 0;
}

QStringList trashed()
{
    return QDir(FreedesktopTrash::homeTrash() + "/files").entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestRecycleBin : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void cleanup() { QDir(FreedesktopTrash::homeTrash()).removeRecursively(); }

    // The picture goes with its state file and its low-resolution copies, and nothing else.
    void sideFiles_data()
    {
        QTest::addColumn<QString>("lowRes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("low") << "low"
                             << QStringList({ "IMG_0001.jpg", "IMG_0001.vrx", "IMG_0001.vrxs",
                                    "IMG_0001.vrxs.unreadable", "IMG_0001.vrxs.unreadable2",
                                    "IMG_0001_1.jpg" });
        QTest::newRow("missing folder") << "none"
                                        << QStringList({ "IMG_0001.vrx", "IMG_0001.vrxs",
                                               "IMG_0001.vrxs.unreadable", "IMG_0001.vrxs.unreadable2" });
    }
    void sideFiles()
    {
        QFETCH(QString, lowRes);
        QFETCH(QStringList, expected);
        const QString folder = m_dir.filePath(QTest::currentDataTag());
        for (const char* name : { "IMG_0001.vrx", "IMG_0001.vrxs", "IMG_0001.vrxs.unreadable",
                 "IMG_0001.vrxs.unreadable2", "IMG_0002.vrx", "IMG_0002.vrxs.unreadable", "low/IMG_0001.jpg",
                 "low/IMG_0001_1.jpg", "low/IMG_0002.jpg" })
            touch(folder + "/" + name);
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setLowResFolder(lowRes);
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(folder + "/IMG_0001.vrx")), 1);
        QCOMPARE(trashed(), expected);
        QVERIFY(QFile::exists(folder + "/IMG_0002.vrx"));
        QVERIFY(QFile::exists(folder + "/IMG_0002.vrxs.unreadable"));
        QVERIFY(QFile::exists(folder + "/low/IMG_0002.jpg"));
    }

    // Only the picture's own files go. A copy named after another picture of the folder
    // (IMG_0001 and IMG_0001_1 both pictures) stays with that picture, whichever of the two
    // goes; a name with wildcard characters takes no file it merely matches as a pattern.
    void anotherPicturesFilesStay_data()
    {
        QTest::addColumn<QString>("picture");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("second of two")
            << "IMG_0001_1.vrx" << QStringList({ "IMG_0001_1.jpg", "IMG_0001_1.vrx" });
        QTest::newRow("first of two") << "IMG_0001.vrx" << QStringList({ "IMG_0001.jpg", "IMG_0001.vrx" });
        QTest::newRow("wildcards") << "IMG [1].vrx"
                                   << QStringList({ "IMG [1].vrx", "IMG [1].vrxs.unreadable" });
    }
    void anotherPicturesFilesStay()
    {
        QFETCH(QString, picture);
        QFETCH(QStringList, expected);
        const QString folder = m_dir.filePath(QTest::currentDataTag());
        const QStringList all { "IMG_0001.vrx", "IMG_0001_1.vrx", "low/IMG_0001.jpg", "low/IMG_0001_1.jpg",
            "IMG [1].vrx", "IMG [1].vrxs.unreadable", "IMG 1.vrx", "IMG 1.vrxs.unreadable" };
        for (const QString& name : all)
            touch(folder + "/" + name);
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setLowResFolder("low");
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(folder + "/" + picture)), 1);
        QCOMPARE(trashed(), expected);
        for (const QString& name : all) {
            const bool gone = expected.contains(QFileInfo(name).fileName());
            QVERIFY2(QFile::exists(folder + "/" + name) != gone, qPrintable(name));
        }
    }

    // A save cut short leaves the copy of the state it kept while writing; the picture
    // takes it along, so a later picture of the same name does not start with its edits.
    void stateBackupGoesWithThePicture()
    {
        const QString folder = m_dir.filePath(QStringLiteral("backup"));
        const QString picture = folder + "/IMG_0004.vrx";
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(picture));
        touch(picture);
        touch(state);
        QVERIFY(ostra::test::writeTreeFile(StateFile::backupPath(state), "old edits"));
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(picture)), 1);
        QCOMPARE(trashed(), QStringList({ "IMG_0004.vrx", "IMG_0004.vrxs", "IMG_0004.vrxs_temp" }));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());

        touch(picture); // a new picture of that name
        StateStamp stamp;
        const StateFile::ReadResult read = StateFile::read(
            state, [](std::istream&) { QFAIL("read another picture's state"); }, stamp, 0);
        QCOMPARE(int(read), int(StateFile::ReadResult::NoFile));
    }

    // A picture sent to the bin while its state file is being saved (the editor saves the
    // picture it leaves on a worker): the bin waits for the save, takes the state as saved,
    // and nothing of it stays behind.
    void binnedWhileItsStateIsSaved()
    {
        const QString folder = m_dir.filePath(QStringLiteral("saving"));
        const QString picture = folder + "/IMG_0006.vrx";
        const QString state = StateFile::pathFor(QUrl::fromLocalFile(picture));
        touch(picture);
        QVERIFY(ostra::test::writeTreeFile(state, "old"));
        QLockFile writer(StateFile::lockPath(state));
        QVERIFY(writer.tryLock(0));
        bool written = false;
        QTimer::singleShot(100, [&] {
            StateFile::replace(state, [](std::ostream& out) { out << "new"; });
            writer.unlock();
            written = true;
        });
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setBusyWaitMs(30000);
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(picture)), 1);
        QTRY_VERIFY(written);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(trashed(), QStringList({ "IMG_0006.vrx", "IMG_0006.vrxs" }));
        QFile binned(FreedesktopTrash::homeTrash() + "/files/IMG_0006.vrxs");
        QVERIFY(binned.open(QIODevice::ReadOnly));
        QCOMPARE(binned.readAll(), QByteArray("new"));

        // A save that never ends: the bin gives up within its bound and keeps the picture.
        touch(picture);
        QVERIFY(writer.tryLock(0));
        bin.setBusyWaitMs(200);
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(picture)), 0);
        QVERIFY(QFile::exists(picture));
        writer.unlock();
    }

    // Edits kept since the disk refused their save when the editor left the picture go to
    // the bin with it: a new picture later put under its name, rated, and the service that
    // ends, never get them, whether the first picture had a state file or not.
    void keptEditsGoWithThePicture_data()
    {
        QTest::addColumn<bool>("hadState");
        QTest::newRow("no state before") << false;
        QTest::newRow("a state before") << true;
    }
    void keptEditsGoWithThePicture()
    {
        QFETCH(bool, hadState);
        const QString folder = m_dir.filePath(hadState ? "kept-state" : "kept");
        QVERIFY(QDir().mkpath(folder));
        const QString picture
            = ostra::test::PictureFiles::write(folder, "IMG_0007.vrx", ostra::test::PictureFiles::small(31));
        QVERIFY(!picture.isEmpty());
        const QUrl url = QUrl::fromLocalFile(picture);
        if (hadState)
            StateFile::writeRating(url, 1);
        auto locator = std::make_unique<ImageLocator>(2, nullptr);
        QSignalSpy notSaved(locator.get(), &ImageLocator::editsNotSaved);
        ostra::test::RecordingCanvas canvas;
        {
            ostra::test::FileSizeLimit full(16);
            ImageEditor* editor = ostra::test::openedForView(*locator, url, &canvas);
            QVERIFY(editor);
            editor->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
            QVERIFY(editor->syncProperties());
            QSignalSpy freed(locator.get(), &ImageLocator::editorFreed);
            locator->releaseEditorSlot(editor, &canvas);
            QTRY_VERIFY_WITH_TIMEOUT(!freed.isEmpty(), 60000);
            QTRY_COMPARE(notSaved.count(), 1);
        }
        RecycleBin bin;
        bin.setFilePerm(locator->filePerm());
        bin.setImageService(locator.get());
        QCOMPARE(recycled(bin, url), 1);
        QVERIFY(!QFile::exists(picture));
        QVERIFY(
            !ostra::test::PictureFiles::write(folder, "IMG_0007.vrx", ostra::test::PictureFiles::small(32))
                 .isEmpty());
        locator->rate(url, 2);
        QTRY_COMPARE(locator->ratingsBeingWritten(), 0);
        locator.reset();
        const ostra::test::SavedState state = ostra::test::savedState(picture);
        QCOMPARE(state.rating, 2);
        QCOMPARE(state.exposure, 0.f);
    }

    // Edits kept across a quit because the full disk refused them go to the bin with their
    // picture in the next run too: the file that kept them goes, and a new picture later
    // put under its name never gets them.
    void keptEditsGoWithThePictureAfterARestart()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(
            m_dir.path(), QStringList { QStringLiteral("keptEditsGoAfterARestartInside") });
    }
    void keptEditsGoAfterARestartInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of keptEditsGoWithThePictureAfterARestart");
        const QString mount = root + QStringLiteral("/binned");
        QVERIFY(ostra::test::mountTmpfs(QStringLiteral("binned"), mount, QStringLiteral("size=4m")));
        const QString picture
            = ostra::test::PictureFiles::write(mount, "IMG_0007.vrx", ostra::test::PictureFiles::small(31));
        QVERIFY(!picture.isEmpty());
        const QUrl url = QUrl::fromLocalFile(picture);
        QTemporaryDir data;
        const KeptEdits kept(data.path());
        QVERIFY(ostra::test::fillFileSystem(mount));
        {
            ImageLocator locator(2, nullptr);
            locator.setKeptEditsFolder(data.path());
            QSignalSpy notSaved(&locator, &ImageLocator::editsNotSaved);
            ostra::test::RecordingCanvas canvas;
            ImageEditor* editor = ostra::test::openedForView(locator, url, &canvas);
            QVERIFY(editor);
            editor->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
            QVERIFY(editor->syncProperties());
            QSignalSpy freed(&locator, &ImageLocator::editorFreed);
            locator.releaseEditorSlot(editor, &canvas);
            QTRY_VERIFY_WITH_TIMEOUT(!freed.isEmpty(), 60000);
            QTRY_COMPARE(notSaved.count(), 1);
        }
        QVERIFY(kept.contains(IImageService::fileKey(url)));
        QVERIFY(QFile::remove(mount + "/filler"));

        auto locator = std::make_unique<ImageLocator>(2, nullptr);
        locator->setKeptEditsFolder(data.path());
        RecycleBin bin;
        bin.setFilePerm(locator->filePerm());
        bin.setImageService(locator.get());
        QCOMPARE(recycled(bin, url), 1);
        QVERIFY(!QFile::exists(picture));
        QTRY_VERIFY(!kept.contains(IImageService::fileKey(url)));
        QVERIFY(!ostra::test::PictureFiles::write(mount, "IMG_0007.vrx", ostra::test::PictureFiles::small(32))
                     .isEmpty());
        locator.reset();
        locator = std::make_unique<ImageLocator>(2, nullptr);
        locator->setKeptEditsFolder(data.path());
        locator.reset();
        QVERIFY(!QFile::exists(StateFile::pathFor(url)));
        QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // A picture moved away or deleted by another program while it was open takes the edits
    // not yet saved with it: the user is told, naming the picture, whether the save that
    // found it gone was the canvas's or the one of the editor handed back. A picture this
    // application sent to the bin is no loss to tell of.
    void editsOfAPictureGone_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("handedBack");
        for (const char* how : { "moved away", "deleted", "sent to the bin" }) {
            QTest::newRow(qPrintable(QStringLiteral("%1, handed back").arg(how))) << how << true;
            QTest::newRow(qPrintable(QStringLiteral("%1, saved while open").arg(how))) << how << false;
        }
    }
    void editsOfAPictureGone()
    {
        QFETCH(QString, how);
        QFETCH(bool, handedBack);
        const QString folder = m_dir.filePath(QStringLiteral("gone %1 %2").arg(how).arg(handedBack));
        QVERIFY(QDir().mkpath(folder + "/elsewhere"));
        const QString picture
            = ostra::test::PictureFiles::write(folder, "IMG_0009.vrx", ostra::test::PictureFiles::small(33));
        QVERIFY(!picture.isEmpty());
        const QUrl url = QUrl::fromLocalFile(picture);
        ImageLocator locator(2, nullptr);
        QTemporaryDir data;
        locator.setKeptEditsFolder(data.path());
        QSignalSpy notSaved(&locator, &ImageLocator::editsNotSaved);
        // The editor handed back waits before its save until the picture is gone.
        QSemaphore reached;
        QSemaphore proceed;
        struct Let
        {
            QSemaphore& proceed;
            ~Let() { proceed.release(10); }
        } let { proceed };
        locator.setRecycleProbe([&](ImageEditor&) {
            reached.release();
            proceed.acquire();
        });
        ostra::test::RecordingCanvas canvas;
        ImageEditor* editor = ostra::test::openedForView(locator, url, &canvas);
        QVERIFY(editor);
        editor->properties()->tuneToneEntry("exposure")->setCurrentValue(1.5);
        QVERIFY(editor->syncProperties());
        QSignalSpy freed(&locator, &ImageLocator::editorFreed);
        if (handedBack) {
            locator.releaseEditorSlot(editor, &canvas);
            QVERIFY(reached.tryAcquire(1, 60000));
        }
        if (how == QLatin1String("moved away")) {
            QVERIFY(QFile::rename(picture, folder + "/elsewhere/IMG_0009.vrx"));
        } else if (how == QLatin1String("deleted")) {
            QVERIFY(QFile::remove(picture));
        } else {
            // Without the lock registry the bin does not wait for the editor to let go.
            RecycleBin bin;
            bin.setImageService(&locator);
            QCOMPARE(recycled(bin, url), 1);
        }
        QVERIFY(!QFile::exists(picture));
        if (handedBack) {
            proceed.release();
            QTRY_VERIFY_WITH_TIMEOUT(!freed.isEmpty(), 60000);
        } else {
            QVERIFY(editor->saveInBackground(false));
            QTRY_VERIFY_WITH_TIMEOUT((editor->takeSaveResult(), !editor->isSaving()), 60000);
            locator.setRecycleProbe({});
            locator.releaseEditorSlot(editor, &canvas);
            QTRY_VERIFY_WITH_TIMEOUT(!freed.isEmpty(), 60000);
        }
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        if (how == QLatin1String("sent to the bin")) {
            QCOMPARE(notSaved.count(), 0);
        } else {
            QCOMPARE(notSaved.count(), 1);
            QCOMPARE(notSaved.at(0).at(0).toString(), QDir::toNativeSeparators(picture));
            QVERIFY(!notSaved.at(0).at(1).toString().isEmpty());
        }
        // Nothing written beside the name the picture had, nor kept for it.
        QVERIFY(!QFile::exists(StateFile::pathFor(url)));
        QCOMPARE(QDir(data.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // One of a picture's files cannot be moved (here a mount on it): the picture stays with
    // its state file and copies, and the bin keeps nothing of it; its edits are never sent
    // to the bin without it, nor left behind without it. Movable again, all of them go.
    void fileThatStaysKeepsThePicture()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.path(), QStringList { QStringLiteral("fileThatStaysInside") });
    }
    void fileThatStaysInside_data()
    {
        QTest::addColumn<QString>("stays");
        QTest::newRow("the picture") << "IMG_0001.vrx";
        QTest::newRow("its state file") << "IMG_0001.vrxs";
    }
    void fileThatStaysInside()
    {
        if (ostra::test::mountNamespaceFolder().isEmpty())
            QSKIP("runs only inside the mount namespace of fileThatStaysKeepsThePicture");
        QFETCH(QString, stays);
        const QString folder = ostra::test::mountNamespaceFolder() + QStringLiteral("/stays #") + stays;
        for (const char* name : { "IMG_0001.vrx", "IMG_0001.vrxs", "low/IMG_0001.jpg" })
            touch(folder + "/" + name);
        const QString picture = folder + "/IMG_0001.vrx";
        const QString mounted = folder + "/" + stays;
        QVERIFY(ostra::test::shell(QStringLiteral("mount --bind '%1' '%1'").arg(mounted)));
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setLowResFolder(QStringLiteral("low"));
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(picture)), 0);
        QVERIFY(QFile::exists(picture));
        QVERIFY(QFile::exists(folder + "/IMG_0001.vrxs"));
        QVERIFY(QFile::exists(folder + "/low/IMG_0001.jpg"));
        QCOMPARE(trashed(), QStringList());
        QCOMPARE(QDir(FreedesktopTrash::homeTrash() + "/info").entryList(QDir::Files), QStringList());
        QVERIFY(ostra::test::shell(QStringLiteral("umount '%1'").arg(mounted)));
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(picture)), 1);
        QCOMPARE(trashed(), QStringList({ "IMG_0001.jpg", "IMG_0001.vrx", "IMG_0001.vrxs" }));
    }

    // A picture sent to the bin while its compression waits to put the result in its place
    // (a viewer still holds the file): whichever of the two goes first, the bin gets the
    // whole picture (the original or its verified compressed form, with the same samples)
    // and nothing of the compression is left beside it.
    void binnedWhileCompressed()
    {
        const QString folder = m_dir.filePath(QStringLiteral("compressing"));
        auto options = ostra::test::PictureFiles::small(5);
        options.frames = 3;
        QVERIFY(QDir().mkpath(folder));
        const QString path
            = ostra::test::PictureFiles::write(folder, QStringLiteral("IMG_0005.vrx"), options);
        QVERIFY(!path.isEmpty());
        const auto samples = ostra::test::rawSamplesOf(path);
        const QUrl url = QUrl::fromLocalFile(path);
        FilePerm perm;
        FileToken viewer = perm.acquireFileSemaphore(path, FilePerm::kShared);
        QVERIFY(viewer);
        QSemaphore verified;
        VrxCompress::setProbe([&](const char* at) {
            if (qstrcmp(at, "verified") == 0)
                verified.release();
        });
        QThread thread;
        thread.start();
        VrxMetadata record;
        record.location = url;
        record.invalid = false;
        auto* job = new VrxCompress(&perm, 0.4f, 98, record, std::make_shared<StreamSource>(url));
        std::atomic<bool> completed { false };
        connect(
            job, &VrxCompress::complete, job, [&] { completed = true; }, Qt::DirectConnection);
        job->moveToThread(&thread);
        QMetaObject::invokeMethod(job, "compress", Qt::QueuedConnection);
        QVERIFY(verified.tryAcquire(1, 60000));

        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setBusyWaitMs(30000);
        QTimer::singleShot(100, [&viewer] { viewer.reset(); });
        QCOMPARE(recycled(bin, url), 1);
        QTRY_VERIFY_WITH_TIMEOUT(completed.load(), 60000);
        thread.quit();
        QVERIFY(thread.wait(60000));
        VrxCompress::setProbe({});
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(trashed(), QStringList { QStringLiteral("IMG_0005.vrx") });
        QVERIFY(ostra::test::rawSamplesOf(FreedesktopTrash::homeTrash() + "/files/IMG_0005.vrx") == samples);
    }

    // The moves run on a worker: on a drive that hangs the event loop turns while they are
    // held, and the answer comes once the drive answers, all the picture's files gone
    // together. A second picture waits its turn; a bin that goes meanwhile does not wait,
    // and the picture still goes whole. With the lock registry, the file's lock is asked
    // for as the loop turns too.
    void movesRunOffTheGuiThread_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("one picture") << 0;
        QTest::newRow("a second picture meanwhile") << 1;
        QTest::newRow("bin deleted meanwhile") << 2;
        QTest::newRow("its lock looked for on the drive") << 3;
    }

    void movesRunOffTheGuiThread()
    {
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(m_dir.filePath("ns"));
        QFETCH(int, how);
        const QString ns = ostra::test::mountNamespaceFolder();
        for (const char* name : { "IMG_0001.vrx", "IMG_0001.vrxs", "low/IMG_0001.jpg", "IMG_0002.vrx" })
            touch(ns + "/disk/" + name);
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QUrl first = QUrl::fromLocalFile(ns + "/mnt/IMG_0001.vrx");
        const QUrl second = QUrl::fromLocalFile(ns + "/mnt/IMG_0002.vrx");
        FilePerm perm;
        auto bin = std::make_unique<RecycleBin>();
        if (how == 3)
            bin->setFilePerm(&perm);
        bin->setLowResFolder(QStringLiteral("low"));
        QSignalSpy answered(bin.get(), &RecycleBin::recycled);

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        bin->recycleImage(first);
        if (how == 1)
            bin->recycleImage(second);
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, 15000);
        QVERIFY(ostra::test::eventLoopTurns());
        QCOMPARE(answered.count(), 0);
        QCOMPARE(bin->pending(), how == 1 ? 2 : 1);
        if (how == 2)
            bin.reset();
        QVERIFY(watchdog.end());
        drive.open();
        const QStringList left = how == 1 ? QStringList() : QStringList { "IMG_0002.vrx" };
        QTRY_COMPARE_WITH_TIMEOUT(QDir(ns + "/disk").entryList(QDir::Files), left, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(QDir(ns + "/disk/low").entryList(QDir::Files).isEmpty(), 15000);
        if (!bin) {
            QTRY_VERIFY(drive.held() == 0);
            QVERIFY(ostra::test::eventLoopTurns());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), how == 1 ? 2 : 1, 15000);
        QCOMPARE(answered.at(0).at(0).toUrl(), first);
        QVERIFY(answered.at(0).at(1).toBool());
        if (how == 1) {
            QCOMPARE(answered.at(1).at(0).toUrl(), second);
            QVERIFY(answered.at(1).at(1).toBool());
        }
        QCOMPARE(bin->pending(), 0);
    }

    // A file someone reads is not taken away: the bin waits a bounded time, letting this
    // thread's holders let go, and gives up when the file stays busy.
    void busyFile()
    {
        const QString path = m_dir.filePath("busy/IMG_0003.vrx");
        touch(path);
        FilePerm perm;
        RecycleBin bin;
        bin.setFilePerm(&perm);
        bin.setBusyWaitMs(300);
        FileToken reader = perm.acquireFileSemaphore(path, FilePerm::kShared);
        QVERIFY(reader);
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(path)), 0);
        QVERIFY(QFile::exists(path));

        // A holder that lets go from this thread's event loop.
        QTimer::singleShot(50, [&reader] { reader.reset(); });
        QCOMPARE(recycled(bin, QUrl::fromLocalFile(path)), 1);
        QVERIFY(!QFile::exists(path));
    }
};

OSTRA_TEST_MAIN_CORE(TestRecycleBin)
#include "tst_recyclebin.moc"
