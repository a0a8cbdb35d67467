#include "support/testmain.h"

#include "ciapi/state/statecodec.h"
#include "engine/imagelocator.h"
#include "engine/imageproperties.h"
#include "engine/statefile.h"
#include "engine/transformhelpers.h"
#include "support/childprocess.h"
#include "support/eventloopturns.h"
#include "support/filebytes.h"
#include "support/picturefiles.h"
#include "support/rescuewatchdog.h"
#include "support/savedstate.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <fstream>
#include <thread>

using ostra::test::fileBytes;
using ostra::test::PictureFiles;
using ostra::test::savedState;

namespace {

// Mean of the colour bytes of the picture the service keeps for the gallery (-1: none).
double keptBrightness(ImageLocator& locator, const QUrl& url)
{
    const VrxMessage kept = locator.keeperFor(url)->kept();
    if (kept.pyramid.levelCount() <= kept.level || kept.level < 0)
        return -1;
    const CIAPI::Image& image = kept.pyramid[kept.level];
    double sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const std::uint8_t* pixel = image.row(y) + 4 * x;
            sum += pixel[0] + pixel[1] + pixel[2];
        }
    }
    return image.width() * image.height() > 0 ? sum / (3.0 * image.width() * image.height()) : -1;
}

// An exposure patch of `value`.
void exposurePatch(ImageProperties& properties, double value)
{
    const auto entry = properties.tuneToneEntry(QStringLiteral("exposure"));
    entry->setCurrentValue(value);
    properties.markTuneTonePatch(entry.get(), true);
}

} // namespace

class TestPatchBatch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_paths;
    QList<QUrl> m_urls;

    void pictures(int count)
    {
        m_paths.clear();
        m_urls.clear();
        for (int i = 0; i < count; ++i) {
            auto options = PictureFiles::small(std::uint32_t(i + 1));
            options.moduleWidth = 64;
            options.moduleHeight = 48;
            const QString path
                = PictureFiles::write(m_dir.path(), QStringLiteral("P%1.x.vrx").arg(i), options);
            QVERIFY(!path.isEmpty());
            m_paths << path;
            m_urls << QUrl::fromLocalFile(path);
        }
    }

    static bool finish(ImageLocator& locator, qint64 count)
    {
        ProgressHandler* progress = locator.patchProgressHandler();
        const bool done = QTest::qWaitFor(
            [&] { return progress->progress() == count && !progress->isInProgress(); }, 300000);
        QCoreApplication::processEvents();
        return done;
    }

private slots:
    void init()
    {
        for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(m_dir.filePath(name));
    }

    // Apply, revert and undo over 250 pictures, each checked in the state file read back.
    void applyUndoRevert()
    {
        pictures(250);
        ImageLocator locator(3, nullptr);
        locator.setBackgroundProcessing(false);
        QSignalSpy resolved(&locator, &IResolver::resolved);
        for (const QUrl& url : qAsConst(m_urls))
            locator.rowFor(url);
        QTRY_COMPARE_WITH_TIMEOUT(resolved.count(), 250, 180000); // sanitizer builds on a loaded machine
        QTRY_VERIFY(keptBrightness(locator, m_urls.last()) >= 0);
        QVector<double> before;
        for (const QUrl& url : qAsConst(m_urls))
            before << keptBrightness(locator, url);

        {
            ImageProperties patch;
            exposurePatch(patch, 1.5);
            locator.applyProperties(m_urls, &patch, true);
        } // the caller's object may go while the batch runs
        QVERIFY(finish(locator, 250));
        QCOMPARE(locator.patchUndoCount(), 250);
        for (const QString& path : qAsConst(m_paths)) {
            const auto state = savedState(path);
            QVERIFY2(state.exists && state.thumbnail, qPrintable(path));
            QCOMPARE(state.exposure, 1.5f);
        }
        // Every gallery picture is read again from the new state: brighter.
        for (int i = 0; i < m_urls.size(); ++i)
            QTRY_VERIFY_WITH_TIMEOUT(keptBrightness(locator, m_urls.at(i)) > before.at(i) + 1, 60000);
        ImageProperties loaded;
        QVERIFY(locator.loadProperties(m_urls.at(7), &loaded));
        QCOMPARE(loaded.tuneToneEntry(QStringLiteral("exposure"))->currentValue().toFloat(), 1.5f);

        locator.undoPatch();
        QVERIFY(finish(locator, 250));
        QCOMPARE(locator.patchUndoCount(), 0);
        for (const QString& path : qAsConst(m_paths))
            QCOMPARE(savedState(path).exposure, 0.0f);
    }

    // The pictures' sources (their paths resolved through any links) are made on the
    // batch's thread: while the file system does not answer there, the window goes on;
    // once it answers, every picture is changed.
    void sourcesMadeOffTheWindow()
    {
        pictures(2);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSemaphore gate;
        std::atomic<int> held { 0 };
        locator.setSourceProbe([&](const QUrl&) {
            ++held;
            gate.acquire();
        });
        ostra::test::RescueWatchdog watchdog([&gate] { gate.release(1000); });
        ImageProperties patch;
        exposurePatch(patch, 1.5);
        QVERIFY(locator.applyProperties(m_urls, &patch, true));
        QTRY_COMPARE(held.load(), 1);
        QVERIFY(ostra::test::eventLoopTurns());
        QCOMPARE(locator.patchProgressHandler()->progress(), qint64(0));
        gate.release(1000);
        QVERIFY(finish(locator, 2));
        QVERIFY(watchdog.end());
        for (const QString& path : qAsConst(m_paths))
            QCOMPARE(savedState(path).exposure, 1.5f);
    }

    // A picture whose state file cannot be written (a folder stands in its place) is not
    // counted as changed: the batch names it once its progress ends, and the next batch
    // starts with no failures.
    void failuresAreNamed()
    {
        pictures(3);
        const QString blocked = StateFile::pathFor(m_urls.at(1));
        QVERIFY(QDir().mkpath(blocked));
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QList<QUrl> failedAtEnd;
        connect(locator.patchProgressHandler(), &ProgressHandler::inProgressChanged, this, [&] {
            if (!locator.patchProgressHandler()->isInProgress())
                failedAtEnd = locator.patchFailures();
        });
        ImageProperties patch;
        exposurePatch(patch, 1.5);
        QVERIFY(locator.applyProperties(m_urls, &patch, true));
        QVERIFY(finish(locator, 3));
        QCOMPARE(failedAtEnd, QList<QUrl> { m_urls.at(1) });
        QCOMPARE(locator.patchUndoCount(), 2);
        QCOMPARE(savedState(m_paths.at(0)).exposure, 1.5f);
        QCOMPARE(savedState(m_paths.at(2)).exposure, 1.5f);

        QVERIFY(QDir(blocked).removeRecursively());
        QVERIFY(locator.applyProperties(m_urls.mid(1, 1), &patch, true));
        QVERIFY(finish(locator, 1));
        QCOMPARE(failedAtEnd, QList<QUrl>());
        QCOMPARE(savedState(m_paths.at(1)).exposure, 1.5f);
    }

    // An apply that may not save would change no picture: it is refused, starts no progress
    // and counts no picture as done; the same apply with saving changes both.
    void unsavedApplyIsRefused()
    {
        pictures(2);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        ImageProperties patch;
        exposurePatch(patch, 1.5);
        QVERIFY(!locator.applyProperties(m_urls, &patch, false));
        QVERIFY(!locator.patchProgressHandler()->isInProgress());
        QCOMPARE(locator.patchProgressHandler()->progress(), qint64(0));
        QVERIFY(!locator.applyProperties({}, &patch, true));
        QVERIFY(!locator.patchProgressHandler()->isInProgress());

        QSignalSpy updated(&locator, &ImageLocator::notifyFileUpdatedSignal);
        QVERIFY(locator.applyProperties(m_urls, &patch, true));
        QVERIFY(finish(locator, 2));
        QCOMPARE(locator.patchUndoCount(), 2);
        // Each picture written is announced as updated.
        QCOMPARE(updated.count(), 2);
        QCOMPARE(QSet<QUrl>({ updated.at(0).at(0).toUrl(), updated.at(1).at(0).toUrl() }),
            QSet<QUrl>(m_urls.begin(), m_urls.end()));
        for (const QString& path : qAsConst(m_paths))
            QCOMPARE(savedState(path).exposure, 1.5f);
    }

    void undoGivesTheTurnBack_data()
    {
        QTest::addColumn<int>("code");
        for (int code = 0; code < 8; ++code)
            QTest::addRow("shot with code %d", code) << code;
    }

    // A batch turns and mirrors pictures shot in every orientation, mirrored ones included;
    // its undo gives each picture its look back, as its state file holds it.
    void undoGivesTheTurnBack()
    {
        QFETCH(int, code);
        auto options = PictureFiles::small(std::uint32_t(40 + code));
        options.moduleWidth = 64;
        options.moduleHeight = 48;
        options.orientation = code;
        const QString path = PictureFiles::write(m_dir.path(), QStringLiteral("turned.vrx"), options);
        QVERIFY(!path.isEmpty());
        const QUrl url = QUrl::fromLocalFile(path);
        CIAPI::Transform shot({ 4, 3 });
        shot.reset(code);
        const auto lookOf = [&] {
            std::ifstream in(QFile::encodeName(StateFile::pathFor(url)).toStdString(), std::ios::binary);
            const CIAPI::Transform t = CIAPI::StateFileEditor(in).transform();
            return t.isSet() ? decomposeTransform(t) : decomposeTransform(shot);
        };

        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        // Taken from a picture shot upright that the user turned a quarter and mirrored.
        ImageProperties patch;
        CIAPI::Transform source({ 4, 3 });
        source.reset(0);
        source.rotate90(-1);
        source.flipHorizontal();
        patch.setTransform(source, false);
        patch.transform().setOrientation(0);
        patch.markCustomPatch(ImageProperties::RotationAndMirror, true);
        QVERIFY(locator.applyProperties({ url }, &patch, true));
        QVERIFY(finish(locator, 1));
        QCOMPARE(locator.patchUndoCount(), 1);
        QVERIFY(lookOf() != decomposeTransform(shot));

        locator.undoPatch();
        QVERIFY(finish(locator, 1));
        QCOMPARE(locator.patchUndoCount(), 0);
        const TurnAndMirror back = lookOf();
        QCOMPARE(back.rotation, decomposeTransform(shot).rotation);
        QCOMPARE(back.mirrored, decomposeTransform(shot).mirrored);
    }

    void pastedTurnAndCropReachThePictures_data()
    {
        QTest::addColumn<int>("code");
        for (int code = 0; code < 8; ++code)
            QTest::addRow("shot with code %d", code) << code;
    }

    // Adjustments copied from a picture, turned and cropped by the user, and pasted on a
    // picture shot the same way give it the same look and crop, whatever way both were shot.
    void pastedTurnAndCropReachThePictures()
    {
        QFETCH(int, code);
        auto options = PictureFiles::small(std::uint32_t(60 + code));
        options.moduleWidth = 64;
        options.moduleHeight = 48;
        options.orientation = code;
        const QString path = PictureFiles::write(m_dir.path(), QStringLiteral("pasted.vrx"), options);
        QVERIFY(!path.isEmpty());
        const QUrl url = QUrl::fromLocalFile(path);

        // Copied (as the canvas copies: its document) from a picture shot the same way.
        CIAPI::Transform look({ 4, 3 });
        look.reset(code);
        look.rotate90(1);
        const QRectF crop(0.1, 0.2, 0.5, 0.6);
        setTransformCropFromView(look, crop);
        ImageProperties copied;
        copied.setTransform(look, false);
        copied.transform().setOrientation(code);
        copied.markCustomPatch(ImageProperties::RotationAndMirror, true);
        copied.markCustomPatch(ImageProperties::Crop, true);
        ImageProperties pasted;
        QVERIFY(pasted.loadPatch(copied.savePatch()));

        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QVERIFY(locator.applyProperties({ url }, &pasted, true));
        QVERIFY(finish(locator, 1));
        std::ifstream in(QFile::encodeName(StateFile::pathFor(url)).toStdString(), std::ios::binary);
        QVERIFY(in.good());
        const CIAPI::Transform saved = CIAPI::StateFileEditor(in).transform();
        QVERIFY(saved.isSet());
        QVERIFY(decomposeTransform(saved) == decomposeTransform(look));
        const QRectF savedCrop = viewCropFromTransform(saved);
        QVERIFY2(sameCrop(savedCrop, crop),
            qPrintable(QStringLiteral("%1 %2 %3 %4")
                           .arg(savedCrop.x())
                           .arg(savedCrop.y())
                           .arg(savedCrop.width())
                           .arg(savedCrop.height())));
    }

    // An undo asked while a second batch is still at work undoes that batch once it is
    // done, on every picture: not the first batch as well, and no record of the second is
    // dropped unused.
    void undoAskedDuringABatchUndoesThatBatch()
    {
        pictures(3);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        {
            ImageProperties first;
            exposurePatch(first, 1.0);
            QVERIFY(locator.applyProperties(m_urls, &first, true));
        }
        QVERIFY(finish(locator, 3));
        QCOMPARE(locator.patchUndoCount(), 3);

        QSemaphore reached;
        QSemaphore go;
        std::atomic<bool> hold { true };
        locator.patchBatch().setProbe([&](const QUrl&, const char* point) {
            if (hold.exchange(false) && qstrcmp(point, "file") == 0) {
                reached.release();
                go.tryAcquire(1, 60000);
            }
        });
        {
            ImageProperties second;
            exposurePatch(second, 2.0);
            QVERIFY(locator.applyProperties(m_urls, &second, true));
        }
        QVERIFY(reached.tryAcquire(1, 60000));
        locator.undoPatch(); // the second batch holds its first picture
        go.release();
        // Nothing is left to undo only once the undo has run.
        QVERIFY(QTest::qWaitFor(
            [&] { return locator.patchUndoCount() == 0 && !locator.patchProgressHandler()->isInProgress(); },
            120000));
        locator.patchBatch().setProbe({});
        for (const QString& path : qAsConst(m_paths))
            QCOMPARE(savedState(path).exposure, 1.0f);
    }

    // Stopping a batch whose picture in hand is held by a writer (an import, the recycle
    // bin) does not wait for the writer: the window asking for the stop would freeze.
    void cancelWhileAWriterHoldsThePicture()
    {
        pictures(3);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        FileToken held
            = locator.filePerm()->tryAcquireFileSemaphore(m_paths.at(0), FilePerm::kExclusive, 5000);
        QVERIFY(held);
        std::atomic<bool> reached { false };
        locator.patchBatch().setProbe([&](const QUrl&, const char* point) {
            if (QByteArray(point) == "file")
                reached = true;
        });
        ImageProperties patch;
        exposurePatch(patch, 1.5);
        QVERIFY(locator.applyProperties(m_urls, &patch, true));
        QTRY_VERIFY(reached.load());
        QPointer<QThread> before = locator.patchBatch().thread();
        // Should the stop wait for the writer after all, the writer lets go in the end, so
        // that the test ends (and fails) instead of hanging.
        std::atomic<bool> cancelled { false };
        std::atomic<bool> rescued { false };
        std::thread watchdog([&] {
            const QDeadlineTimer deadline(60000);
            while (!cancelled && !deadline.hasExpired())
                QThread::msleep(10);
            if (!cancelled) {
                rescued = true;
                held.reset();
            }
        });
        locator.cancelPatch();
        cancelled = true;
        watchdog.join();
        QVERIFY(!rescued);
        QVERIFY(!locator.patchProgressHandler()->isInProgress());
        // The batch's thread ends its wait for the picture and goes while the writer holds it.
        QTRY_VERIFY_WITH_TIMEOUT(before.isNull(), 30000);
        held.reset();
        QCoreApplication::processEvents();
        QCOMPARE(locator.patchUndoCount(), 0);
        for (const QString& path : qAsConst(m_paths))
            QVERIFY(!savedState(path).exists);
    }

    // A rating written while a batch step has read the state and not yet written it.
    void ratingDuringStep_data()
    {
        QTest::addColumn<bool>("revert");
        QTest::newRow("apply to a picture without state") << false;
        QTest::newRow("revert, which rewrites the file") << true;
    }
    void ratingDuringStep()
    {
        QFETCH(bool, revert);
        pictures(1);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        if (revert)
            StateFile::writeRating(m_urls.first(), 2);
        std::thread rater;
        locator.patchBatch().setProbe([&](const QUrl& url, const char* point) {
            if (qstrcmp(point, "read") != 0)
                return;
            QSemaphore written;
            rater = std::thread([url, &written] {
                StateFile::writeRating(url, 5, 60000);
                written.release();
            });
            // Long enough for an unguarded write to land between the read and the write.
            written.tryAcquire(1, 500);
        });
        ImageProperties patch;
        exposurePatch(patch, 0.5);
        if (revert)
            locator.revertToOriginal(m_urls);
        else
            locator.applyProperties(m_urls, &patch, true);
        QVERIFY(finish(locator, 1));
        rater.join();
        const auto state = savedState(m_paths.first());
        QCOMPARE(state.rating, 5);
        QCOMPARE(state.exposure, revert ? 0.0f : 0.5f);
    }

    void killedInTheMiddle_data()
    {
        QTest::addColumn<int>("delayMs"); // after the second picture's state is read
        QTest::addColumn<int>("limit"); // bytes a file may have before the process dies
        for (int ms : { 0, 2, 5, 20 })
            QTest::newRow(qPrintable(QStringLiteral("%1 ms").arg(ms))) << ms << 0;
        QTest::newRow("mid-write") << -1 << 8000;
    }

    // A process killed while it applies a preset to many pictures leaves every state file
    // as it was (its rating) or whole with the change (and the rating), never cut off;
    // the same batch run again afterwards changes every picture.
    void killedInTheMiddle()
    {
        QFETCH(int, delayMs);
        QFETCH(int, limit);
        pictures(6);
        QMap<QString, QByteArray> before;
        for (int i = 0; i < m_urls.size(); ++i) {
            StateFile::writeRating(m_urls.at(i), 1 + i % 5);
            before.insert(m_paths.at(i), fileBytes(StateFile::pathFor(m_urls.at(i))));
        }
        auto child = std::make_unique<ostra::test::Child>(
            ostra::test::binaryDir() + QStringLiteral("/tests/engine/engine_statewriter"),
            QStringList { QStringLiteral("crash-batch"), m_dir.path(), QString::number(limit) });
        QVERIFY(child->started());
        if (delayMs >= 0) {
            QVERIFY(child->waitForErr(QStringLiteral("at read P1.x.vrx")));
            QTest::qWait(delayMs);
            child->kill();
        } else {
            QVERIFY(child->finish());
        }
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);

        int changed = 0;
        for (int i = 0; i < m_urls.size(); ++i) {
            const QString statePath = StateFile::pathFor(m_urls.at(i));
            const QByteArray now = fileBytes(statePath);
            const auto read = CIAPI::state::StateCodec::read(
                reinterpret_cast<const std::uint8_t*>(now.constData()), size_t(now.size()));
            const QByteArray old = before.value(m_paths.at(i));
            QCOMPARE(savedState(m_paths.at(i)).rating, 1 + i % 5);
            if (now.startsWith(old) && read.validBytes == std::uint64_t(old.size())) {
                // The old state, perhaps with an append cut off behind it, which readers pass
                // over and the next write drops.
                QCOMPARE(savedState(m_paths.at(i)).exposure, 0.f);
            } else {
                QVERIFY2(
                    !read.tornTail && read.validBytes == std::uint64_t(now.size()), qPrintable(statePath));
                QCOMPARE(savedState(m_paths.at(i)).exposure, 1.5f);
                ++changed;
            }
        }
        QVERIFY(changed < m_urls.size());
        // Nothing beside the pictures and their state files but lock files.
        for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden))
            QVERIFY2(name.endsWith(".vrx") || name.endsWith(".vrxs") || name.endsWith(".vrxs.lock"),
                qPrintable(name));

        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        ImageProperties patch;
        exposurePatch(patch, 1.5);
        QVERIFY(locator.applyProperties(m_urls, &patch, true));
        QVERIFY(finish(locator, m_urls.size()));
        QCOMPARE(locator.patchFailures(), QList<QUrl>());
        for (int i = 0; i < m_urls.size(); ++i) {
            QCOMPARE(savedState(m_paths.at(i)).exposure, 1.5f);
            QCOMPARE(savedState(m_paths.at(i)).rating, 1 + i % 5);
        }
    }

    // The window asking for a stop does not wait for the picture in hand (a whole render and
    // save): the stop returns while that picture is still being worked on, and the picture
    // is then finished and reported with its undo record; the others are left alone. A
    // shutdown meanwhile waits for it.
    void cancelDoesNotWaitForThePictureInHand_data()
    {
        QTest::addColumn<bool>("shutdown");
        QTest::newRow("finished in the background") << false;
        QTest::newRow("shut down meanwhile") << true;
    }
    void cancelDoesNotWaitForThePictureInHand()
    {
        QFETCH(bool, shutdown);
        pictures(3);
        auto locator = std::make_unique<ImageLocator>(2, nullptr);
        locator->setBackgroundProcessing(false);
        QSemaphore reached;
        QSemaphore resume;
        std::atomic<int> seen { 0 };
        std::atomic<bool> rescued { false };
        locator->patchBatch().setProbe([&](const QUrl&, const char* point) {
            if (qstrcmp(point, "read") == 0 && ++seen == 1) {
                reached.release();
                // The test lets go; should the stop wait after all, it lets go in the end
                // so that the test fails instead of hanging.
                if (!resume.tryAcquire(1, 60000))
                    rescued = true;
            }
        });
        ImageProperties patch;
        exposurePatch(patch, 1.25);
        QVERIFY(locator->applyProperties(m_urls, &patch, true));
        QVERIFY(reached.tryAcquire(1, 120000));
        QPointer<QThread> before = locator->patchBatch().thread();
        locator->cancelPatch();
        // Returned while the picture in hand is still held at its probe.
        QVERIFY(!rescued);
        QVERIFY(!before.isNull() && before->isRunning());
        QVERIFY(!locator->patchProgressHandler()->isInProgress());
        resume.release();
        if (shutdown) {
            locator.reset();
        } else {
            QTRY_VERIFY(before.isNull());
            QCoreApplication::processEvents(); // its report
            QCOMPARE(locator->patchUndoCount(), 1);
            QVERIFY(locator->patchBatch().hasUndo(m_urls.at(0)));
            QVERIFY(!locator->patchProgressHandler()->isInProgress());
            locator.reset();
        }
        QCOMPARE(savedState(m_paths.at(0)).exposure, 1.25f);
        QVERIFY(!savedState(m_paths.at(1)).exists);
        QVERIFY(!savedState(m_paths.at(2)).exists);
    }

    // Cancelling in the middle: every picture is either done with its undo record or
    // untouched, and the batch works on afterwards.
    void cancelInTheMiddle()
    {
        pictures(120);
        ImageLocator locator(2, nullptr);
        locator.setBackgroundProcessing(false);
        QSemaphore reached;
        QSemaphore resume;
        std::atomic<int> seen { 0 };
        locator.patchBatch().setProbe([&](const QUrl&, const char* point) {
            if (qstrcmp(point, "file") == 0 && ++seen == 40) {
                reached.release();
                resume.acquire();
            }
        });
        ImageProperties patch;
        exposurePatch(patch, 2.0);
        locator.applyProperties(m_urls, &patch, true);
        QPointer<QThread> before = locator.patchBatch().thread();
        QVERIFY(reached.tryAcquire(1, 120000));
        resume.release();
        locator.cancelPatch();
        QTRY_VERIFY(!locator.patchProgressHandler()->isInProgress());
        QTRY_VERIFY(before.isNull()); // deleted with the steps it had not run
        QCoreApplication::processEvents(); // the last pictures' reports
        QVERIFY(locator.patchBatch().thread()->isRunning());

        int done = 0;
        for (int i = 0; i < m_urls.size(); ++i) {
            const auto state = savedState(m_paths.at(i));
            QCOMPARE(state.exists, locator.patchBatch().hasUndo(m_urls.at(i)));
            if (state.exists) {
                QCOMPARE(state.exposure, 2.0f);
                ++done;
            }
        }
        QVERIFY(done >= 40 && done < m_urls.size());

        locator.patchBatch().setProbe({});
        locator.applyProperties(m_urls.mid(100), &patch, true);
        QVERIFY(finish(locator, 20));
        QCOMPARE(savedState(m_paths.last()).exposure, 2.0f);
    }
};

OSTRA_TEST_MAIN(TestPatchBatch)
#include "tst_patchbatch.moc"
