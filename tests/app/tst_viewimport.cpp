#include "support/testmain.h"

#include "app/importservices.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "capture/capturemodel.h"
#include "capture/capturesession.h"
#include "capture/democamera.h"
#include "core/appsettings.h"
#include "engine/imagelocator.h"
#include "library/activesession.h"
#include "platform/folderdevice.h"
#include "support/filebytes.h"
#include "support/filetree.h"
#include "support/quickitems.h"
#include "support/rawsamples.h"
#include "support/rescuewatchdog.h"
#include "support/testenvironment.h"
#include "tools/vrxgen/cameratree.h"

#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <memory>
#include <thread>

using ostra::test::clickItem;
using ostra::test::fileBytes;
using ostra::test::findItem;

namespace {

// The visible items of a name under an item, through the visual tree (delegates have no
// object parent).
QList<QQuickItem*> itemsNamed(QQuickItem* root, const QString& name)
{
    QList<QQuickItem*> found;
    const QList<QQuickItem*> children = root->childItems();
    for (QQuickItem* child : children) {
        if (!child->isVisible())
            continue;
        if (child->objectName() == name)
            found << child;
        found += itemsNamed(child, name);
    }
    return found;
}

bool shiftClick(QQuickItem* item)
{
    if (!item)
        return false;
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::ShiftModifier, centre.toPoint());
    return true;
}

// Whether any visible text under the item reads `text`.
bool showsText(QQuickItem* root, const QString& text)
{
    const QList<QQuickItem*> children = root->childItems();
    for (QQuickItem* child : children) {
        if (child->isVisible() && (child->property("text").toString() == text || showsText(child, text)))
            return true;
    }
    return false;
}

} // namespace

// The import view of a camera in the window as the application starts it, with the demo
// camera (a folder served as a portable device).
class TestViewImport : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_camera;
    std::unique_ptr<AppSettings> m_settings;
    FolderDeviceManager* m_manager = nullptr; // owned by the devices model
    std::unique_ptr<ImportServices> m_imports;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    QObject* m_notes = nullptr; // counts the notifications shown
    QQuickItem* m_page = nullptr; // the camera's page, its tab chosen
    QQuickItem* m_view = nullptr; // its pictures
    CaptureModel* m_model = nullptr;

    // `prepare` runs once the camera is attached, before anything reads it.
    bool openWindow(const std::function<void()>& prepare = {})
    {
        m_settings = std::make_unique<AppSettings>();
        m_manager = demoCameraManager(nullptr);
        if (prepare)
            prepare();
        // A journal of its own: what an earlier window left queued is not resumed here.
        m_imports = std::make_unique<ImportServices>(
            m_dir.filePath(QString(QTest::currentTestFunction()) + ".db"), m_manager);
        m_engine = std::make_unique<QQmlApplicationEngine>();
        ostra::setRootContextProperties(
            m_engine->rootContext(), ostra::rootContextProperties(ImageLocator::kGlBgra, false));
        m_imports->expose(m_engine->rootContext());
        const QString qml = ostra::test::sourceDir() + "/qml/";
        m_engine->load(QUrl::fromLocalFile(qml + "AppLayers/WindowMain.qml"));
        if (m_engine->rootObjects().size() != 1)
            return false;
        m_window = qobject_cast<QQuickWindow*>(m_engine->rootObjects().constFirst());
        QQmlComponent notes(m_engine.get());
        notes.setData("import QtQuick 2.15\nimport \""
                + QUrl::fromLocalFile(qml + "Utils").toString().toUtf8()
                + "\"\nQtObject { property QtObject manager: NotificationsManager\n"
                  "  function count(text) { var n = 0; for (var i = 0; i < manager.notifications.count; ++i)"
                  " n += manager.notifications.get(i).text === text ? 1 : 0; return n } }",
            QUrl());
        m_notes = notes.create();
        if (!m_notes || !m_window || !QTest::qWaitForWindowExposed(m_window))
            return false;
        auto* manager = m_notes->property("manager").value<QObject*>();
        manager->setProperty("lifetimeMs", 3600000);
        manager->setProperty("maxCount", 100);
        m_imports->start();
        if (!QTest::qWaitFor([&] { return clickItem(findItem(m_window->contentItem(), "deviceTab")); }))
            return false;
        m_page = findItem(m_window->contentItem(), "devicePage");
        m_view = m_page ? m_page->property("imagesView").value<QQuickItem*>() : nullptr;
        m_model = m_view ? m_view->property("captureModel").value<CaptureModel*>() : nullptr;
        return m_model;
    }
    int notes(const QString& text)
    {
        QVariant n;
        QMetaObject::invokeMethod(m_notes, "count", Q_RETURN_ARG(QVariant, n), Q_ARG(QVariant, text));
        return n.toInt();
    }
    // The cell of a row of the capture model.
    QQuickItem* cell(int row)
    {
        for (QQuickItem* item : itemsNamed(m_page, "importCell"))
            if (item->property("index").toInt() == row)
                return item;
        return nullptr;
    }
    QList<int> selectedRows()
    {
        QList<int> rows;
        for (int row = 0; row < m_model->rowCount(); ++row)
            if (m_model->index(row, 0).data(CaptureSession::SelectedRole).toBool())
                rows << row;
        return rows;
    }
    QObject* openDialog(QQuickItem* view, const char* button, const char* name)
    {
        auto* dialog = view->findChild<QQuickWindow*>(name);
        if (!clickItem(findItem(view, button)) || !dialog
            || !QTest::qWaitFor([&] { return dialog->isVisible(); }) || !QTest::qWaitForWindowExposed(dialog))
            return nullptr;
        return dialog;
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        vrxgen::TreeOptions options;
        options.pictures = 5;
        m_camera = m_dir.filePath("camera");
        QVERIFY(vrxgen::makeCameraTree(m_camera.toStdString(), options, nullptr));
        qputenv("OSTRA_DEMO_CAMERA", QFile::encodeName(m_camera));
    }
    void cleanup()
    {
        delete m_notes;
        m_notes = nullptr;
        m_engine.reset();
        m_imports.reset();
        m_settings.reset();
    }

    // One walk over the camera's tab: the user's clicks stand over the first automatic
    // choice; the dialog refuses a folder that cannot be made, makes a new one and the
    // pictures land there as they are on the camera; a video already in the video folder is
    // skipped when the user says so; a picture queued on a slow camera stays out of clicks,
    // ranges and Select All (which chooses the camera's pictures, not the gallery's), each
    // warning once, and the presets are not copied meanwhile; unplugged, the tab goes.
    void importFromTheCamera()
    {
        QVERIFY(openWindow());
        QTRY_COMPARE_WITH_TIMEOUT(itemsNamed(m_page, "importCell").size(), 5, 30000);
        m_model->setSortField("thmFileName");
        QTRY_VERIFY(m_model->autoselect()); // the first choice: every picture is new
        // The first choice pending again: the user's clicks stop it for good.
        QObject* firstChoice = nullptr;
        for (QObject* child : m_view->findChildren<QObject*>())
            firstChoice
                = child->inherits("QQmlTimer") && child->property("done").isValid() ? child : firstChoice;
        QVERIFY(firstChoice);
        firstChoice->setProperty("done", false);
        QVERIFY(QMetaObject::invokeMethod(firstChoice, "restart"));
        QVERIFY(clickItem(findItem(m_view, "selectNone")));
        QVERIFY(clickItem(cell(0)));
        QVERIFY(shiftClick(cell(1)));
        QCOMPARE(selectedRows(), QList<int>({ 0, 1 }));
        QVERIFY(!m_model->autoselect());
        QVERIFY(firstChoice->property("done").toBool() && !firstChoice->property("running").toBool());

        QObject* dialog = openDialog(m_view, "importFiles", "captureDialog");
        QVERIFY(dialog);
        // Over the middle of its window, not at the screen's corner over the menu bar.
        auto* placed = qobject_cast<QQuickWindow*>(dialog);
        QTRY_VERIFY2(
            (placed->geometry().center() - m_view->window()->geometry().center()).manhattanLength() <= 4,
            qPrintable(QStringLiteral("%1,%2").arg(placed->x()).arg(placed->y())));
        QVERIFY(ostra::test::writeTreeFile(m_dir.filePath("plain"), "a file, not a folder"));
        dialog->setProperty("folderPath", m_dir.filePath("plain/import"));
        QVERIFY(clickItem(findItem(dialog, "startImport")));
        QTRY_COMPARE(notes("Cannot create specified path."), 1);
        QVERIFY(!m_imports->logger.hasRequests());
        const QString folder = m_dir.filePath("library/new/2026");
        dialog->setProperty("folderPath", folder);
        QVERIFY(clickItem(findItem(dialog, "openImmediately")));
        QTRY_COMPARE(QGuiApplication::focusWindow(), placed);
        QVERIFY(clickItem(findItem(dialog, "startImport")));
        // Closed, the dialog gives the keyboard back to the window.
        QTRY_COMPARE(QGuiApplication::focusWindow(), m_window);
        auto* gallery = m_window->findChild<ActiveSession*>();
        QVERIFY(gallery);
        QTRY_COMPARE_WITH_TIMEOUT(gallery->property("grossCount").toInt(), 2, 30000);
        for (int row : { 0, 1 }) {
            const QString name = m_model->index(row, 0).data(CaptureSession::RawFileNameRole).toString();
            QTRY_VERIFY(m_model->index(row, 0).data(CaptureSession::TransferredRole).toBool());
            QVERIFY(ostra::test::rawSamplesOf(folder + "/" + name)
                == ostra::test::rawSamplesOf(m_camera + "/" + name));
        }

        QTRY_VERIFY(clickItem(itemsNamed(m_page, "videosTab").value(0)));
        QQuickItem* videos = findItem(m_page, "videosView");
        QTRY_COMPARE(itemsNamed(videos, "videoCell").size(), 2);
        // The sort is chosen in words, and the choice sorts the view.
        QQuickItem* sortBox = findItem(videos, "videoSort");
        QVERIFY(sortBox);
        QCOMPARE(sortBox->property("displayText").toString(), QStringLiteral("date"));
        QVERIFY(sortBox->setProperty("currentIndex", 3));
        QVERIFY(QMetaObject::invokeMethod(sortBox, "activated", Q_ARG(int, 3)));
        QCOMPARE(sortBox->property("displayText").toString(), QStringLiteral("size"));
        QCOMPARE(videos->property("sortByField").toString(), QStringLiteral("size"));
        videos->setProperty("sortByField", QStringLiteral("timestamp"));
        QCOMPARE(sortBox->property("displayText").toString(), QStringLiteral("date"));
        // The order is said, and a click turns it round.
        QQuickItem* order = findItem(videos, "videoSortOrder");
        QVERIFY(order);
        QVERIFY(order->property("text").toString().endsWith(QStringLiteral("ascending")));
        QVERIFY(clickItem(order));
        QVERIFY(videos->property("invertSort").toBool());
        QVERIFY(order->property("text").toString().endsWith(QStringLiteral("descending")));
        QVERIFY(clickItem(order));
        QVERIFY(!videos->property("invertSort").toBool());
        const QString videoFolder = m_dir.filePath("videos");
        QVERIFY(ostra::test::writeTreeFile(videoFolder + "/VID_0001.mp4", "kept"));
        m_settings->setImportVideoFolder(videoFolder);
        // A double click on a video still on the camera says how to get it; on one here
        // that holds nothing playable, the player says that it cannot play it.
        const auto videoCell = [&](const QString& name) -> QQuickItem* {
            for (QQuickItem* item : itemsNamed(videos, "videoCell")) {
                const auto* video = item->property("video").value<QObject*>();
                const QString itemName = video ? video->property("name").toString() : QString();
                if (itemName == name)
                    return item;
            }
            return nullptr;
        };
        const auto doubleClick = [&](QQuickItem* item) {
            QVERIFY(item);
            QTest::mouseDClick(m_window, Qt::LeftButton, {},
                item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint());
        };
        doubleClick(videoCell("VID_0002.mp4"));
        QTRY_COMPARE(notes("VID_0002.mp4 is still on the camera: import it first (\"import files\"), then it "
                           "plays here."),
            1);
        QQuickItem* player = findItem(m_window->contentItem(), "videoPlayer");
        QVERIFY(player && !player->isVisible());
        doubleClick(videoCell("VID_0001.mp4"));
        QTRY_VERIFY(player->isVisible());
        QQuickItem* playerError = findItem(player, "playerError");
        QVERIFY(playerError);
        QTRY_VERIFY_WITH_TIMEOUT(playerError->isVisible(), 20000);
        QVERIFY(!findItem(player, "playButton")->isVisible());
        QVERIFY(!findItem(player, "playerErrorText")->property("text").toString().isEmpty());
        QVERIFY(QMetaObject::invokeMethod(player, "close"));
        QVERIFY(clickItem(findItem(videos, "selectAllVideos")));
        QTRY_COMPARE(videos->property("selectedCount").toInt(), 2);
        QObject* videoDialog = openDialog(videos, "importVideos", "dialogImport");
        QVERIFY(videoDialog);
        QVERIFY(clickItem(findItem(videoDialog, "startImport")));
        auto* ask = videos->findChild<QObject*>("nameResolution");
        QVERIFY(ask);
        QTRY_VERIFY(ask->property("opened").toBool());
        QCOMPARE(ask->property("name").toString(), QStringLiteral("VID_0001.mp4"));
        QVERIFY(clickItem(findItem(ask, "skip")));
        const QString fetched = videoFolder + "/VID_0002.mp4";
        QTRY_VERIFY_WITH_TIMEOUT(fileBytes(fetched) == fileBytes(m_camera + "/VID_0002.mp4"), 30000);
        QCOMPARE(fileBytes(videoFolder + "/VID_0001.mp4"), QByteArray("kept"));
        QQuickItem* bar = findItem(m_page, "videosTab");
        while (bar && !bar->inherits("QQuickTabBar"))
            bar = bar->parentItem();
        QVERIFY(bar && bar->setProperty("currentIndex", 0));

        // A hung camera: the queued picture stays queued.
        const std::shared_ptr<FolderDevice::Controls> hung
            = m_manager->controls(m_imports->devices->defaultDeviceId());
        hung->hold();
        m_model->selectManual(3, true, false);
        m_model->setImportFolder(QUrl::fromLocalFile(m_dir.filePath("library/slow")));
        QVERIFY(!m_model->transfer(false).isEmpty());
        QTRY_VERIFY(m_model->index(3, 0).data(CaptureSession::TransferringRole).toBool());
        m_model->selectNone();
        const QDir presets(AppSettings::presetsFolderPath());
        const QStringList before = presets.entryList({ "*.qpf" }, QDir::Files);
        QTRY_VERIFY(findItem(m_view, "importPresets")->isEnabled());
        QVERIFY(clickItem(findItem(m_view, "importPresets")));
        QCOMPARE(notes("Presets cannot be synced while images are queued for import."), 1);
        QTest::qWait(200); // a preset fetch would be under way by now
        QCOMPARE(presets.entryList({ "*.qpf" }, QDir::Files), before);

        const QString range
            = "Some images weren't selected: cannot select queued images for import or removing.";
        QVERIFY(ostra::test::activateWindow(m_window));
        QTest::keySequence(m_window, QKeySequence::SelectAll);
        QTRY_COMPARE(selectedRows(), QList<int>({ 2, 4 })); // imported and queued ones are held
        QCOMPARE(gallery->property("selectionSize").toInt(), 0);
        QCOMPARE(notes(range), 1);
        QVERIFY(clickItem(findItem(m_view, "selectNone")));
        QVERIFY(clickItem(cell(3)));
        QCOMPARE(notes("Image is queued: cannot be selected for import or removing."), 1);
        QVERIFY(selectedRows().isEmpty());
        QVERIFY(clickItem(cell(2)));
        QVERIFY(shiftClick(cell(4)));
        QCOMPARE(selectedRows(), QList<int>({ 2, 4 }));
        QCOMPARE(notes(range), 2);

        m_manager->detach(m_imports->devices->defaultDeviceId());
        hung->release();
        QTRY_VERIFY(itemsNamed(m_window->contentItem(), "deviceTab").isEmpty());
        QVERIFY(m_window->findChild<QQuickItem*>("pageMain")->property("galleryShown").toBool());
    }

    // While the camera is being listed the tab says so, with the number of objects found.
    void listingShowsItsProgress()
    {
        std::shared_ptr<FolderDevice::Controls> controls;
        QVERIFY(openWindow([&] {
            controls = m_manager->controls(m_manager->devices().value(0).id);
            controls->hold();
        }));
        QVERIFY(controls);
        QQuickItem* progress = findItem(m_view, "listingProgress");
        QVERIFY(progress);
        QTRY_VERIFY(progress->isVisible());
        QCOMPARE(progress->property("text").toString(), QStringLiteral("listing, 0 objects found"));
        controls->release();
        QTRY_VERIFY_WITH_TIMEOUT(m_model->enumerated(), 30000);
        QTRY_VERIFY(!progress->isVisible());
        QVERIFY(m_model->deviceItemCount() > 0);
    }

    // A reflow of the grid by a few pixels (a picture arriving, a narrower window) does not
    // decode the previews again: they stay on the screen.
    void previewsStayDecodedThroughReflows()
    {
        QVERIFY(openWindow());
        QTRY_COMPARE_WITH_TIMEOUT(itemsNamed(m_page, "importCell").size(), 5, 30000);
        auto imageOf = [](QQuickItem* cell) -> QQuickItem* {
            const QList<QQuickItem*> children = cell ? cell->childItems() : QList<QQuickItem*>();
            for (QQuickItem* child : children)
                if (child->inherits("QQuickImage"))
                    return child;
            return nullptr;
        };
        m_window->resize(900, m_window->height());
        QQuickItem* first = cell(0);
        QQuickItem* image = imageOf(first);
        QVERIFY(image);
        QTRY_COMPARE(image->property("status").toInt(), 1); // ready
        // Ten reflows of about 0.2 % each: the cell's height follows every one, the decoded
        // size changes once at most (when the height crosses a step).
        int decodedAgain = 0;
        for (int width = 898; width >= 880; width -= 2) {
            const qreal height = first->height();
            const QSize decoded = image->property("sourceSize").toSize();
            m_window->resize(width, m_window->height());
            QTRY_VERIFY(qAbs(first->height() - height) > 0.05);
            decodedAgain += image->property("sourceSize").toSize() != decoded;
        }
        QVERIFY2(decodedAgain <= 1, qPrintable(QString::number(decodedAgain)));
        QTRY_COMPARE(image->property("status").toInt(), 1);
    }

    // The rows are laid out beside the grid's scroll bar, never under it: the last cell of
    // a row keeps its right border, at any size of the window.
    void rowsEndBesideTheScrollBar_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("cellSize");
        QTest::newRow("large cells: the bar shows") << QSize(640, 560) << 400;
        QTest::newRow("1280x800") << QSize(1280, 800) << 160;
        QTest::newRow("1920x1080") << QSize(1920, 1080) << 160;
    }
    void rowsEndBesideTheScrollBar()
    {
        QFETCH(QSize, size);
        QFETCH(int, cellSize);
        QVERIFY(openWindow());
        m_settings->setCaptureCellSize(cellSize);
        QTRY_COMPARE_WITH_TIMEOUT(itemsNamed(m_page, "importCell").size(), 5, 30000);
        m_window->resize(size);
        QTRY_COMPARE(m_window->contentItem()->width(), qreal(size.width()));
        QQuickItem* collection = findItem(m_view, "importCollection");
        QVERIFY(collection);
        if (cellSize > 200)
            QTRY_VERIFY(collection->property("contentHeight").toDouble() > collection->height());
        // Once laid out: every cell made (those near the view) has its width.
        int cells = 0;
        QTRY_VERIFY2(ostra::test::cellsUnderScrollBar(collection, &cells).isEmpty() && cells > 0
                && cells == itemsNamed(m_page, "importCell").size(),
            qPrintable(ostra::test::cellsUnderScrollBar(collection, &cells).join(' ') + " cells "
                + QString::number(cells)));
    }

    // Quitting while the camera hangs in the middle of its listing does not wait for it:
    // the window and the import services go, and the camera's call, once it returns, lets
    // go of the device and its manager.
    void quitWhileTheCameraHangs()
    {
        std::shared_ptr<FolderDevice::Controls> controls;
        QVERIFY(openWindow([&] {
            controls = m_manager->controls(m_manager->devices().value(0).id);
            controls->hold();
        }));
        QTRY_COMPARE(controls->heldCalls(), 1);
        QPointer<FolderDeviceManager> manager(m_manager);
        // Lets the camera go should the quit wait for it, so that the test fails instead of
        // hanging.
        ostra::test::RescueWatchdog watchdog([&] { controls->release(); });
        cleanup();
        const bool notRescued = watchdog.end();
        QVERIFY(notRescued);
        QCOMPARE(controls->heldCalls(), 1);
        controls->release();
        QTRY_VERIFY(manager.isNull());
        QTRY_COMPARE(controls.use_count(), 1L);
    }

    // A camera whose files cannot be kept anywhere shows how to get it read.
    void deviceThatFailsShowsTheHints()
    {
        const QString blocked = m_dir.filePath("cache-blocked");
        QVERIFY(ostra::test::writeTreeFile(blocked, "a file, not a folder"));
        AppSettings().setValue("FileCacheFolder", blocked + "/cache");
        QVERIFY(openWindow());
        QList<QQuickItem*> hints;
        QTRY_COMPARE((hints = itemsNamed(m_page, "loadFailure")).size(), 1);
        QVERIFY(showsText(hints.constFirst(), "Make sure your device is unlocked."));
        QVERIFY(showsText(hints.constFirst(),
            "Try to unplug and plug in your device again, and make sure it is unlocked."));
        m_settings->remove("FileCacheFolder");
    }
};

OSTRA_TEST_MAIN(TestViewImport)
#include "tst_viewimport.moc"
