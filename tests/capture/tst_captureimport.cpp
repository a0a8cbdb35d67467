#include "support/capturetypes.h"
#include "support/fakevolumes.h"
#include "support/mountnamespace.h"
#include "support/rawsamples.h"
#include "support/testmain.h"

#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>
#include <map>
#include <memory>

#include "capture/capturefacade.h"
#include "capture/capturemodel.h"
#include "capture/capturesession.h"
#include "capture/filekind.h"
#include "capture/hasbeenmodel.h"
#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "core/appsettings.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/metahistory.h"
#include "pipeline/recipebatch.h"
#include "pipeline/recipelogger.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "platform/folderdevice.h"
#include "tools/vrxgen/cameratree.h"

// Imports from a camera end to end: the devices model and its sessions over a folder
// served as a portable device or over volumes standing in for USB storage, the journal,
// the scheduler with its copy workers, the image service that verifies copies, the
// calibration store and the already-imported marks, all on real files and databases.
namespace {

using ostra::test::FakeMountSource;
using ostra::test::NoEjector;

// Kills the process once `killAfter` raw files were journaled as complete in the library
// (a camera volume's own files complete in place as they are listed).
class KillingLogger : public RecipeLogger
{
public:
    int killAfter = -1;
    void onComplete(QUrl target, Recipe recipe) override
    {
        RecipeLogger::onComplete(target, recipe);
        if (killAfter > 0 && fileKind(recipe) == RawKind && target.toLocalFile().contains("/library/")
            && --killAfter == 0)
            std::raise(SIGKILL);
    }
};

// Everything the window wires for an import, over one camera tree.
struct Rig
{
    QString root;
    QString camera;
    vrxgen::TreeInfo tree;
    RecipeRouter router;
    KillingLogger logger;
    ImageLocator locator { 2, nullptr };
    Metahistory history;
    HasBeenModel hasBeen;
    std::unique_ptr<Volumes> volumes;
    FakeMountSource* mounts = nullptr;
    FolderDeviceManager* manager = nullptr;
    std::unique_ptr<CaptureFacade> facade;
    QString deviceId;
    bool holdValidation = false;
    QList<QUrl> unvalidated;
    QList<QUuid> completed;

    Rig(const QString& root, bool usb, int pictures = 4, int moduleWidth = 128)
        : root(root)
        , camera(root + "/camera")
        , history(root + "/meta.db", root + "/data")
        , hasBeen(root + "/uuids.db", nullptr)
    {
        vrxgen::TreeOptions options;
        options.usb = usb;
        options.pictures = pictures;
        options.marker = "queltcal";
        options.moduleWidth = moduleWidth;
        options.moduleHeight = moduleWidth * 3 / 4;
        // A second life over the same camera learns the tree's names from a copy.
        const bool again = QFileInfo::exists(camera);
        if (!vrxgen::makeCameraTree(((again ? root + "/scratch" : camera)).toStdString(), options, &tree))
            qFatal("no camera tree");
        if (again)
            tree.pictureRoot = (usb ? camera + "/Z40CD0042/DCIM" : camera).toStdString();
        logger.setDelegate(&router);
        QObject::connect(&router, &RecipeRouter::sessionCompleted, [this](QUuid id) { completed << id; });
        logger.setDbConnString(root + "/recipes.db");
        QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
        mounted << QStorageInfo(root);
        router.setMounted(mounted);
        router.setBailiff(locator.bailiff());
        locator.setMetahistory(&history);
        QObject::connect(&logger, &IFileSink::needValidate, &locator, [this](QUrl target) {
            if (holdValidation)
                unvalidated << target;
            else
                locator.requestMetadata(target);
        });
        QObject::connect(&locator, &ImageLocator::notifyFileIndexedSignal, &logger, [this](VrxMetadata md) {
            logger.onGoodFromMetadata(md);
            hasBeen.markBeenFromMetadata(md);
        });
        if (usb) {
            mounts = new FakeMountSource;
            volumes = std::make_unique<Volumes>(mounts, new NoEjector);
        } else {
            manager = new FolderDeviceManager;
        }
        facade = std::make_unique<CaptureFacade>(manager);
        facade->setBailiff(locator.bailiff());
        facade->setPipeline(&logger);
        QObject::connect(facade.get(), &CaptureFacade::notifyReserved, &history, &Metahistory::offer);
        deviceId = usb ? ostra::test::plugCameraVolumes(*facade->volMonitor(), *volumes, *mounts, camera)
                       : manager->attach(camera, "Z40");
    }

    CaptureSession* open()
    {
        if (!QTest::qWaitFor([this] { return facade->count() > 0; }))
            return nullptr;
        CaptureSession* session = facade->openSession(deviceId);
        return QTest::qWaitFor([session] { return session->isCorrelated(); }, 20000) ? session : nullptr;
    }

    QString folder() const { return root + "/library/" + QDate::currentDate().toString("yyyy-MM-dd"); }

    // Every file of every row into the dated folder, as one batch.
    QUuid import(CaptureSession* session, bool free = false)
    {
        QDir().mkpath(folder());
        const QUuid id = QUuid::createUuid();
        RecipeBatch batch(id);
        batch.free = free;
        batch.setProvider("transfer");
        batch.setIoChannel(deviceId);
        for (int row = 0; row < session->rowCount(); ++row) {
            for (int role : { PreviewKind, StateKind, RawKind })
                session->itemFromRecord(&batch, session->index(row, 0), role, QDir(folder()));
        }
        batch.submit(&logger);
        return id;
    }

    bool completes(const QUuid& session, int timeout = 60000)
    {
        return QTest::qWaitFor([&] { return completed.contains(session); }, timeout);
    }

    QString cameraFile(const QString& name) const
    {
        return QString::fromStdString(tree.pictureRoot) + "/" + name;
    }

    // The copies are the camera's files, pixel for pixel; the pictures are marked as
    // imported from this camera and the camera's calibration is stored.
    void checkImported(bool marked = true)
    {
        const QUuid cameraUuid(QString::fromStdString(tree.cameraUuid));
        for (size_t i = 0; i < tree.pictures.size(); ++i) {
            const QString name = QString::fromStdString(tree.pictures[i]);
            // The image service may already have compressed the copy in place: same samples.
            QCOMPARE(ostra::test::rawSamplesOf(folder() + "/" + name + ".vrx"),
                ostra::test::rawSamplesOf(cameraFile(name + ".vrx")));
            const QImage copy(folder() + "/" + name + ".jpg");
            QVERIFY(!copy.isNull() && copy == QImage(cameraFile(name + ".jpg")));
            if (marked)
                QTRY_VERIFY2(hasBeen.hasBeen(cameraUuid, QUuid(QString::fromStdString(tree.imageUuids[i]))),
                    qPrintable(name));
        }
        QVERIFY(QDir(folder()).entryList({ "*.transfer" }, QDir::Files | QDir::Hidden).isEmpty());
        QTRY_VERIFY(!history.get({ cameraUuid, QDateTime() }).isEmpty());
        QCOMPARE(QDir(history.calibrationFolder()).entryList(QDir::Files).size(), 1);
    }
};

} // namespace

class TestCaptureImport : public QObject
{
    Q_OBJECT
private:
    AppSettings* m_settings = nullptr;

    static void transports()
    {
        QTest::addColumn<bool>("usb");
        QTest::newRow("portable device") << false;
        QTest::newRow("usb volumes") << true;
    }

private slots:
    void initTestCase()
    {
        m_settings = new AppSettings(this);
        ostra::test::registerCaptureTypes();
    }

    // The camera deletes a picture only once its copy was verified by the image service.
    void deleteOnlyAfterVerified_data() { transports(); }
    void deleteOnlyAfterVerified()
    {
        QFETCH(bool, usb);
        QTemporaryDir dir;
        Rig rig(dir.path(), usb, 2);
        rig.holdValidation = true;
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        rig.import(session, true);
        QTRY_COMPARE(rig.unvalidated.size(), 2);
        const QString name = QString::fromStdString(rig.tree.pictures[0]);
        const auto camera = ostra::test::rawSamplesOf(rig.cameraFile(name + ".vrx"));
        // The copies are complete and the pipeline is idle: only the verification is missing.
        QTest::qWait(300);
        rig.checkImported(false);
        for (const char* suffix : { ".vrx", ".jpg" })
            QVERIFY(QFileInfo::exists(rig.cameraFile(name + suffix)));
        for (int row = 0; row < session->rowCount(); ++row)
            QVERIFY(!session->index(row, 0).data(CaptureSession::ToRemoveRole).toBool());
        for (const QUrl& target : qAsConst(rig.unvalidated))
            rig.locator.requestMetadata(target);
        // Verified, every picture goes from the device (deleted, or retired on a read-only
        // camera volume) and the device reports it gone.
        const QModelIndexList pictures = session->match(session->index(0, 0), CaptureSession::RawFileNameRole,
            QRegularExpression("\\.vrx$"), -1, Qt::MatchRegularExpression);
        QCOMPARE(pictures.size(), 2);
        const auto allGone = [&pictures] {
            for (const QModelIndex& item : pictures) {
                if (!item.data(CaptureSession::RawRemoteIdRole).toString().isEmpty()
                    || !item.data(CaptureSession::ThmRemoteIdRole).toString().isEmpty())
                    return false;
            }
            return true;
        };
        QTRY_VERIFY_WITH_TIMEOUT(allGone(), 20000);
        QCOMPARE(QFileInfo::exists(rig.cameraFile(name + ".vrx")), usb);
        QCOMPARE(ostra::test::rawSamplesOf(rig.folder() + "/" + name + ".vrx"), camera);
        // Verified pictures are marked as imported from the camera the session names, as its
        // raw files do, from the calibration it handed over.
        const QUuid cameraUuid(QString::fromStdString(rig.tree.cameraUuid));
        QCOMPARE(session->deviceUuid(), cameraUuid);
        for (const std::string& image : rig.tree.imageUuids)
            QTRY_VERIFY(rig.hasBeen.hasBeen(cameraUuid, QUuid(QString::fromStdString(image))));
    }

    // A camera may write another picture under the name of one just copied (the card
    // cleared and the name used again, the picture taken again): when the copy is then
    // verified and the picture freed, the camera's new file stays, while the other
    // pictures of the import go from the camera as usual.
    void freeKeepsReplacedFile_data()
    {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<bool>("sameSize"); // same size, other contents and time
        // The camera deletes the file and tells so, then writes the new picture under the
        // same name (and object id) with the same size and time: only its removal tells.
        QTest::addColumn<bool>("told");
        QTest::newRow("portable device, other size") << false << false << false;
        QTest::newRow("portable device, other time") << false << true << false;
        QTest::newRow("portable device, removal told") << false << true << true;
        QTest::newRow("usb volumes, other size") << true << false << false;
        QTest::newRow("usb volumes, other time") << true << true << false;
    }
    void freeKeepsReplacedFile()
    {
        QFETCH(bool, usb);
        QFETCH(bool, sameSize);
        QFETCH(bool, told);
        QTemporaryDir dir;
        Rig rig(dir.path(), usb, 2);
        rig.holdValidation = true;
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        rig.import(session, true);
        QTRY_COMPARE(rig.unvalidated.size(), 2);
        QTest::qWait(300); // the copies are complete: only their verification is missing
        rig.checkImported(false);

        const QString replaced = QString::fromStdString(rig.tree.pictures[0]);
        const QString kept = QString::fromStdString(rig.tree.pictures[1]);
        const QString cameraRaw = rig.cameraFile(replaced + ".vrx");
        QFile raw(cameraRaw);
        QVERIFY(raw.open(QIODevice::ReadWrite));
        QByteArray other = raw.readAll();
        const QDateTime wasModified = raw.fileTime(QFileDevice::FileModificationTime);
        for (int i = other.size() / 2; i < other.size(); ++i)
            other[i] = char(~other[i]);
        if (!sameSize)
            other.append("another picture");
        const auto row = [session](const QString& name) {
            const QModelIndexList found = session->match(
                session->index(0, 0), CaptureSession::RawFileNameRole, name + ".vrx", 1, Qt::MatchExactly);
            return found.isEmpty() ? QModelIndex() : found.first();
        };
        const QModelIndex replacedRow = row(replaced), keptRow = row(kept);
        QVERIFY(replacedRow.isValid() && keptRow.isValid());
        if (told) {
            const std::shared_ptr<FolderDevice::Controls> controls = rig.manager->controls(rig.deviceId);
            const QString relative = QDir(rig.camera).relativeFilePath(cameraRaw);
            raw.close();
            QVERIFY(QFile::remove(cameraRaw));
            controls->announceRemoved(relative);
            QTRY_VERIFY(replacedRow.data(CaptureSession::RawRemoteIdRole).toString().isEmpty());
            QVERIFY(raw.open(QIODevice::WriteOnly) && raw.write(other) == other.size());
            QVERIFY(raw.setFileTime(wasModified, QFileDevice::FileModificationTime));
            raw.close();
            controls->announceAdded(relative);
            QTRY_COMPARE(replacedRow.data(CaptureSession::RawRemoteIdRole).toString(), "f:" + relative);
        } else {
            QVERIFY(raw.resize(0) && raw.seek(0) && raw.write(other) == other.size());
            raw.close();
            QVERIFY(raw.open(QIODevice::ReadWrite));
            QVERIFY(raw.setFileTime(wasModified.addSecs(60), QFileDevice::FileModificationTime));
            raw.close();
        }

        for (const QUrl& target : qAsConst(rig.unvalidated))
            rig.locator.requestMetadata(target);
        // The picture left alone goes; of the other, the files that are still the copied
        // ones go (its raw file is asked for first, its preview last).
        QTRY_VERIFY_WITH_TIMEOUT(keptRow.data(CaptureSession::RawRemoteIdRole).toString().isEmpty()
                && keptRow.data(CaptureSession::ThmRemoteIdRole).toString().isEmpty()
                && replacedRow.data(CaptureSession::ThmRemoteIdRole).toString().isEmpty(),
            20000);
        QCOMPARE(QFileInfo::exists(rig.cameraFile(kept + ".vrx")), usb);
        QTest::qWait(200);
        QVERIFY(!replacedRow.data(CaptureSession::RawRemoteIdRole).toString().isEmpty());
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QCOMPARE(raw.readAll(), other);
        if (usb) {
            // Retired on the read-only picture volume: a record hides the file from now on.
            QStringList records;
            QDirIterator it(rig.camera, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                if (path.contains("/.QTrash/"))
                    records << QFileInfo(path).fileName();
            }
            QVERIFY2(records.contains(kept + ".vrx"), qPrintable(records.join(' ')));
            QVERIFY2(!records.contains(replaced + ".vrx"), qPrintable(records.join(' ')));
        }
    }

    // Two cameras whose pictures have the same names, imported at once into one folder with
    // deletion from the camera: the files of the second import whose names the first one
    // writes are not queued, and the camera's tab hears so. No copy is a mix of both, and
    // the camera whose pictures were not copied keeps them all.
    void twoCamerasOneFolder()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), false, 3);
        const QString second = rig.root + "/camera2";
        vrxgen::TreeOptions options;
        options.pictures = 3;
        options.cameraSeed = 7;
        options.marker = "queltcal";
        vrxgen::TreeInfo other;
        QVERIFY(vrxgen::makeCameraTree(second.toStdString(), options, &other));
        QCOMPARE(other.pictures, rig.tree.pictures); // the same names
        const QString secondRoot = QString::fromStdString(other.pictureRoot) + "/";
        std::map<QString, std::vector<std::vector<std::uint16_t>>> firstSamples, secondSamples;
        for (const std::string& name : rig.tree.pictures) {
            const QString raw = QString::fromStdString(name) + ".vrx";
            firstSamples[raw] = ostra::test::rawSamplesOf(rig.cameraFile(raw));
            secondSamples[raw] = ostra::test::rawSamplesOf(secondRoot + raw);
            QVERIFY(firstSamples[raw] != secondSamples[raw]);
        }
        rig.logger.start();
        CaptureSession* first = rig.open();
        QVERIFY(first);
        const QString firstId = rig.deviceId;
        rig.deviceId = rig.manager->attach(second, "Z40 two");
        QTRY_COMPARE(rig.facade->count(), 2);
        CaptureSession* session2 = rig.facade->openSession(rig.deviceId);
        QTRY_VERIFY_WITH_TIMEOUT(session2->isCorrelated(), 20000);
        const QUuid importSecond = rig.import(session2, true);

        CaptureModel model;
        model.setDeviceLocator(rig.facade.get());
        model.setPipeline(&rig.logger);
        model.setDeviceId(firstId);
        QTRY_COMPARE(model.count(), int(rig.tree.pictures.size()));
        model.setImportFolder(QUrl::fromLocalFile(rig.folder()));
        model.selectAll();
        QSignalSpy notQueued(&model, &CaptureModel::filesNotQueued);
        QVERIFY(model.transfer(true).isEmpty());
        QCOMPARE(notQueued.size(), 1);
        int files = 0; // every file of the first camera: none was queued
        for (int row = 0; row < first->rowCount(); ++row) {
            for (int role : { CaptureSession::ThmRemoteIdRole, CaptureSession::StateRemoteIdRole,
                     CaptureSession::RawRemoteIdRole })
                files += !first->index(row, 0).data(role).toString().isEmpty();
        }
        QCOMPARE(notQueued.first().first().toInt(), files);

        QVERIFY(rig.completes(importSecond));
        for (const std::string& name : rig.tree.pictures) {
            const QString raw = QString::fromStdString(name) + ".vrx";
            QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(secondRoot + raw), 20000);
            QCOMPARE(ostra::test::rawSamplesOf(rig.folder() + "/" + raw), secondSamples[raw]);
            QCOMPARE(ostra::test::rawSamplesOf(rig.cameraFile(raw)), firstSamples[raw]);
        }
        QVERIFY(QDir(rig.folder()).entryList({ "*.transfer" }, QDir::Files | QDir::Hidden).isEmpty());
        QCOMPARE(rig.completed, QList<QUuid> { importSecond });
    }

    // An import asked for while the camera is still being listed completes; the listing
    // goes on beside it and ends too.
    void importWhileListing()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), false, 12, 64);
        rig.logger.start();
        const std::shared_ptr<FolderDevice::Controls> controls = rig.manager->controls(rig.deviceId);
        FolderDevice::Faults slow;
        slow.callDelayMs = 50;
        slow.noBulk = true; // objects read one by one, as they are found
        controls->setFaults(slow);
        QVERIFY(QTest::qWaitFor([&] { return rig.facade->count() > 0; }));
        CaptureSession* session = rig.facade->openSession(rig.deviceId);
        QVERIFY(QTest::qWaitFor([&] { return session->rowCount() > 0; }, 20000));
        controls->hold(); // the listing stops where it is
        QVERIFY(!session->isEnumerated());
        const int rows = session->rowCount();
        const QUuid import = rig.import(session);
        controls->release();
        QVERIFY(rig.completes(import));
        QTRY_VERIFY(session->isEnumerated());
        QVERIFY(session->rowCount() > rows);
        int copied = 0;
        for (int row = 0; row < rows; ++row)
            copied += QFileInfo::exists(
                rig.folder() + "/" + session->index(row, 0).data(CaptureSession::RawFileNameRole).toString());
        QCOMPARE(copied, rows);
    }

    // Picture volumes can come with an eject that does not succeed: the camera tab hears
    // the result of the eject, which runs off the GUI thread.
    void ejectTellsItsResult()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), true, 1, 64);
        CaptureModel model;
        model.setDeviceLocator(rig.facade.get());
        QVERIFY(QTest::qWaitFor([&] { return rig.facade->count() > 0; }));
        model.setDeviceId(rig.deviceId);
        QVERIFY(model.canEject());
        QSignalSpy state(&model, &CaptureModel::ejectStateChanged);
        model.eject(); // these volumes have no block device: nothing can be ejected
        QTRY_COMPARE(model.ejectState(), QStringLiteral("failed"));
        QCOMPARE(state.size(), 2); // "ejecting", then "failed"
    }

    // An eject asked for while files of the camera are still to be copied is refused with
    // its reason, and cuts nothing: the import then completes. Once it has, the eject runs.
    void ejectWaitsForTheImport()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), true, 2, 64);
        CaptureModel model;
        model.setDeviceLocator(rig.facade.get());
        model.setPipeline(&rig.logger);
        CaptureSession* session = rig.open();
        QVERIFY(session);
        model.setDeviceId(rig.deviceId);
        const QUuid import = rig.import(session); // queued; the scheduler starts below
        QSignalSpy state(&model, &CaptureModel::ejectStateChanged);
        model.eject();
        QCOMPARE(model.ejectState(), QStringLiteral("busy"));
        QCOMPARE(state.size(), 1);
        rig.logger.start();
        QVERIFY(rig.completes(import));
        rig.checkImported();
        model.eject(); // these volumes have no block device: nothing can be ejected
        QTRY_COMPARE(model.ejectState(), QStringLiteral("failed"));
        QCOMPARE(state.size(), 3); // "busy", "ejecting", "failed"
    }

    // A camera unplugged in the middle of a raw file raises a ticket for the device;
    // plugged in again, the import resumes and completes.
    void unplugAndResume()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), false, 2, 1024);
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        auto controls = rig.manager->controls(rig.deviceId);
        FolderDevice::Faults slow;
        slow.callDelayMs = 60;
        controls->setFaults(slow);
        const QUuid import = rig.import(session);
        const QString raw = rig.folder() + "/" + QString::fromStdString(rig.tree.pictures[0]) + ".vrx";
        const qint64 size = QFileInfo(rig.cameraFile(QFileInfo(raw).fileName())).size();
        QVERIFY2(size > 2 * FolderDevice::kOptimalBuffer, "the raw file must take several reads");
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qint64 got = QFileInfo(raw + ".transfer").size();
                return got > 0 && got < size;
            },
            20000));
        rig.manager->detach(rig.deviceId);
        QTRY_VERIFY(rig.router.tickets()->count() > 0);
        QVERIFY(rig.router.tickets()->error() & IFileSink::IOError);
        QTRY_VERIFY(!QFileInfo::exists(raw) && !QFileInfo::exists(raw + ".transfer"));
        rig.manager->attach(rig.camera, "Z40");
        QVERIFY(rig.open());
        QVERIFY(rig.completes(import));
        QCOMPARE(rig.router.tickets()->count(), 0);
        rig.checkImported();
    }

    // In a private mount namespace (readOnlyDestination): the library on a tmpfs that turns
    // read-only once the scheduler has checked it, while the camera's copies are under way.
    // The ticket names the destination, not the camera; no file is left under its name;
    // writable again and tried again, the import completes.
    void readOnlyDestinationChild()
    {
        const QString base = ostra::test::mountNamespaceFolder();
        if (base.isEmpty())
            QSKIP("runs in a mount namespace (readOnlyDestination)");
        const QString library = base + "/library";
        QVERIFY(ostra::test::mountTmpfs("ostra-library", library, "size=64m"));
        Rig rig(base, false, 2); // made after the mount, so it knows the volume
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        auto controls = rig.manager->controls(rig.deviceId);
        controls->hold(); // the device's next call (the first copy's) waits
        const QUuid import = rig.import(session);
        QVERIFY(QTest::qWaitFor([&] { return controls->heldCalls() > 0; }, 20000));
        // The held copy has nothing open there yet, but a preview taken from the cache may
        // still be on its way in: the volume turns read-only once that one is written.
        QVERIFY(QTest::qWaitFor(
            [&] {
                return ostra::test::shell(
                    QStringLiteral("mount -o remount,ro '%1' 2>/dev/null").arg(library));
            },
            20000));
        controls->release();
        QTRY_VERIFY_WITH_TIMEOUT(rig.router.tickets()->count() > 0, 20000);
        QCOMPARE(rig.router.tickets()->errorType(), QStringLiteral("NoWrite"));
        QVERIFY(!(rig.router.tickets()->error() & IFileSink::IOError));
        // Only whole copies (a preview taken from the cache) stand in the library.
        for (const QString& name : QDir(rig.folder()).entryList(QDir::Files | QDir::Hidden)) {
            QFile copy(rig.folder() + "/" + name), original(rig.cameraFile(name));
            QVERIFY2(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly), qPrintable(name));
            QVERIFY2(copy.readAll() == original.readAll(), qPrintable(name));
        }
        QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,rw '%1'").arg(library)));
        for (int tries = 0; tries < 10 && rig.router.tickets()->count() > 0; ++tries) {
            rig.router.revive(rig.router.tickets()->resolve());
            QTest::qWait(100);
        }
        QVERIFY(rig.completes(import));
        QCOMPARE(rig.router.tickets()->count(), 0);
        rig.checkImported();
    }

    void readOnlyDestination()
    {
        QTemporaryDir dir;
        OSTRA_RUN_IN_MOUNT_NAMESPACE(dir.path(), QStringList { "readOnlyDestinationChild" });
    }

    // A camera connected as USB storage unplugged while a copy from it waits to read its
    // file: nothing is left under the copy's name, and plugged in again, the import
    // completes.
    void usbUnplugInTheMiddleOfACopy()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), true, 2);
        rig.router.setFilePerm(rig.locator.filePerm());
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        const QString name = QString::fromStdString(rig.tree.pictures[0]) + ".vrx";
        FileToken held
            = rig.locator.filePerm()->acquireFileSemaphore(rig.cameraFile(name), FilePerm::kExclusive);
        const QUuid import = rig.import(session);
        QTRY_VERIFY(rig.router.inFlightCount() > 0);
        const QList<QStorageInfo> plugged = rig.mounts->list;
        rig.mounts->list.clear();
        QVERIFY(QDir().rename(rig.camera, rig.root + "/unplugged"));
        QVERIFY(ostra::test::announceChange(*rig.mounts, *rig.volumes));
        QTRY_COMPARE(rig.facade->count(), 0);
        held.reset();
        QTRY_COMPARE(rig.router.inFlightCount(), 0);
        QVERIFY(!QFileInfo::exists(rig.folder() + "/" + name));
        QVERIFY(QDir(rig.folder()).entryList({ "*.transfer*" }, QDir::Files | QDir::Hidden).isEmpty());
        QVERIFY(QDir().rename(rig.root + "/unplugged", rig.camera));
        rig.mounts->list = plugged;
        QVERIFY(ostra::test::announceChange(*rig.mounts, *rig.volumes));
        QVERIFY(rig.open());
        QVERIFY(rig.completes(import));
        QCOMPARE(rig.router.tickets()->count(), 0);
        rig.checkImported();
    }

    // The camera unplugged while it deletes the pictures of an import, one after another as
    // their copies are verified: none goes whose copy is not in the library, and plugged in
    // again, the pictures left on it go as well.
    void unplugWhileFreeing()
    {
        QTemporaryDir dir;
        Rig rig(dir.path(), false, 4);
        std::map<QString, std::vector<std::vector<std::uint16_t>>> samples;
        for (const std::string& name : rig.tree.pictures) {
            const QString raw = QString::fromStdString(name) + ".vrx";
            samples[raw] = ostra::test::rawSamplesOf(rig.cameraFile(raw));
        }
        const auto onCamera = [&] {
            int left = 0;
            for (const auto& picture : samples)
                left += QFileInfo::exists(rig.cameraFile(picture.first));
            return left;
        };
        rig.holdValidation = true;
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        const QUuid import = rig.import(session, true);
        QVERIFY(rig.completes(import));
        QTRY_COMPARE(rig.unvalidated.size(), 4);
        FolderDevice::Faults slow;
        slow.callDelayMs = 150; // each deletion takes a while
        rig.manager->controls(rig.deviceId)->setFaults(slow);
        for (const QUrl& target : qAsConst(rig.unvalidated))
            rig.locator.requestMetadata(target);
        QVERIFY(QTest::qWaitFor([&] { return onCamera() < 4; }, 20000));
        rig.manager->detach(rig.deviceId);
        QTRY_COMPARE(rig.facade->count(), 0);
        QVERIFY(onCamera() > 0);
        for (const auto& picture : samples) {
            if (!QFileInfo::exists(rig.cameraFile(picture.first)))
                QCOMPARE(ostra::test::rawSamplesOf(rig.folder() + "/" + picture.first), picture.second);
        }
        rig.manager->attach(rig.camera, "Z40");
        QVERIFY(rig.open());
        QTRY_COMPARE_WITH_TIMEOUT(onCamera(), 0, 20000);
        for (const auto& picture : samples)
            QCOMPARE(ostra::test::rawSamplesOf(rig.folder() + "/" + picture.first), picture.second);
        QCOMPARE(rig.router.tickets()->count(), 0);
    }

    // A kill in the middle of an import: the journal resumes it at the next start. The
    // copies made but not verified before the kill are verified after it, so every picture
    // is marked and, when asked, deleted from the camera; each picture is then exactly
    // once in the library or still on the camera.
    void killAndRestart_data()
    {
        QTest::addColumn<bool>("free");
        QTest::addColumn<bool>("usb");
        QTest::newRow("keep on camera") << false << false;
        QTest::newRow("delete from camera") << true << false;
        QTest::newRow("usb volumes, keep on camera") << false << true;
        QTest::newRow("usb volumes, delete from camera") << true << true;
    }
    void killAndRestart()
    {
        QFETCH(bool, free);
        QFETCH(bool, usb);
        QTemporaryDir dir;
        {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("OSTRA_IMPORT_CHILD", dir.path());
            env.insert("OSTRA_IMPORT_FREE", free ? "1" : "0");
            env.insert("OSTRA_IMPORT_USB", usb ? "1" : "0");
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(), { "importThenDie" });
            QVERIFY(child.waitForFinished(120000));
            QVERIFY2(child.exitStatus() == QProcess::CrashExit, child.readAll().constData());
        }
        Rig rig(dir.path(), usb, 6);
        QVERIFY(QTest::qWaitFor([&] { return rig.facade->count() > 0; }));
        // The devices model opens the connected cameras before the journal replays.
        rig.facade->preload();
        std::map<QString, std::vector<std::vector<std::uint16_t>>> samples;
        int before = 0;
        for (const std::string& name : rig.tree.pictures) {
            // The same tree made again beside the camera: what every picture holds.
            const QString raw = rig.root + (usb ? "/scratch/Z40CD0042/DCIM/" : "/scratch/")
                + QString::fromStdString(name) + ".vrx";
            samples[QFileInfo(raw).fileName()] = ostra::test::rawSamplesOf(raw);
            before += QFileInfo::exists(rig.folder() + "/" + QString::fromStdString(name) + ".vrx");
        }
        // Copies from volumes are placed a group at a time: all may be in place, journaled
        // or not.
        QVERIFY(before >= 2 && (usb || before < int(rig.tree.pictures.size())));
        // A picture volume is read-only: a picture leaves it as a record in its trash.
        const auto onCamera = [&rig, usb](const QString& name) {
            return QFileInfo::exists(rig.cameraFile(name))
                && !(usb && QFileInfo::exists(rig.camera + "/Z40SD0042/.QTrash/DCIM/" + name));
        };
        rig.logger.start();
        // Copies from volumes may all have been in place: the replay then finds the import
        // complete, and nothing is left to announce. The replay asks the disk on a worker
        // first: the router has no requests until it has answered.
        QTRY_VERIFY_WITH_TIMEOUT(
            !rig.logger.replaying() && (!rig.completed.isEmpty() || (usb && !rig.router.hasRequests())),
            60000);
        if (!free) {
            rig.checkImported();
        } else {
            const QUuid cameraUuid(QString::fromStdString(rig.tree.cameraUuid));
            for (const std::string& image : rig.tree.imageUuids)
                QTRY_VERIFY(rig.hasBeen.hasBeen(cameraUuid, QUuid(QString::fromStdString(image))));
            for (const std::string& name : rig.tree.pictures)
                QTRY_VERIFY_WITH_TIMEOUT(!onCamera(QString::fromStdString(name) + ".vrx"), 20000);
        }
        QCOMPARE(rig.router.tickets()->count(), 0);
        // Compared by their samples: the image service may compress a copy in place.
        for (const auto& [name, expected] : samples) {
            const QString copy = rig.folder() + "/" + name;
            const int places = int(QFileInfo::exists(copy)) + int(onCamera(name));
            QVERIFY2(places == 1 || !free, qPrintable(name));
            QVERIFY2(
                ostra::test::rawSamplesOf(QFileInfo::exists(copy) ? copy : rig.cameraFile(name)) == expected,
                qPrintable(name));
        }
    }

    // The first life of killAndRestart.
    void importThenDie()
    {
        const QString folder = qEnvironmentVariable("OSTRA_IMPORT_CHILD");
        if (folder.isEmpty())
            QSKIP("runs as the child of killAndRestart");
        Rig rig(folder, qEnvironmentVariableIntValue("OSTRA_IMPORT_USB") != 0, 6);
        rig.logger.killAfter = 2;
        rig.logger.start();
        CaptureSession* session = rig.open();
        QVERIFY(session);
        rig.completes(rig.import(session, qEnvironmentVariableIntValue("OSTRA_IMPORT_FREE") != 0));
        QFAIL("the import was not cut off");
    }
};

OSTRA_TEST_MAIN(TestCaptureImport)
#include "tst_captureimport.moc"
