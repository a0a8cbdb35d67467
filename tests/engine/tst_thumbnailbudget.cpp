#include "support/picturefiles.h"
#include "support/recordingcanvas.h"
#include "support/taskprobe.h"
#include "support/testmain.h"

#include "engine/imagekeeper.h"
#include "engine/imagelocator.h"
#include "engine/sentinels.h"
#include "engine/thumbnailbudget.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "tools/vrxgen/generator.h"

namespace {

using Client = ostra::test::RecordingCanvas;

std::shared_ptr<ImageKeeper> keeperWithOutput(int i)
{
    const QUrl url = QUrl::fromLocalFile(QString("/t/%1.vrx").arg(i));
    auto keeper = ImageKeeper::create(url);
    CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
    pyramid[0] = CIAPI::Image::Create(100, 100); // 448-byte rows
    keeper->onImageOutputSlot(VrxMessage::output(url, VrxMessage::KindBatch, pyramid, CIAPI::ROI(), 0));
    return keeper;
}

} // namespace

class TestThumbnailBudget : public QObject
{
    Q_OBJECT

private slots:
    // Past the budget the least recently shown outputs go first, skipping those a
    // listener holds.
    void dropsLeastRecentlyShown()
    {
        const qint64 unit = 448 * 100;
        ThumbnailBudget budget(3 * unit);
        std::vector<std::shared_ptr<ImageKeeper>> keepers;
        Client holder;
        for (int i = 0; i < 5; ++i)
            keepers.push_back(keeperWithOutput(i));
        keepers[1]->addListener(&holder);
        for (int i = 0; i < 3; ++i)
            budget.kept(keepers[i]);
        QCOMPARE(budget.used(), 3 * unit);
        budget.touch(keepers[0]);
        budget.kept(keepers[3]); // drops 2: 1 is held, 0 was shown again
        budget.kept(keepers[4]); // drops 0
        const bool expected[] = { false, true, false, true, true };
        for (int i = 0; i < 5; ++i)
            QCOMPARE(keepers[i]->hasOutput(), expected[i]);
        QCOMPARE(budget.used(), 3 * unit);

        keepers[1]->removeListener(&holder);
        budget.setBudget(unit);
        QVERIFY(!keepers[1]->hasOutput());
        QCOMPARE(budget.used(), unit);
    }

    // Only listeners that show the picture keep it: cells off the screen hold nothing, so
    // a gallery of thousands of cells still stays within the budget.
    void listenersOffTheScreenDoNotKeepPictures()
    {
        const qint64 unit = 448 * 100;
        ThumbnailBudget budget(2 * unit);
        std::vector<std::shared_ptr<ImageKeeper>> keepers;
        Client hidden, shown;
        hidden.shows = false;
        for (int i = 0; i < 6; ++i) {
            keepers.push_back(keeperWithOutput(i));
            keepers.back()->addListener(&hidden);
        }
        keepers[2]->addListener(&shown);
        for (const auto& keeper : keepers)
            budget.kept(keeper);
        int kept = 0;
        for (const auto& keeper : keepers)
            kept += keeper->hasOutput() ? 1 : 0;
        QCOMPARE(kept, 2);
        QVERIFY(keepers[2]->hasOutput()); // shown, though the oldest but two
        QVERIFY(keepers[5]->hasOutput()); // the newest
        QCOMPARE(budget.used(), 2 * unit);
    }

    // The pictures get a quarter of the process's memory budget at most, whatever their own
    // setting says; past it the service keeps only what fits, counted in pictures.
    void memoryBudgetBoundsTheKeptPictures()
    {
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (int i = 0; i < 6; ++i) {
            const auto small = ostra::test::PictureFiles::small(std::uint32_t(20 + i));
            urls.append(QUrl::fromLocalFile(
                ostra::test::PictureFiles::write(dir.path(), QString("m%1.vrx").arg(i), small)));
        }
        ImageLocator locator(2, nullptr);
        locator.setThumbnailBudgetMb(512);
        QCOMPARE(locator.thumbnails().budget(), qint64(256) << 20); // a quarter of 1 GB
        Client offscreen;
        offscreen.shows = false;
        locator.requestLoad(urls[0], &offscreen);
        QTRY_COMPARE_WITH_TIMEOUT(offscreen.outputs.size(), 1, 20000);
        const qint64 one = locator.thumbnails().used();
        QVERIFY(one > 0);

        // Room for two pictures and a half.
        locator.setMemoryBudgetMb(int((one * 5 / 2 * ImageLocator::kThumbnailShare + (1 << 20) - 1) >> 20));
        QCOMPARE(locator.thumbnailBudgetMb(), 512);
        QVERIFY(locator.thumbnails().budget() < 3 * one);
        for (int i = 1; i < urls.size(); ++i)
            locator.requestLoad(urls[i], &offscreen);
        QTRY_COMPARE_WITH_TIMEOUT(offscreen.outputs.size(), urls.size(), 20000);
        QVERIFY(locator.thumbnails().keptCount() <= 2);
        QVERIFY(locator.thumbnails().keptCount() >= 1);
        QVERIFY(locator.thumbnails().used() <= locator.thumbnails().budget());
        int holding = 0;
        for (const QUrl& url : qAsConst(urls))
            holding += locator.keeperFor(url)->hasOutput() ? 1 : 0;
        QCOMPARE(holding, locator.thumbnails().keptCount());
    }

    // A file no session lists any more loses what the service kept for it once the turn
    // of the event loop has ended: unless it is asked for again meanwhile, or an item still
    // shows it (then it goes once the item has let go).
    void closedFilesAreForgotten()
    {
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (int i = 0; i < 4; ++i) {
            const auto small = ostra::test::PictureFiles::small(std::uint32_t(30 + i));
            urls.append(QUrl::fromLocalFile(
                ostra::test::PictureFiles::write(dir.path(), QString("c%1.vrx").arg(i), small)));
        }
        ImageLocator locator(2, nullptr);
        ostra::test::TaskProbe probe(locator);
        auto cell = std::make_unique<Client>();
        for (const QUrl& url : qAsConst(urls))
            locator.requestMetadata(url);
        QVERIFY(probe.settle());
        locator.requestLoad(urls[0], cell.get());
        QCOMPARE(locator.keeperCount(), 4);
        QCOMPARE(locator.rowCount(), 4);
        QCOMPARE(locator.thumbnails().keptCount(), 4);
        // The files' locks went with the tasks that read them.
        QTRY_COMPARE(locator.filePerm()->lockCount(), 0);

        for (const QUrl& url : qAsConst(urls))
            locator.forgetFile(url);
        QVERIFY(locator.hasKeeper(urls[3]));
        locator.requestMetadata(urls[1]); // listed again in the same turn
        Client leaving;
        locator.requestLoad(urls[2], &leaving); // a cell of the closed gallery asks as it goes
        QCoreApplication::processEvents();
        QVERIFY(locator.hasKeeper(urls[0])); // shown by the cell
        QVERIFY(locator.hasKeeper(urls[1]));
        QVERIFY(locator.hasKeeper(urls[2])); // until the leaving cell has gone
        QVERIFY(!locator.hasKeeper(urls[3]));
        QVERIFY(locator.indexedValues(urls[3]).isEmpty());
        QCOMPARE(locator.rowCount(), 3);
        // Work that outlives the session (a compression, an editor's save) brings nothing back.
        VrxMetadata late;
        late.location = urls[3];
        late.invalid = false;
        late.frameCount = 2;
        QVERIFY(QMetaObject::invokeMethod(&locator, "onFileMetadataIndexed", Q_ARG(VrxMetadata, late)));
        QVERIFY(!locator.hasKeeper(urls[3]));
        QVERIFY(locator.indexedValues(urls[3]).isEmpty());
        QVERIFY(probe.settle());
        QCOMPARE(locator.thumbnails().keptCount(), 3);

        locator.releaseClient(urls[2], &leaving);
        cell.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!locator.hasKeeper(urls[0]) && !locator.hasKeeper(urls[2]), 20000);
        QCOMPARE(locator.keeperCount(), 1);
        QCOMPARE(locator.rowCount(), 1);
        QCOMPARE(locator.thumbnails().keptCount(), 1);
    }

    // Tasks that have not started yet for closed files are dropped with them.
    void closedFilesLoseTheirWaitingTasks()
    {
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (int i = 0; i < 4; ++i) {
            const auto small = ostra::test::PictureFiles::small(std::uint32_t(40 + i));
            urls.append(QUrl::fromLocalFile(
                ostra::test::PictureFiles::write(dir.path(), QString("w%1.vrx").arg(i), small)));
        }
        ImageLocator locator(1, nullptr);
        ostra::test::TaskProbe gate(locator);
        gate.closed = true;
        for (const QUrl& url : qAsConst(urls))
            locator.requestMetadata(url);
        QTRY_COMPARE(gate.started.load(), 1);
        QCOMPARE(locator.pendingCount(), 3);
        locator.forgetFile(urls[2]);
        locator.forgetFile(urls[3]);
        QCoreApplication::processEvents();
        QCOMPARE(locator.pendingCount(), 1);
        gate.open();
        QVERIFY(gate.settle());
        QCOMPARE(gate.started.load(), 2);
        QVERIFY(!locator.hasKeeper(urls[3]));
        QVERIFY(!locator.indexedValues(urls[1]).isEmpty());
    }

    // Through the image service: a dropped picture is read again when asked for.
    void serviceReadsDroppedPicturesAgain()
    {
        QTemporaryDir dir;
        QList<QUrl> urls;
        for (int i = 0; i < 3; ++i) {
            const auto small = ostra::test::PictureFiles::small(std::uint32_t(7 + i));
            urls.append(QUrl::fromLocalFile(
                ostra::test::PictureFiles::write(dir.path(), QString("p%1.vrx").arg(i), small)));
        }
        ImageLocator locator(2, nullptr);
        locator.setThumbnailBudgetBytes(1);
        Client a, b;
        locator.requestLoad(urls[0], &a);
        QTRY_COMPARE_WITH_TIMEOUT(a.outputs.size(), 1, 20000);
        QCOMPARE(locator.thumbnails().keptCount(), 1); // held by a listener
        locator.releaseClient(urls[0], &a);
        QCOMPARE(locator.thumbnails().keptCount(), 0);
        for (int i = 1; i < 3; ++i)
            locator.requestLoad(urls[i], &b);
        QTRY_COMPARE_WITH_TIMEOUT(b.outputs.size(), 2, 20000);
        QCOMPARE(locator.thumbnails().keptCount(), 2);

        locator.requestLoad(urls[0], &a);
        QTRY_COMPARE_WITH_TIMEOUT(a.outputs.size(), 2, 20000);
        QVERIFY(!a.outputs.last().pyramid.isNull());
    }
};

OSTRA_TEST_MAIN_CORE(TestThumbnailBudget)
#include "tst_thumbnailbudget.moc"
