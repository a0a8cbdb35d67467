#include "support/capturetypes.h"
#include "support/filebytes.h"
#include "support/mountnamespace.h"
#include "support/testmain.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/capturefacade.h"
#include "capture/capturemodel.h"
#include "capture/capturesession.h"
#include "capture/hasbeenmodel.h"
#include "core/appsettings.h"
#include "pipeline/reciperouter.h"
#include "platform/folderdevice.h"
#include "support/filetree.h"
#include "tools/vrxgen/cameratree.h"

namespace {

constexpr int kPictures = 12;

QList<int> selectedRows(const CaptureModel& model)
{
    QList<int> rows;
    for (int row = 0; row < model.rowCount(); ++row)
        if (model.index(row, 0).data(CaptureSession::SelectedRole).toBool())
            rows << row;
    return rows;
}

// The bytes the chosen rows' raw files take, and how many they are.
ProgressRatio sizeOf(const CaptureModel& model, const QList<int>& rows)
{
    ProgressRatio sum(0, 0);
    for (int row : rows) {
        sum.first += model.index(row, 0).data(CaptureSession::RawFileSizeRole).toLongLong();
        sum.second += 1;
    }
    return sum;
}

} // namespace

class TestCaptureModel : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    AppSettings* m_settings = nullptr; // the device folders and the presets folder
    vrxgen::TreeInfo m_tree;
    QString m_camera;
    FolderDeviceManager* m_manager = nullptr; // owned by the devices model
    QString m_id;
    std::unique_ptr<RecipeRouter> m_router;
    std::unique_ptr<CaptureFacade> m_devices;
    std::unique_ptr<HasBeenModel> m_been;
    std::unique_ptr<CaptureModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;

    QString cameraFile(const QString& name) const { return m_camera + "/" + name; }

    // The model over a freshly opened session, once every preview was read.
    void open()
    {
        m_router = std::make_unique<RecipeRouter>();
        m_router->setMounted(QStorageInfo::mountedVolumes());
        m_manager = new FolderDeviceManager;
        m_id = m_manager->attach(m_camera, "Z40", "Quelt");
        m_devices = std::make_unique<CaptureFacade>(m_manager);
        m_devices->setPipeline(m_router.get());
        m_router->start();
        m_been = std::make_unique<HasBeenModel>(m_dir.filePath("been.db"), nullptr);
        m_model = std::make_unique<CaptureModel>();
        m_tester = std::make_unique<QAbstractItemModelTester>(m_model.get());
        m_model->setPipeline(m_router.get());
        m_model->setBeenModel(m_been.get());
        m_model->setDeviceLocator(m_devices.get());
        QTRY_COMPARE(m_devices->rowCount(), 1);
        m_model->startBlind();
        QTRY_VERIFY_WITH_TIMEOUT(m_model->correlated(), 30000);
        QCOMPARE(m_model->loadingState(), QStringLiteral("loaded"));
    }

private slots:
    void initTestCase()
    {
        ostra::test::registerCaptureTypes();
        m_settings = new AppSettings(this);
        m_camera = m_dir.filePath("camera");
        vrxgen::TreeOptions options;
        options.pictures = kPictures;
        options.moduleWidth = 64;
        options.moduleHeight = 48;
        options.hotPixelsPerModule = 0;
        QVERIFY(vrxgen::makeCameraTree(m_camera.toStdString(), options, &m_tree));
        // A picture whose preview cannot be read has no location: never shown.
        QVERIFY(ostra::test::writeTreeFile(cameraFile("IMG_0999.jpg"), "not a picture"));
        QVERIFY(ostra::test::writeTreeFile(cameraFile("IMG_0999.vrx"), "raw"));
    }
    void init() { open(); }
    void cleanup()
    {
        m_tester.reset();
        m_model.reset();
        m_devices.reset();
        m_router.reset();
        m_been.reset();
        QFile::remove(m_dir.filePath("been.db"));
        for (const QString suffix : { ".vrx", ".jpg", ".vrxs" })
            QFile::remove(cameraFile("IMG_0100" + suffix));
    }

    // The unreadable preview's row is never shown; counts come from the rows shown.
    void filtersSortsAndCounts()
    {
        QCOMPARE(m_model->count(), kPictures);
        QVERIFY(m_model->deviceItemCount() > kPictures);
        // The justified rows size each cell from its picture.
        QVERIFY(!m_model->index(0, 0).data(Qt::SizeHintRole).toSize().isEmpty());
        m_model->setSortField("thmFileName");
        m_model->setInvertSort(true);
        QCOMPARE(m_model->index(0, 0).data(CaptureSession::ThmFileNameRole).toString(), "IMG_0012.jpg");
        m_model->setInvertSort(false);
        m_model->setSortField("rating");
        for (int row = 1; row < m_model->rowCount(); ++row)
            QVERIFY(m_model->index(row - 1, 0).data(CaptureSession::RatingRole).toInt()
                <= m_model->index(row, 0).data(CaptureSession::RatingRole).toInt());
        // Pictures 6 and 12 have no stars: hidden from one star up, and the counts follow.
        QTRY_COMPARE(m_model->ratedImagesCount(), kPictures - 2);
        QCOMPARE(m_model->freshImagesCount(), kPictures);
        m_model->setMinRating(1);
        QCOMPARE(m_model->count(), kPictures - 2);
        QTRY_COMPARE(m_model->freshImagesCount(), kPictures - 2);
    }

    void manualRanges()
    {
        m_model->setSortField("thmFileName");
        m_model->selectAll();
        QVERIFY(m_model->autoselect());
        m_model->selectNone();
        QVERIFY(selectedRows(*m_model).isEmpty());
        QCOMPARE(m_model->spaceEstimate()->progress(), ProgressRatio(0, 0));
        struct Click
        {
            int row;
            bool checked, shift;
            QList<int> selected;
        };
        const QList<Click> clicks {
            { 2, true, false, { 2 } },
            { 6, true, true, { 2, 3, 4, 5, 6 } },
            { 4, false, true, { 2, 3, 4 } }, // the range shrinks, whatever `checked` says
            { 0, true, true, { 0, 1, 2 } },
            { 9, true, false, { 0, 1, 2, 9 } }, // a new anchor
            { 7, true, true, { 0, 1, 2, 7, 8, 9 } },
            { 1, false, false, { 0, 2, 7, 8, 9 } },
        };
        for (const Click& click : clicks) {
            m_model->selectManual(click.row, click.checked, click.shift);
            QVERIFY(!m_model->autoselect());
            QCOMPARE(selectedRows(*m_model), click.selected);
            QCOMPARE(m_model->spaceEstimate()->progress(), sizeOf(*m_model, click.selected));
        }
        // Choosing the device shown again keeps its session and the selection.
        m_model->startBlind();
        QCOMPARE(selectedRows(*m_model), clicks.last().selected);
        QCOMPARE(m_model->spaceEstimate()->progress(), sizeOf(*m_model, clicks.last().selected));
    }

    // Already imported pictures are not new; new and changed rows follow the automatic mode.
    void automaticModesFollowNewAndChangedRows()
    {
        const QUuid camera(QString::fromStdString(m_tree.cameraUuid));
        for (int i = 0; i < 3; ++i)
            m_been->markBeen(camera, QUuid(QString::fromStdString(m_tree.imageUuids.at(size_t(i)))));
        QTRY_COMPARE(m_model->freshImagesCount(), kPictures - 3);
        m_model->selectNew();
        QCOMPARE(selectedRows(*m_model).size(), kPictures - 3);
        m_model->setSortField("thmFileName");
        m_model->selectAll();
        QCOMPARE(selectedRows(*m_model).size(), kPictures);
        // A picture taken while connected arrives selected (copies of a starless picture).
        auto& controls = *m_manager->controls(m_id);
        for (const QString suffix : { ".vrx", ".jpg" }) {
            QVERIFY(QFile::copy(cameraFile("IMG_0006" + suffix), cameraFile("IMG_0100" + suffix)));
            controls.announceAdded("IMG_0100" + suffix);
        }
        QTRY_COMPARE(m_model->count(), kPictures + 1);
        QCOMPARE(selectedRows(*m_model).size(), kPictures + 1);
        QCOMPARE(m_model->spaceEstimate()->progress(), sizeOf(*m_model, selectedRows(*m_model)));
        m_model->selectRated();
        const int last = m_model->rowCount() - 1; // IMG_0100
        QVERIFY(!m_model->index(last, 0).data(CaptureSession::SelectedRole).toBool());
        // Its state file arrives with stars: the rated mode takes it.
        QVERIFY(QFile::copy(cameraFile("IMG_0004.vrxs"), cameraFile("IMG_0100.vrxs")));
        controls.announceAdded("IMG_0100.vrxs");
        QTRY_VERIFY(m_model->index(last, 0).data(CaptureSession::SelectedRole).toBool());
        QCOMPARE(selectedRows(*m_model).size(), kPictures - 2 + 1);
        QCOMPARE(m_model->spaceEstimate()->progress(), sizeOf(*m_model, selectedRows(*m_model)));
        for (const std::string& uuid : m_tree.imageUuids)
            m_been->markBeen(camera, QUuid(QString::fromStdString(uuid)));
        m_model->selectNew();
        QVERIFY(selectedRows(*m_model).isEmpty());
        QCOMPARE(m_model->spaceEstimate()->progress(), ProgressRatio(0, 0));
    }

    void transferQueuesOneBatch()
    {
        const QString folder = m_dir.filePath("import/2026-12-07");
        m_model->selectAll();
        QVERIFY(m_model->transfer(false).isEmpty()); // no folder chosen yet
        m_model->setImportFolder(QUrl::fromLocalFile(folder));
        m_model->setLowResFolder("lowres");
        m_model->setSortField("thmFileName");
        m_model->selectNone();
        QVERIFY(m_model->transfer(false).isEmpty());
        m_model->selectManual(0, true, false); // IMG_0001, with a state file
        m_model->selectManual(1, true, true);
        const QList<QUrl> files = m_model->transfer(false);
        QVERIFY(!m_model->isPipelineEmpty()); // presets cannot be synced meanwhile
        QStringList names;
        for (const QUrl& url : files)
            names << url.toLocalFile().mid(folder.size() + 1);
        names.sort();
        QCOMPARE(names,
            QStringList({ "IMG_0001.vrx", "IMG_0001.vrxs", "IMG_0002.vrx", "lowres/IMG_0001.jpg",
                "lowres/IMG_0002.jpg" }));
        for (const QString& name : qAsConst(names))
            QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(folder + "/" + name).size(),
                QFileInfo(cameraFile(QFileInfo(name).fileName())).size(), 30000);
        QTRY_VERIFY(m_model->isPipelineEmpty());
    }

    void presetsAndVideosReachTheDevice()
    {
        m_settings->setImportVideoFolder(m_dir.filePath("videos"));
        QVERIFY(QDir().mkpath(m_dir.filePath("videos")));
        QTRY_COMPARE(m_model->presetFilenames().size(), 2);
        m_model->syncPresets();
        for (const QString& name : m_model->presetFilenames())
            QTRY_VERIFY(QFileInfo::exists(AppSettings::presetsFolderPath() + "/" + name));
        VideosModel* videos = m_model->videosModel();
        QTRY_VERIFY(videos->video("VID_0001.mp4"));
        const qint64 size = QFileInfo(cameraFile("VID_0001.mp4")).size();
        videos->importVideos({ "VID_0001.mp4" }, true);
        QTRY_COMPARE(videos->downloadedCount(), 1);
        QCOMPARE(QFileInfo(m_dir.filePath("videos/VID_0001.mp4")).size(), size);
        // Removed on the camera once it is safely here.
        QTRY_VERIFY(!QFileInfo::exists(cameraFile("VID_0001.mp4")));
    }

    // Unplugged while videos download one after another: nothing is left half written under
    // a video's name, every video stays on the camera; plugged in again, the queue runs.
    void videoQueueSurvivesUnplug()
    {
        const QString folder = m_dir.filePath("videos-unplugged");
        m_settings->setImportVideoFolder(folder);
        QVERIFY(QDir().mkpath(folder));
        const std::shared_ptr<FolderDevice::Controls> controls = m_manager->controls(m_id);
        const QByteArray bytes(3 * FolderDevice::kOptimalBuffer, 'v');
        QStringList names;
        for (int i = 1; i <= 4; ++i) {
            names << QString("VID_020%1.mp4").arg(i);
            QVERIFY(ostra::test::writeTreeFile(cameraFile(names.last()), bytes));
            controls->announceAdded(names.last());
        }
        VideosModel* videos = m_model->videosModel();
        QTRY_VERIFY(videos->video(names.last()));
        // Each read takes long: the video takes four of them (the last finds its end).
        FolderDevice::Faults slow;
        slow.callDelayMs = 300;
        controls->setFaults(slow);
        videos->importVideos(names, true);
        const QString first = folder + "/" + names.first();
        QTRY_VERIFY(QFileInfo(first + ".transfer").size() > 0);
        controls->hold(); // a later read waits: the device goes in the middle of the video
        m_manager->detach(m_id);
        QTRY_COMPARE(m_model->loadingState(), QStringLiteral("failed"));
        controls->release();
        QTRY_VERIFY(QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty());
        for (const QString& name : qAsConst(names))
            QVERIFY2(QFileInfo::exists(cameraFile(name)), qPrintable(name));

        m_id = m_manager->attach(m_camera, "Z40", "Quelt");
        QTRY_COMPARE(m_devices->rowCount(), 1);
        m_model->setDeviceId(m_id);
        QTRY_VERIFY_WITH_TIMEOUT(m_model->correlated(), 30000);
        QTRY_VERIFY(videos->video(names.first()));
        videos->importVideos({ names.first() }, false);
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(first).size(), qint64(bytes.size()), 20000);
        QTRY_COMPARE(videos->downloadedCount(), 1);
        QVERIFY(videos->downloadingPaused());
        for (const QString& name : qAsConst(names))
            QVERIFY(QFile::remove(cameraFile(name)));
    }

    // A video that cannot be written whole (a full disk, a read-only one) is told as failed,
    // leaves nothing half written under its name and an older file of that name as it was,
    // and stays on the camera although it was to be removed once downloaded.
    void videoThatCannotBeWritten()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(
            m_dir.path(), QStringList { QStringLiteral("videoThatCannotBeWrittenInside") });
    }
    void videoThatCannotBeWrittenInside_data()
    {
        QTest::addColumn<QString>("disk");
        QTest::addColumn<bool>("older");
        QTest::addColumn<VideosModel::DownloadResultError>("error");
        const auto full = VideosModel::DownloadResultError::NoDiskSpace;
        const auto readOnly = VideosModel::DownloadResultError::CannotWrite;
        QTest::newRow("full") << "full" << false << full;
        QTest::newRow("full, an older file") << "full" << true << full;
        QTest::newRow("read-only") << "readonly" << false << readOnly;
        QTest::newRow("read-only, an older file") << "readonly" << true << readOnly;
    }
    void videoThatCannotBeWrittenInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of videoThatCannotBeWritten");
        QFETCH(QString, disk);
        QFETCH(bool, older);
        QFETCH(VideosModel::DownloadResultError, error);
        const QString tag = disk + (older ? "-older" : "");
        const QString folder = root + "/" + tag;
        QVERIFY(ostra::test::mountTmpfs(tag, folder, QStringLiteral("size=2m")));
        m_settings->setImportVideoFolder(folder);
        const QString name = QStringLiteral("VID_03%1%2.mp4").arg(disk.size()).arg(int(older));
        const QByteArray bytes(3 * FolderDevice::kOptimalBuffer, 'v');
        QVERIFY(ostra::test::writeTreeFile(cameraFile(name), bytes));
        m_manager->controls(m_id)->announceAdded(name);
        VideosModel* videos = m_model->videosModel();
        QTRY_VERIFY(videos->video(name));
        const QByteArray before = "an older video of that name";
        if (older)
            QVERIFY(ostra::test::writeTreeFile(folder + "/" + name, before));
        if (disk == QLatin1String("full"))
            QVERIFY(ostra::test::fillFileSystem(folder));
        else
            QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,ro '%1'").arg(folder)));
        const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);

        QSignalSpy finished(videos, &VideosModel::downloadingFinished);
        QSignalSpy removing(videos, &VideosModel::requestRemoving);
        videos->importVideos({ name }, true);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QCOMPARE(finished.at(0).at(0).toString(), name);
        QCOMPARE(finished.at(0).at(1).value<VideosModel::DownloadResultError>(), error);
        QCOMPARE(videos->downloadedCount(), 1);
        QVERIFY(videos->downloadingPaused());
        QVERIFY(removing.isEmpty());
        QCOMPARE(ostra::test::fileBytes(cameraFile(name)), bytes);
        QTRY_COMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), left);
        if (older)
            QCOMPARE(ostra::test::fileBytes(folder + "/" + name), before);
        QVERIFY(QFile::remove(cameraFile(name)));
    }

    // Last: it deletes pictures on the camera.
    void removalSparesQueuedPictures()
    {
        m_model->setSortField("thmFileName");
        m_model->setImportFolder(QUrl::fromLocalFile(m_dir.filePath("import/slow")));
        m_manager->controls(m_id)->hold(); // the queued pictures stay queued
        m_model->selectManual(0, true, false);
        m_model->selectManual(1, true, true);
        m_model->transfer(false);
        QTRY_VERIFY(m_model->index(1, 0).data(CaptureSession::TransferringRole).toBool());
        m_model->selectAll();
        m_model->removeSelectedItems();
        m_manager->controls(m_id)->release();
        QTRY_COMPARE(m_model->count(), 2);
        for (const QString name : { "IMG_0001.vrx", "IMG_0002.jpg", "IMG_0001.vrxs" })
            QVERIFY(QFileInfo::exists(cameraFile(name)));
        QVERIFY(!QFileInfo::exists(cameraFile("IMG_0003.vrx")));
        // Removed rows leave the estimate.
        QCOMPARE(m_model->spaceEstimate()->progress(), sizeOf(*m_model, { 0, 1 }));
        // Unplugged: the empty session is shown and the device's presets are forgotten.
        QSignalSpy lost(m_model.get(), &CaptureModel::notifyDeviceLost);
        m_manager->controls(m_id)->unplug();
        QTRY_COMPARE(lost.size(), 1);
        QCOMPARE(m_model->loadingState(), QStringLiteral("failed"));
        QCOMPARE(m_model->count(), 0);
        QVERIFY(m_model->presetFilenames().isEmpty());
        QCOMPARE(m_model->spaceEstimate()->progress(), ProgressRatio(0, 0));
    }
};

OSTRA_TEST_MAIN(TestCaptureModel)
#include "tst_capturemodel.moc"
