// The video download queue: one download at a time, pause, resume and cancel with a
// download under way, videos kept on the camera after failed downloads, and sizes past 4 GiB.
#include "support/capturetypes.h"
#include "support/testmain.h"

#include "capture/videosmodel.h"
#include "core/appsettings.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr qint64 kBig = (qint64(5) << 30) + 7; // 5 GiB and a little

VideosModel::DownloadRequest requestAt(const QSignalSpy& spy, int i)
{
    return spy.at(i).at(0).value<VideosModel::DownloadRequest>();
}
} // namespace

class TestVideosModel : public QObject
{
    Q_OBJECT
    AppSettings m_settings;

private slots:
    void initTestCase()
    {
        ostra::test::registerCaptureTypes();
        m_settings.setImportVideoFolder(QStringLiteral("/videos"));
    }

    // Row "done": pause, resume and cancel while a download runs. The others: a failed
    // download keeps its video on the camera and the queue goes on.
    void downloads_data()
    {
        QTest::addColumn<int>("result");
        QTest::newRow("done") << int(VideosModel::DownloadResultError::None);
        QTest::newRow("cannot write") << int(VideosModel::DownloadResultError::CannotWrite);
    }
    void downloads()
    {
        QFETCH(int, result);
        const bool ok = result == int(VideosModel::DownloadResultError::None);
        VideosModel model;
        for (int i = 1; i <= 3; ++i)
            model.addVideo(
                QString("VID_%1.mp4").arg(i), QString("o%1").arg(i), i == 1 ? kBig : 1000 * i, QDateTime());
        QSignalSpy asked(&model, &VideosModel::requestDownload);
        QSignalSpy removing(&model, &VideosModel::requestRemoving);
        QSignalSpy finished(&model, &VideosModel::downloadingFinished);
        model.importVideos({}, true); // nothing to download: stays paused
        QVERIFY(asked.isEmpty() && model.downloadingPaused());
        model.importVideos({ "VID_1.mp4", "VID_2.mp4", "VID_3.mp4" }, true);
        QCOMPARE(asked.count(), 1);
        QCOMPARE(model.downloadingHandler()->maximumProgress(), kBig + 5000);
        VideosModel::DownloadRequest first = requestAt(asked, 0);
        QCOMPARE(first.size, kBig);
        QCOMPARE(first.path, QStringLiteral("/videos") + QDir::separator() + "VID_1.mp4");
        first.result = VideosModel::DownloadResultError(result);
        if (!ok) {
            model.onVideoImported(first);
            QCOMPARE(removing.count(), 0);
            QVERIFY(model.video(QStringLiteral("VID_1.mp4")));
            QCOMPARE(finished.at(0).at(1).value<VideosModel::DownloadResultError>(), first.result);
            QCOMPARE(asked.count(), 2);
            model.onVideoImported(requestAt(asked, 1));
            QCOMPARE(removing.at(0).at(0).toStringList(), QStringList { "o2" });
            return;
        }
        // Paused while the first runs: it finishes, nothing further starts.
        model.pauseDownloading();
        model.onProgress(kBig - 1);
        QCOMPARE(model.downloadingHandler()->progress(), kBig - 1);
        model.onVideoImported(first);
        QCOMPARE(asked.count(), 1);
        QCOMPARE(removing.at(0).at(0).toStringList(), QStringList { "o1" });
        QCOMPARE(model.downloadingHandler()->progress(), kBig);
        // Resumed: the next starts. Cancelled while it runs: it still reports, the rest goes.
        model.pauseDownloading();
        QCOMPARE(asked.count(), 2);
        model.cancelDownloading();
        QCOMPARE(model.downloadingHandler()->maximumProgress(), kBig + 2000);
        model.onVideoImported(requestAt(asked, 1));
        QCOMPARE(asked.count(), 2);
        QCOMPARE(model.downloadedCount(), 2);
        QVERIFY(model.downloadingPaused() && model.video(QStringLiteral("VID_3.mp4")));
        // A new run starts its counters afresh.
        model.importVideos({ "VID_3.mp4" }, false);
        QCOMPARE(model.downloadedCount(), 0);
        QCOMPARE(model.downloadingHandler()->maximumProgress(), qint64(3000));
    }

    // A name taken when its video is queued was chosen to be replaced (the view asks
    // first); a name free then must still be free when the download ends.
    void replacesOnlyWhatWasThere()
    {
        QTemporaryDir dir;
        m_settings.setImportVideoFolder(dir.path());
        QFile taken(dir.filePath("VID_1.mp4"));
        QVERIFY(taken.open(QIODevice::WriteOnly) && taken.write("old") == 3);
        taken.close();
        VideosModel model;
        model.addVideo(QStringLiteral("VID_1.mp4"), QStringLiteral("o1"), 10, QDateTime());
        model.addVideo(QStringLiteral("VID_2.mp4"), QStringLiteral("o2"), 10, QDateTime());
        QSignalSpy asked(&model, &VideosModel::requestDownload);
        model.importVideos({ "VID_1.mp4", "VID_2.mp4" }, true);
        QVERIFY(requestAt(asked, 0).overwrite);
        model.onVideoImported(requestAt(asked, 0));
        QCOMPARE(asked.count(), 2);
        QVERIFY(!requestAt(asked, 1).overwrite);
        m_settings.setImportVideoFolder(QStringLiteral("/videos"));
    }

    // Metadata and a thumbnail that come before their video are used once.
    void metadataAndThumbnailsBeforeTheirVideo()
    {
        VideosModel model;
        const QDateTime utc(QDate(2026, 5, 2), QTime(8, 30), Qt::UTC);
        model.saveMetadata({ { QStringLiteral("VID_9.mp4"), { 4, 12, utc } } });
        model.onThumbnailFound(QStringLiteral("VID_9.mp4"), QStringLiteral("/cache/VID_9.jpg"));
        QVERIFY(model.metadataLoaded() && !model.videosExists());
        model.addVideo(QStringLiteral("VID_9.mp4"), QStringLiteral("o9"), 10, QDateTime());
        VideoProperties* video = model.video(QStringLiteral("VID_9.mp4"));
        QVERIFY(video && video->rating() == 4 && video->duration() == 12);
        QCOMPARE(video->thumbnailPath(), QStringLiteral("/cache/VID_9.jpg"));
        QCOMPARE(video->timestampCreated(), utc);
        model.addVideo(QStringLiteral("VID_9.mp4"), QStringLiteral("o9"), 10, QDateTime());
        QCOMPARE(model.video(QStringLiteral("VID_9.mp4"))->rating(), 0);
        QCOMPARE(model.videos().size(), 1);
        model.clear();
        QVERIFY(!model.videosExists() && !model.metadataLoaded());
    }
};

OSTRA_TEST_MAIN_CORE(TestVideosModel)
#include "tst_videosmodel.moc"
