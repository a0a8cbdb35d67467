#include "support/childprocess.h"
#include "support/fakevolumes.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QAbstractItemModelTester>
#include <QJsonObject>
#include <QPointer>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/capturefacade.h"
#include "capture/capturesession.h"
#include "capture/filekind.h"
#include "capture/volumes.h"
#include "core/appsettings.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "platform/combineddevicemanager.h"
#include "platform/folderdevice.h"

#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

// An eject that hangs until its gate opens; the gate and the state are shared with the
// test, the ejector goes with the last task that holds it.
class GatedEjector : public IVolumeEjector
{
public:
    std::shared_ptr<QSemaphore> gate = std::make_shared<QSemaphore>();
    std::shared_ptr<std::atomic<int>> state = std::make_shared<std::atomic<int>>(0); // 1 inside, 3 gone
    ~GatedEjector() override { *state = 3; }
    bool eject(const QByteArray&, const std::function<void(const QString&)>&) override
    {
        *state = 1;
        gate->acquire();
        *state = 2;
        return true;
    }
};

// A camera (a folder served as a portable device), the devices model over it and the
// mounted volumes, one of whose calls hangs at a given stage of their work: the discovery
// of devices, the open of a session, its listing, a copy from the camera, an eject.
class HeldRig
{
public:
    QTemporaryDir dir;
    QString camera;
    QString id;
    QPointer<FolderDeviceManager> manager;
    std::shared_ptr<FolderDevice::Controls> controls;
    std::unique_ptr<CaptureFacade> facade;
    std::unique_ptr<Volumes> volumes;
    std::shared_ptr<QSemaphore> ejectGate;
    std::shared_ptr<std::atomic<int>> ejectState;
    QString error;

    static QStringList stages() { return { "discovery", "open", "listing", "transfer", "eject" }; }

    // Starts the work and holds it at `stage`; false, with `error`, when it cannot.
    bool holdAt(const QString& stage)
    {
        camera = dir.filePath("camera");
        for (int i = 0; i < 40; ++i)
            if (!writeFile(QStringLiteral("%1/DCIM/IMG_%2.jpg").arg(camera).arg(i, 4, 10, QChar('0')), "jpg"))
                return fail("cannot write the camera");
        if (!writeFile(camera + "/DCIM/IMG_9999.vrx", QByteArray(3 << 20, 'r')))
            return fail("cannot write the camera");
        if (stage == "eject")
            return holdEject();
        auto* own = new FolderDeviceManager;
        manager = own;
        id = own->attach(camera, "Z40 held");
        controls = own->controls(id);
        facade = std::make_unique<CaptureFacade>(own);
        if (!QTest::qWaitFor([&] { return facade->count() == 1; }, 20000))
            return fail("the camera is not found");
        if (stage == "discovery") {
            FolderDevice::Faults asked;
            asked.askedByRefresh = true;
            controls->setFaults(asked);
            controls->hold();
            // Another camera comes: the refresh asks every device, and the held one hangs.
            manager->attach(dir.filePath("other"), "other");
            return waitHeld();
        }
        if (stage == "open") {
            controls->hold();
            facade->openSession(id);
            return waitHeld();
        }
        if (stage == "listing") {
            FolderDevice::Faults slow;
            slow.noBulk = true;
            slow.callDelayMs = 20;
            controls->setFaults(slow);
            CaptureSession* session = facade->openSession(id);
            if (!QTest::qWaitFor([&] { return session->rowCount() > 0; }, 20000))
                return fail("nothing listed");
            controls->hold();
            if (!waitHeld())
                return false;
            return session->isEnumerated() ? fail("the listing ended before the hold") : true;
        }
        if (stage == "transfer") {
            CaptureSession* session = facade->openSession(id);
            if (!QTest::qWaitFor([&] { return session->isEnumerated(); }, 20000))
                return fail("the listing does not end");
            controls->hold();
            Recipe recipe;
            recipe.provider = "transfer";
            recipe.ioChannel = id;
            recipe.recipe = fileKeyDocument("IMG_9999.vrx");
            QDir().mkpath(dir.filePath("library"));
            session->fetch(QUrl::fromLocalFile(dir.filePath("library/IMG_9999.vrx")), recipe, {});
            return waitHeld();
        }
        return fail("no such stage");
    }

    // Whether the held call still waits.
    bool held() const { return ejectState ? ejectState->load() == 1 : controls && controls->heldCalls() > 0; }

    void release()
    {
        if (controls)
            controls->release();
        if (ejectGate)
            ejectGate->release(10);
    }

    // Destroys the model and the volumes, as the application does when it quits.
    void quit()
    {
        facade.reset();
        volumes.reset();
    }

private:
    bool fail(const QString& why)
    {
        error = why;
        return false;
    }
    static bool writeFile(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    bool waitHeld()
    {
        return QTest::qWaitFor([&] { return controls->heldCalls() == 1; }, 20000) ? true
                                                                                  : fail("nothing held");
    }
    bool holdEject()
    {
        const QStorageInfo root(QStringLiteral("/"));
        if (!root.device().startsWith("/dev/"))
            return fail("skip: the root file system has no block device here");
        auto* source = new ostra::test::FakeMountSource;
        source->list << root;
        auto* ejector = new GatedEjector;
        ejectGate = ejector->gate;
        ejectState = ejector->state;
        volumes = std::make_unique<Volumes>(source, ejector);
        if (!ostra::test::waitReady(*volumes))
            return fail("the mount table is not read");
        if (!volumes->ejectVolume(root))
            return fail("no eject");
        return QTest::qWaitFor([&] { return ejectState->load() == 1; }, 20000)
            ? true
            : fail("the eject is not held");
    }
};

// The child: quits while a call hangs at the stage named, and ends as the application does
// (the objects go, then the application object, then the process) with the call still held.
int quitWhileHeld(const QString& mode, const QStringList& arguments)
{
    if (mode != QLatin1String("quit") || arguments.size() != 1)
        return 10;
    AppSettings settings;
    HeldRig rig;
    if (!rig.holdAt(arguments.first())) {
        qWarning("%s", qPrintable(rig.error));
        return rig.error.startsWith("skip") ? 12 : 11;
    }
    rig.quit();
    return rig.held() ? 0 : 13;
}

} // namespace

// The devices model without an import: rows, sessions and the folders made for devices.
class TestCaptureFacade : public QObject
{
    Q_OBJECT
private:
    AppSettings* m_settings = nullptr;

private slots:
    void initTestCase() { m_settings = new AppSettings(this); }

    void folderNames_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name"); // empty: any safe name
        const std::pair<const char*, QString> rows[] = { { "usb:001,004", "usb_001_004" },
            { "__a..b__", "__a_b__" }, { "\\\\?\\usb#vid_1&pid_2#{6ac2}", "usb_vid_1_pid_2_6ac2" },
            { "caméra/ß 1", "caméra_ß_1" }, { "..", "" }, { ".", "" }, { "", "" }, { "///", "" } };
        for (const auto& [id, name] : rows)
            QTest::addRow("%s", *id ? id : "empty") << QString::fromUtf8(id) << name;
        QTest::newRow("long") << "folder:" + QString(300, QChar(0x4e2d)) << "";
    }
    // A device's folder is one short, safe name under the data and cache roots, never the
    // roots themselves nor their parents.
    void folderNames()
    {
        QFETCH(QString, id);
        QFETCH(QString, name);
        const QString got = CaptureFacade::folderName(id);
        if (!name.isEmpty())
            QCOMPARE(got, name);
        QVERIFY(got.contains(QRegularExpression("^\\w+$", QRegularExpression::UseUnicodePropertiesOption)));
        QVERIFY(got != CaptureFacade::folderName(id + "x") && got.toUtf8().size() <= 120);

        CaptureFacade facade;
        facade.onCaptureDeviceFound({ id, "cam", CaptureDevice::kPortableDevice });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Cannot open"));
        facade.openSession(id);
        for (const QString& root : { AppSettings::dataStoreFolder(), AppSettings::fileCacheFolder() })
            QVERIFY2(QFileInfo(QDir(root).filePath(got)).isDir(), qPrintable(root + "/" + got));
    }

    // The devices come from several managers; each opens through its own.
    void rowsAndSessions()
    {
        QTemporaryDir dir;
        const QString camera = dir.path();
        auto* combined = new CombinedDeviceManager;
        auto* manager = new FolderDeviceManager(combined);
        combined->add(new FolderDeviceManager(combined));
        combined->add(manager);
        CaptureFacade facade(combined);
        QAbstractItemModelTester tester(&facade, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy count(&facade, &CaptureFacade::countChanged);

        const QString id = manager->attach(camera, "Z40 one");
        QTRY_COMPARE(facade.count(), 1);

        // A device reported twice has two rows; both go when it is lost.
        facade.onCaptureDeviceFound({ id, "Z40 again", CaptureDevice::kPortableDevice });
        facade.onCaptureDeviceUpdated({ id, "Z40 renamed", CaptureDevice::kPortableDevice });
        QCOMPARE(facade.index(1, 0).data(CaptureFacade::NameRole).toString(), QString("Z40 renamed"));
        QCOMPARE(facade.deviceName(id), QString("Z40 renamed"));

        CaptureSession* session = facade.openSession(id);
        QVERIFY(session);
        QCOMPARE(facade.openSession(id), session);
        QCOMPARE(session->parent(), &facade);
        QCOMPARE(QQmlEngine::objectOwnership(session), QQmlEngine::CppOwnership);
        QTRY_VERIFY(session->isEnumerated());
        QVERIFY(session->isLive());
        QSignalSpy lost(session, &CaptureSession::notifyDeviceLost);

        // No row: an empty session the caller owns.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Undefined import transport # 2"));
        std::unique_ptr<CaptureSession> nil(facade.openSession("no such device"));
        QVERIFY(nil && nil.get() != session && nil->parent() == nullptr);
        QCOMPARE(nil->rowCount(), 0);
        QVERIFY(!facade.session("no such device"));

        QPointer<CaptureSession> guard(session);
        manager->detach(id);
        QTRY_COMPARE(facade.count(), 0);
        QCOMPARE(lost.size(), 1);
        QVERIFY(!facade.session(id));
        QTRY_VERIFY(guard.isNull());
        QCOMPARE(count.size(), 4);
    }

    // A quit while a camera or a drive hangs in the middle of a call does not wait for it:
    // the model and the volumes go after a bounded wait, and the call, once it returns,
    // lets go of everything it used (the device, the manager, its files) on its own thread,
    // reaching no one; a copy it was making leaves nothing behind.
    void shutdownLeavesAHungCall_data()
    {
        QTest::addColumn<QString>("stage");
        for (const QString& stage : HeldRig::stages())
            QTest::newRow(qPrintable(stage)) << stage;
    }
    void shutdownLeavesAHungCall()
    {
        QFETCH(QString, stage);
        HeldRig rig;
        if (!rig.holdAt(stage)) {
            if (rig.error.startsWith("skip"))
                QSKIP(qPrintable(rig.error));
            QFAIL(qPrintable(rig.error));
        }
        // Lets the call go should the quit wait for it, so that the test fails instead of
        // hanging.
        ostra::test::RescueWatchdog watchdog([&] { rig.release(); });
        rig.quit();
        const bool notRescued = watchdog.end();
        QVERIFY(notRescued);
        QVERIFY(rig.held());
        rig.release();
        if (stage == "eject") {
            QTRY_COMPARE(rig.ejectState->load(), 3);
            return;
        }
        QTRY_VERIFY(rig.manager.isNull());
        QTRY_COMPARE(rig.controls.use_count(), 1L);
        QCOMPARE(QDir(rig.dir.filePath("library")).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // The application ends cleanly while the call still hangs: the process exits.
    void processExitsWhileACallHangs_data() { shutdownLeavesAHungCall_data(); }
    void processExitsWhileACallHangs()
    {
        QFETCH(QString, stage);
        auto child = ostra::test::startSelf("quit", { stage });
        QVERIFY(child->started());
        QVERIFY2(child->finish(), "the process does not end");
        if (child->exitCode() == 12)
            QSKIP("the root file system has no block device here");
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QVERIFY2(child->exitCode() == 0, child->err().right(3000).constData());
    }

    // A file of a camera that has no session is refused at once, as a lost channel.
    void fetchWithoutSession()
    {
        QTemporaryDir dir;
        RecipeRouter router;
        QList<QStorageInfo> mounted = QStorageInfo::mountedVolumes();
        mounted << QStorageInfo(dir.path());
        router.setMounted(mounted);
        CaptureFacade facade;
        facade.setPipeline(&router);
        QCOMPARE(facade.capacity("gone"), 1);
        Recipe recipe;
        recipe.provider = "transfer";
        recipe.ioChannel = "gone";
        recipe.recipe = QJsonDocument(QJsonObject { { "file", "IMG_1" }, { "type", "vrx" } });
        recipe.fileSize = 10;
        QVERIFY(router.putRecipe(
            QUuid::createUuid(), QUrl::fromLocalFile(dir.filePath("IMG_1.vrx")), recipe, {}));
        router.start();
        QTRY_COMPARE(router.tickets()->count(), 1);
        QCOMPARE(router.tickets()->error(), int(IFileSink::IOError));
        QVERIFY(!QFileInfo::exists(dir.filePath("IMG_1.vrx")));
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(OSTRA_TEST_APPLICATION, TestCaptureFacade, quitWhileHeld)
#include "tst_capturefacade.moc"
