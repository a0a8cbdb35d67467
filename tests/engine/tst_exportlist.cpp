#include "support/testmain.h"

#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "engine/vrxcompress.h"
#include "support/eventloopturns.h"
#include "support/filesizelimit.h"
#include "support/filetree.h"
#include "support/heldopens.h"
#include "support/picturefiles.h"
#include "support/rescuewatchdog.h"
#include "support/savedstate.h"

#include <QDirIterator>
#include <QFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>

using ostra::test::PictureFiles;

namespace {

QString picture(const QString& folder, const QString& name, int frames = 1, std::uint32_t seed = 1)
{
    QDir().mkpath(folder);
    auto options = PictureFiles::small(seed);
    options.frames = frames;
    return PictureFiles::write(folder, name, options);
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

// Waits until the export queue has written everything it was given.
bool exportsDone(ImageLocator& locator)
{
    return QTest::qWaitFor(
        [&] {
            return locator.exportListsPending() == 0 && locator.exportQueue()->isIdle()
                && !locator.exportProgress()->active();
        },
        120000);
}

// Exports one picture as a JPEG into `folder` of the test, under `name` when one is given.
void exportJpeg(
    ImageLocator& locator, const QString& picture, const QString& folder, const QString& name = {})
{
    locator.exportImageList(
        { QUrl::fromLocalFile(picture) }, 1, 1, 2, QUrl::fromLocalFile(folder), name, true);
}

// The record the service indexed for a file.
VrxMetadata indexed(ImageLocator& locator, const QString& path)
{
    QSignalSpy spy(&locator, &ImageLocator::notifyFileIndexedSignal);
    locator.requestMetadata(QUrl::fromLocalFile(path));
    for (int i = 0; i < 600 && spy.isEmpty(); ++i)
        spy.wait(100);
    return spy.isEmpty() ? VrxMetadata() : spy.first().first().value<VrxMetadata>();
}

} // namespace

class TestExportList : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

    QString folder(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        VrxCompress::setCompressor({});
    }

    // Two pictures with one base name, all four formats, higher bits set: every output
    // gets its own name, a file already there is kept.
    void sameBaseNames()
    {
        const QString a = picture(folder("a"), QStringLiteral("IMG.1.vrx"), 1, 1);
        const QString b = picture(folder("b"), QStringLiteral("IMG.1.vrx"), 1, 2);
        const QString out = folder("out/deeper");
        QDir().mkpath(out);
        QVERIFY(ostra::test::writeTreeFile(out + "/IMG.1.jpg", "keep"));
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSignalSpy failed(&locator, &ImageLocator::exportFailed);
        locator.exportImageList({ QUrl::fromLocalFile(a), QUrl::fromLocalFile(b) }, 0xFF | (1 << 20), 1, 2,
            QUrl::fromLocalFile(out), QStringLiteral("ignored"), false);
        QVERIFY(exportsDone(locator));
        QCOMPARE(failed.count(), 0);
        // The file that was there keeps its name; each picture's outputs are numbered apart.
        QCOMPARE(filesIn(out),
            QStringList({ "IMG.1 (2).dng", "IMG.1 (2).hdr", "IMG.1 (2).jpg", "IMG.1 (2).ppm", "IMG.1 (3).jpg",
                "IMG.1.dng", "IMG.1.hdr", "IMG.1.jpg", "IMG.1.ppm" }));
        for (const QString& name : filesIn(out)) // the file that was there is kept as it was
            QVERIFY2((QFileInfo(out + "/" + name).size() == 4) == (name == "IMG.1.jpg"), qPrintable(name));

        // One picture takes the name given; an empty name counts as none.
        exportJpeg(locator, a, folder("one"), QStringLiteral("given"));
        exportJpeg(locator, b, folder("one"), QString(""));
        // A name that is a path stays in the folder.
        exportJpeg(locator, b, folder("one"), QStringLiteral("../escaped"));
        // Two exports in a row, the second before the first is written: two names.
        exportJpeg(locator, a, folder("two"));
        exportJpeg(locator, b, folder("two"));
        QVERIFY(exportsDone(locator));
        QCOMPARE(filesIn(folder("one")), QStringList({ "IMG.1.jpg", "escaped.jpg", "given.jpg" }));
        QCOMPARE(filesIn(folder("two")), QStringList({ "IMG.1 (2).jpg", "IMG.1.jpg" }));
        QVERIFY(!QFile::exists(folder("escaped.jpg")));
    }

    // An export folder that does not answer (its opens held) holds the worker that makes it
    // and picks the names, not the window: the loop turns and nothing is queued; once the
    // folder answers, the outputs are queued under free names, and a list asked meanwhile
    // for the same folder takes other names.
    void heldFolderHoldsNotTheWindow()
    {
        const QString a = picture(folder("h"), QStringLiteral("A.vrx"), 1, 1);
        const QString out = folder("held/out");
        QVERIFY(QDir().mkpath(out));
        QVERIFY(ostra::test::writeTreeFile(out + "/A.jpg", "kept"));
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSignalSpy queued(&locator, &ImageLocator::exportListQueued);
        {
            ostra::test::HeldOpens held(out);
            if (!held.isValid())
                QSKIP("holding opens needs root");
            ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
            held.close();
            locator.exportImageList(
                { QUrl::fromLocalFile(a) }, 1, 1, 2, QUrl::fromLocalFile(out), QString(), false);
            locator.exportImageList(
                { QUrl::fromLocalFile(a) }, 1, 1, 2, QUrl::fromLocalFile(out), QString(), false);
            QTRY_COMPARE(held.held(), 1);
            QVERIFY(ostra::test::eventLoopTurns());
            QCOMPARE(queued.count(), 0);
            QCOMPARE(locator.exportListsPending(), 2);
            QVERIFY(!locator.exportProgress()->active());
            held.open();
            QTRY_COMPARE(queued.count(), 2);
            QVERIFY(watchdog.end());
        }
        QCOMPARE(queued.at(0).at(0).toInt(), 1);
        QCOMPARE(queued.at(1).at(0).toInt(), 1);
        QVERIFY(exportsDone(locator));
        QCOMPARE(filesIn(out), QStringList({ "A (2).jpg", "A (3).jpg", "A.jpg" }));
        QCOMPARE(QFileInfo(out + "/A.jpg").size(), 4); // the file that was there is kept
    }

    // The picture's source (its path resolved through any links) is made by the writer:
    // while the file system does not answer there, the window goes on and nothing is
    // written; once it answers, the picture is exported.
    void sourceMadeByTheWriter()
    {
        const QString a = picture(folder("src"), QStringLiteral("A.vrx"), 1, 3);
        const QUrl url = QUrl::fromLocalFile(a);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSemaphore gate;
        std::atomic<int> held { 0 };
        locator.setSourceProbe([&](const QUrl& made) {
            if (made != url)
                return;
            ++held;
            gate.acquire();
        });
        ostra::test::RescueWatchdog watchdog([&gate] { gate.release(1000); });
        locator.exportImageList({ url }, 1, 1, 2, QUrl::fromLocalFile(folder("src/out")), QString(), false);
        QTRY_COMPARE(held.load(), 1);
        QVERIFY(ostra::test::eventLoopTurns());
        // Asking about the same picture meanwhile does not wait for that answer either.
        locator.requestMetadata(url);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(filesIn(folder("src/out")).isEmpty());
        gate.release(1000);
        QVERIFY(exportsDone(locator));
        QVERIFY(watchdog.end());
        QCOMPARE(filesIn(folder("src/out")), QStringList({ "A.jpg" }));
    }

    // An export the user stops is not told as a failure: the picture it was taking when
    // stopped (held by another writer meanwhile) leaves no file and no failure, and its
    // progress closes.
    void stoppedExportIsNoFailure()
    {
        const QString a = picture(folder("stop"), QStringLiteral("S.vrx"), 1, 1);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSignalSpy failed(&locator, &ImageLocator::exportFailed);
        FileToken held = locator.filePerm()->tryAcquireFileSemaphore(a, FilePerm::kExclusive, 5000);
        QVERIFY(held);
        exportJpeg(locator, a, folder("stop/out"));
        // The worker has taken the request and waits for the picture.
        QTRY_VERIFY_WITH_TIMEOUT(locator.exportListsPending() == 0
                && locator.exportQueue()->pendingCount() == 0 && !locator.exportQueue()->isIdle(),
            20000);
        locator.cancelExport();
        held.reset();
        QVERIFY(exportsDone(locator));
        QCoreApplication::processEvents();
        QCOMPARE(failed.count(), 0);
        QCOMPARE(filesIn(folder("stop/out")), QStringList());
    }

    // A failed export leaves no file, tells which one failed, and closes its progress.
    void failedExport()
    {
        const QString a = picture(folder("a"), QStringLiteral("A.vrx"), 1, 1);
        const QString b = picture(folder("a"), QStringLiteral("B.vrx"), 1, 2);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSignalSpy failed(&locator, &ImageLocator::exportFailed);

        // A folder that cannot be made (a file stands in its way).
        QVERIFY(ostra::test::writeTreeFile(folder("blocker"), ""));
        locator.exportImageList(
            { QUrl::fromLocalFile(a) }, 1, 1, 2, QUrl::fromLocalFile(folder("blocker/x")), QString(), false);
        QTRY_COMPARE(failed.count(), 1);

        // A disk that fills up while the first picture is written; the second is good.
        {
            ostra::test::FileSizeLimit full(2000);
            exportJpeg(locator, a, folder("out"));
            QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 120000);
            QTRY_VERIFY_WITH_TIMEOUT(locator.exportQueue()->isIdle(), 120000);
        }
        QCoreApplication::processEvents();
        QVERIFY(!locator.exportProgress()->active());
        QCOMPARE(failed.last().first().toString(), folder("out/A.jpg"));
        QVERIFY(!failed.last().at(1).toString().isEmpty());
        exportJpeg(locator, b, folder("out"));
        QVERIFY(exportsDone(locator));
        QCOMPARE(filesIn(folder("out")), QStringList({ "B.jpg" }));
        QCOMPARE(locator.exportProgress()->percentage(), 100);
    }

    // What an indexed picture needs next.
    void processingDecision_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("depthType");
        QTest::addColumn<bool>("incompatible");
        QTest::addColumn<bool>("compress");
        QTest::addColumn<bool>("candidate");
        QTest::newRow("multi-frame uncompressed") << 3 << 0 << false << true << false;
        QTest::newRow("single frame") << 1 << 0 << false << false << true;
        QTest::newRow("single frame, depth type 2") << 1 << 2 << false << false << false;
        QTest::newRow("incompatible") << 3 << 0 << true << false << false;
    }
    void processingDecision()
    {
        QFETCH(int, frames);
        QFETCH(int, depthType);
        QFETCH(bool, incompatible);
        QFETCH(bool, compress);
        QFETCH(bool, candidate);
        std::atomic<int> compressions { 0 };
        // A compressor that fails: the picture stays as it was.
        VrxCompress::setCompressor([&](auto, auto, int, int, int) {
            ++compressions;
            return -1;
        });
        const QString path = picture(folder("p"), QStringLiteral("P.vrx"), 1);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        VrxMetadata record = indexed(locator, path);
        QVERIFY(!record.invalid);
        QTRY_COMPARE(compressions.load(), 0);
        record.frameCount = frames;
        record.depthType = depthType;
        record.incompatible = incompatible;
        QVERIFY(QMetaObject::invokeMethod(&locator, "onFileMetadataIndexed", Q_ARG(VrxMetadata, record)));
        const QUrl key = QUrl::fromLocalFile(path);
        QCOMPARE(locator.candidates().contains(key), candidate);
        if (!compress) {
            QCOMPARE(locator.exportQueue()->pendingCount(), 0);
            return;
        }
        // A failed compression keeps the picture valid and offers it again on request.
        QTRY_COMPARE_WITH_TIMEOUT(locator.retryCount(), 1, 60000);
        QCOMPARE(compressions.load(), 1);
        QCOMPARE(locator.indexedValues(key).value(IResolver::Invalid).toBool(), false);
        // Rated since: the row keeps the star when the compression is offered again.
        locator.rate(key, 2);
        QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
        QCOMPARE(locator.indexedValues(key).value(IResolver::Rating).toInt(), 2);
        locator.retryOptimize();
        QCOMPARE(locator.indexedValues(key).value(IResolver::Rating).toInt(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(compressions.load(), 2, 60000);
    }

    // A compression changes the file's form and size, nothing its state file says: a star
    // given while it ran stays in the row once it ends, with the new form and size.
    void compressionKeepsAStarGivenMeanwhile()
    {
        QSemaphore reached;
        QSemaphore go;
        VrxCompress::setProbe([&](const char* point) {
            if (qstrcmp(point, "locked") == 0) {
                reached.release();
                go.acquire();
            }
        });
        const QString path = picture(folder("c"), QStringLiteral("C.vrx"), 3, 7);
        const QUrl key = QUrl::fromLocalFile(path);
        {
            ImageLocator locator(2, nullptr);
            // Let go at the end, also when a check failed: the service waits for the job.
            struct Release
            {
                QSemaphore& go;
                ~Release()
                {
                    go.release(100);
                    VrxCompress::setProbe({});
                }
            } release { go };
            locator.setBackgroundProcessing(false);
            const VrxMetadata record = indexed(locator, path);
            QVERIFY(!record.invalid && record.frameCount == 3 && !record.compressed);
            QVERIFY(QTest::qWaitFor([&] { return reached.tryAcquire(1); }, 60000));
            const auto row = [&] { return locator.indexedValues(key); };
            QCOMPARE(row().value(IResolver::Rating).toInt(), 0);
            locator.rate(key, 4);
            QTRY_COMPARE(locator.ratingsBeingWritten(), 0);
            QCOMPARE(row().value(IResolver::Rating).toInt(), 4);
            go.release();
            QTRY_VERIFY_WITH_TIMEOUT(row().value(IResolver::Compressed).toBool(), 60000);
            QCOMPARE(row().value(IResolver::Rating).toInt(), 4);
            QCOMPARE(row().value(IResolver::FileSize).toLongLong(), QFileInfo(path).size());

            // Found unreadable meanwhile (a read that met the file cut short): the compressed
            // file, read back whole, is what the row shows.
            const QString other = picture(folder("c"), QStringLiteral("D.vrx"), 3, 8);
            const QUrl otherKey = QUrl::fromLocalFile(other);
            VrxMetadata unreadable = indexed(locator, other);
            QVERIFY(!unreadable.invalid);
            QVERIFY(QTest::qWaitFor([&] { return reached.tryAcquire(1); }, 60000));
            unreadable.invalid = true;
            QVERIFY(
                QMetaObject::invokeMethod(&locator, "onFileMetadataIndexed", Q_ARG(VrxMetadata, unreadable)));
            QVERIFY(locator.indexedValues(otherKey).value(IResolver::Invalid).toBool());
            go.release();
            QTRY_VERIFY_WITH_TIMEOUT(
                locator.indexedValues(otherKey).value(IResolver::Compressed).toBool(), 60000);
            QVERIFY(!locator.indexedValues(otherKey).value(IResolver::Invalid).toBool());
        }
        QCOMPARE(ostra::test::savedState(path).rating, 4);
    }

    // Background processing saves the state of pictures without one; a state saved by
    // the canvas meanwhile is not overwritten by the borrowed editor.
    void backgroundRender()
    {
        const QStringList paths = { picture(folder("bg"), QStringLiteral("B1.vrx"), 1, 1),
            picture(folder("bg"), QStringLiteral("B2.vrx"), 1, 2) };
        QMutex mutex;
        QUrl rated;
        {
            ImageLocator locator(2, nullptr);
            locator.setLowSpaceMb(0);
            locator.setBackgroundProcessing(false);
            for (const QString& path : paths)
                QVERIFY(!indexed(locator, path).invalid);
            locator.setRecycleProbe([&](ImageEditor& editor) {
                QMutexLocker lock(&mutex);
                if (rated.isEmpty() && !editor.currentUrl().isEmpty()) {
                    rated = editor.currentUrl();
                    StateFile::writeRating(rated, 3);
                }
            });
            QSignalSpy changed(&locator, &ImageLocator::backgroundProcessingChanged);
            locator.setBackgroundProcessing(true);
            QCOMPARE(changed.count(), 1);
            const auto ratedOne = [&] {
                QMutexLocker lock(&mutex);
                return !rated.isEmpty();
            };
            QTRY_VERIFY_WITH_TIMEOUT(ratedOne() && locator.exportQueue()->isIdle(), 60000);
        } // handed-back editors are saved and closed by now
        QVERIFY2(paths.contains(rated.toLocalFile()), qPrintable(rated.toString()));
        for (const QString& path : paths) {
            const auto state = ostra::test::savedState(path);
            QVERIFY2(state.exists, qPrintable(path));
            QVERIFY(QUrl::fromLocalFile(path) == rated ? state.rating == 3 : state.thumbnail);
        }
    }

    // On the GUI thread a reader that does not let go makes eviction give up, not hang.
    void boundedEviction()
    {
        const QString path = picture(folder("e"), QStringLiteral("E.vrx"));
        ImageLocator locator(2, nullptr);
        QSignalSpy evicted(&locator, &ImageLocator::notifyFileEvictedSignal);
        FileToken reader = locator.filePerm()->acquireFileSemaphore(path, FilePerm::kShared);
        QVERIFY(reader);
        locator.filePerm()->setGuiWaitLimit(50);
        QVERIFY(!locator.tryEvict(QUrl::fromLocalFile(path), 50));
        QVERIFY(!locator.evictPath(path));
        QCOMPARE(evicted.count(), 2);
        reader.reset();
        QVERIFY(locator.tryEvict(QUrl::fromLocalFile(path), 50));
    }

    // The service goes while a batch, an export and a compression run.
    void shutdownWhileBusy()
    {
        QStringList paths;
        QList<QUrl> urls;
        for (int i = 0; i < 30; ++i) {
            paths << picture(folder("s"), QStringLiteral("S%1.vrx").arg(i), 1, std::uint32_t(i + 1));
            urls << QUrl::fromLocalFile(paths.last());
        }
        const QString multi = picture(folder("s"), QStringLiteral("M.vrx"), 3, 99);
        const qint64 multiSize = QFileInfo(multi).size();
        std::atomic<bool> compressing { false };
        VrxCompress::setProbe([&](const char* point) {
            if (qstrcmp(point, "locked") == 0)
                compressing = true;
        });
        {
            ImageLocator locator(2, nullptr);
            ImageProperties patch;
            const auto entry = patch.tuneToneEntry(QStringLiteral("exposure"));
            entry->setCurrentValue(1.0);
            patch.markTuneTonePatch(entry.get(), true);
            locator.applyProperties(urls, &patch, true);
            locator.exportImageList(
                urls.mid(0, 4), 5, 1, 2, QUrl::fromLocalFile(folder("x")), QString(), true);
            locator.requestMetadata(QUrl::fromLocalFile(multi));
            QTRY_VERIFY(compressing && locator.patchProgressHandler()->progress() > 0);
        }
        VrxCompress::setProbe({});
        // Whatever was cut short left whole files only: every state file reads, no
        // temporary file stays, the multi-frame picture is the original or compressed.
        for (QDirIterator it(m_dir.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
            const QString file = it.next();
            QVERIFY2(!file.endsWith(".vrxc") && !file.endsWith(".transfer") && !file.endsWith(".lock"),
                qPrintable(file));
            if (file.endsWith(".vrxs"))
                QVERIFY(ostra::test::savedState(file.chopped(1)).thumbnail);
        }
        QVERIFY(QFileInfo(multi).size() > 0 && QFileInfo(multi).size() <= multiSize);
    }
};

OSTRA_TEST_MAIN(TestExportList)
#include "tst_exportlist.moc"
