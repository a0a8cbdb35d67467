#include "support/picturefiles.h"
#include "support/recordingcanvas.h"
#include "support/testmain.h"

#include "engine/imagekeeper.h"
#include "engine/imagelocator.h"
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
