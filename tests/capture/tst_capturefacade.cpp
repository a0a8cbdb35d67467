#include "support/testmain.h"

#include <QAbstractItemModelTester>
#include <QJsonObject>
#include <QPointer>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/capturefacade.h"
#include "capture/capturesession.h"
#include "core/appsettings.h"
#include "pipeline/reciperouter.h"
#include "pipeline/ticketsrecord.h"
#include "platform/combineddevicemanager.h"
#include "platform/folderdevice.h"

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

OSTRA_TEST_MAIN(TestCaptureFacade)
#include "tst_capturefacade.moc"
