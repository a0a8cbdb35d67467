#include "support/mainwindow.h"
#include "support/testmain.h"

#include "app/importservices.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "capture/capturesession.h"
#include "capture/democamera.h"
#include "capture/filekind.h"
#include "capture/hasbeenmodel.h"
#include "core/appsettings.h"
#include "engine/imagelocator.h"
#include "engine/metahistory.h"
#include "library/activesession.h"
#include "pipeline/recipebatch.h"
#include "platform/folderdevice.h"
#include "support/quickitems.h"
#include "support/screenchecks.h"
#include "support/testenvironment.h"
#include "tools/vrxgen/cameratree.h"

#include <QDirIterator>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>

// The window as the application starts it, with the demo camera: the camera is a row of
// the devices model, and an import from it is verified by the window's image service,
// marked as imported and leaves the camera's calibration in the window's store; while it
// runs the quit guard names it, and its end is told with its folder.
class TestWindowImport : public QObject
{
    Q_OBJECT
    // Whether a notification of the window reads `text`.
    static bool shown(QQuickWindow* window, const QString& text)
    {
        QQuickItem* notes = ostra::test::findItem(window->contentItem(), "notifications");
        QList<QQuickItem*> todo { notes };
        while (!todo.isEmpty()) {
            QQuickItem* item = todo.takeFirst();
            if (!item)
                continue;
            if (item->objectName() == QLatin1String("notificationText")
                && item->property("text").toString() == text)
                return true;
            todo += item->childItems();
        }
        return false;
    }

private slots:
    // The controls as the application draws them, for every window of the program.
    void initTestCase() { ostra::test::useApplicationStyle(); }

    void importThroughTheWindow()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QTemporaryDir dir;
        vrxgen::TreeOptions options;
        options.pictures = 2;
        vrxgen::TreeInfo tree;
        QVERIFY(vrxgen::makeCameraTree(dir.filePath("camera").toStdString(), options, &tree));
        qputenv("OSTRA_DEMO_CAMERA", QFile::encodeName(dir.filePath("camera")));
        AppSettings settings;
        FolderDeviceManager* manager = demoCameraManager(nullptr);
        ImportServices imports(dir.filePath("recipes.db"), manager);
        QQmlApplicationEngine engine;
        imports.expose(engine.rootContext());
        QQuickWindow* window = ostra::test::loadMainWindow(engine, {}, ImageLocator::kGlBgra);
        QVERIFY(window);
        auto* locator = window->findChild<ImageLocator*>();
        auto* history = window->findChild<Metahistory*>();
        auto* marks = window->findChild<HasBeenModel*>();
        QVERIFY(locator && history && marks);
        QCOMPARE(locator->metahistory(), history);
        QCOMPARE(imports.devices->bailiff(), locator->bailiff());
        // The camera's pictures looked at in place, before any import, are not imported.
        const QUuid camera(QString::fromStdString(tree.cameraUuid));
        QSignalSpy indexed(locator, &ImageLocator::notifyFileIndexedSignal);
        QDirIterator raws(dir.filePath("camera"), { "*.vrx" }, QDir::Files, QDirIterator::Subdirectories);
        int browsed = 0;
        while (raws.hasNext()) {
            locator->requestMetadata(QUrl::fromLocalFile(raws.next()));
            ++browsed;
        }
        QVERIFY(browsed > 0);
        QTRY_VERIFY_WITH_TIMEOUT(indexed.size() >= browsed, 30000);
        QCoreApplication::processEvents();
        for (const QList<QVariant>& result : qAsConst(indexed)) {
            const auto record = result.at(0).value<VrxMetadata>();
            QVERIFY(!record.invalid && !record.imageUuid.isNull());
            QVERIFY2(!marks->hasBeen(QUuid(), record.imageUuid), qPrintable(record.location.toString()));
        }
        imports.start();

        CaptureFacade& devices = *imports.devices;
        QTRY_COMPARE(devices.count(), 1);
        CaptureSession* session = devices.session(devices.defaultDeviceId());
        QVERIFY(session);
        QTRY_VERIFY(session->isCorrelated());
        const QString folder = dir.filePath("library/" + QDate::currentDate().toString("yyyy-MM-dd"));
        QVERIFY(QDir().mkpath(folder));
        const QUuid id = QUuid::createUuid();
        QSignalSpy done(&imports.router, &RecipeRouter::sessionCompleted);
        RecipeBatch batch(id);
        batch.setProvider("transfer");
        batch.setIoChannel(devices.defaultDeviceId());
        for (int row = 0; row < session->rowCount(); ++row)
            session->itemFromRecord(&batch, session->index(row, 0), RawKind, QDir(folder));
        // A slow camera: the import is still running when the window is closed, and the
        // quit guard names it.
        FolderDevice::Faults slow;
        slow.callDelayMs = 300;
        manager->controls(devices.defaultDeviceId())->setFaults(slow);
        batch.submit(&imports.logger);
        QTRY_VERIFY(window->property("pendingOperations").toStringList().contains("Import from a camera"));
        manager->controls(devices.defaultDeviceId())->setFaults({});
        QTRY_VERIFY_WITH_TIMEOUT(done.size() == 1, 30000);
        // Its end is told with the folder it went to.
        QTRY_VERIFY(shown(window, "Import completed: " + folder));
        for (const std::string& image : tree.imageUuids)
            QTRY_VERIFY(marks->hasBeen(camera, QUuid(QString::fromStdString(image))));
        QVERIFY(!history->get({ camera, QDateTime() }).isEmpty());
    }

    // The camera's tab at the window sizes people use: every tab title readable, the
    // current one or not (the gallery's among them), the pictures and videos tabs of the
    // bar whole inside the window, and the count of the gallery's selection, which is not
    // what the camera's tab chooses, not shown over it.
    void cameraTabReadableAtWindowSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1280x800") << QSize(1280, 800);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }

    void cameraTabReadableAtWindowSizes()
    {
        QFETCH(QSize, size);
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        QTemporaryDir dir;
        vrxgen::TreeOptions options;
        options.pictures = 2;
        vrxgen::TreeInfo tree;
        QVERIFY(vrxgen::makeCameraTree(dir.filePath("camera").toStdString(), options, &tree));
        qputenv("OSTRA_DEMO_CAMERA", QFile::encodeName(dir.filePath("camera")));
        AppSettings settings;
        ImportServices imports(dir.filePath("recipes.db"), demoCameraManager(nullptr));
        QQmlApplicationEngine engine;
        imports.expose(engine.rootContext());
        QQuickWindow* window = ostra::test::loadMainWindow(engine, {}, ImageLocator::kGlBgra);
        QVERIFY(window);
        imports.start();
        window->resize(size);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const auto named
            = [&](const QString& name) { return ostra::test::findItem(window->contentItem(), name); };

        // A picture of the gallery chosen (the camera's pictures opened where they are).
        QVERIFY(QMetaObject::invokeMethod(window, "offerLocations",
            Q_ARG(QVariant,
                QVariant::fromValue(
                    QVariantList { QUrl::fromLocalFile(QString::fromStdString(tree.pictureRoot)) })),
            Q_ARG(QVariant, false)));
        auto* gallery = window->findChild<ActiveSession*>();
        QVERIFY(gallery);
        QTRY_VERIFY_WITH_TIMEOUT(gallery->rowCount() == int(tree.pictures.size()), 30000);
        QVERIFY(QMetaObject::invokeMethod(window, "selectAll"));
        QQuickItem* summary = named("selectionSummary");
        QVERIFY(summary);
        QTRY_VERIFY(summary->isVisible() && summary->property("text").toString().startsWith("2 selected"));

        QTRY_VERIFY(named("deviceTab"));
        QVERIFY(ostra::test::clickItem(named("deviceTab")));
        QQuickItem* videos = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((videos = named("videosTab")) && videos->isVisible(), 30000);
        QTRY_COMPARE(window->contentItem()->width(), qreal(size.width()));
        QTest::qWait(200); // a frame at the new size
        QVERIFY(!summary->isVisible());
        QStringList faults = ostra::test::readabilityFaults(window);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        // The videos, and the tab they came from is still read.
        QVERIFY(ostra::test::clickItem(videos));
        QTRY_VERIFY(named("videosView")->isVisible());
        QTest::qWait(200);
        faults = ostra::test::readabilityFaults(window);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        // Back on the gallery, its selection is told again.
        QVERIFY(ostra::test::clickItem(named("galleryTab")));
        QTRY_VERIFY(summary->isVisible());
    }
};

OSTRA_TEST_MAIN(TestWindowImport)
#include "tst_windowimport.moc"
