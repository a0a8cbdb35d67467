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
#include "support/filetree.h"
#include "support/rawsamples.h"
#include "support/testenvironment.h"
#include "tools/vrxgen/cameratree.h"

#include <QDirIterator>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <memory>

namespace {

// The items of a name under an item, through the visual tree (delegates have no object
// parent); only the visible ones.
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

void click(QQuickItem* item, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, modifiers, centre.toPoint());
}

// Whether any visible text under the item reads `text`.
bool showsText(QQuickItem* root, const QString& text)
{
    const QList<QQuickItem*> children = root->childItems();
    for (QQuickItem* child : children) {
        if (!child->isVisible())
            continue;
        if (child->property("text").toString() == text || showsText(child, text))
            return true;
    }
    return false;
}

// Collects the player's log lines ("player: " and the error) while it lives.
class PlayerLog
{
public:
    static inline QStringList lines;
    PlayerLog() { s_previous = qInstallMessageHandler(&PlayerLog::handle); }
    ~PlayerLog() { qInstallMessageHandler(s_previous); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (message.startsWith(QLatin1String("player: ")) && message.size() > 8)
            lines << message;
        else if (s_previous)
            s_previous(type, context, message);
    }
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace

// The import view of a camera in the window as the application starts it, with the demo
// camera (a folder served as a portable device): its tab, the clicks that choose pictures,
// the import dialog and the presets.
class TestViewImport : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    vrxgen::TreeInfo m_tree;
    QString m_camera;
    std::unique_ptr<AppSettings> m_settings;
    FolderDeviceManager* m_manager = nullptr; // owned by the devices model
    std::unique_ptr<ImportServices> m_imports;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    QObject* m_notes = nullptr; // the notifications shown
    int m_windows = 0;

    // The window over the camera; the device's page once its tab is chosen.
    QQuickItem* openWindow()
    {
        m_settings = std::make_unique<AppSettings>();
        m_manager = demoCameraManager(nullptr);
        // A journal of its own: what an earlier window left queued is not resumed here.
        m_imports = std::make_unique<ImportServices>(
            m_dir.filePath(QString("recipes%1.db").arg(++m_windows)), m_manager);
        m_engine = std::make_unique<QQmlApplicationEngine>();
        ostra::setRootContextProperties(
            m_engine->rootContext(), ostra::rootContextProperties(ImageLocator::kGlBgra, false));
        m_imports->expose(m_engine->rootContext());
        const QString qml = ostra::test::sourceDir() + "/qml/";
        m_engine->load(QUrl::fromLocalFile(qml + "AppLayers/WindowMain.qml"));
        if (m_engine->rootObjects().size() != 1)
            return nullptr;
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
            return nullptr;
        auto* manager = m_notes->property("manager").value<QObject*>();
        manager->setProperty("lifetimeMs", 3600000);
        manager->setProperty("maxCount", 100);
        m_imports->start();
        QList<QQuickItem*> tabs;
        if (!QTest::qWaitFor(
                [&] { return !(tabs = itemsNamed(m_window->contentItem(), "deviceTab")).isEmpty(); }))
            return nullptr;
        click(tabs.constFirst());
        const QList<QQuickItem*> pages = itemsNamed(m_window->contentItem(), "devicePage");
        return pages.size() == 1 ? pages.constFirst() : nullptr;
    }
    void closeWindow()
    {
        delete m_notes;
        m_notes = nullptr;
        m_engine.reset();
        m_imports.reset();
        m_settings.reset();
    }
    int notes(const QString& text)
    {
        QVariant n;
        QMetaObject::invokeMethod(m_notes, "count", Q_RETURN_ARG(QVariant, n), Q_ARG(QVariant, text));
        return n.toInt();
    }
    QList<QQuickItem*> cells(QQuickItem* page) { return itemsNamed(page, "importCell"); }
    // The cell of a row of the capture model.
    QQuickItem* cell(QQuickItem* page, int row)
    {
        for (QQuickItem* item : cells(page))
            if (item->property("index").toInt() == row)
                return item;
        qFatal("no cell for row %d", row);
    }
    static CaptureModel* modelOf(QQuickItem* page)
    {
        auto* view = page->property("imagesView").value<QQuickItem*>();
        return view ? view->property("captureModel").value<CaptureModel*>() : nullptr;
    }
    static QList<int> selectedRows(CaptureModel* model)
    {
        QList<int> rows;
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->index(row, 0).data(CaptureSession::SelectedRole).toBool())
                rows << row;
        return rows;
    }
    QStringList presetsHere() const
    {
        return QDir(AppSettings::presetsFolderPath()).entryList({ "*.qpf" }, QDir::Files);
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        vrxgen::TreeOptions options;
        options.pictures = 5;
        m_camera = m_dir.filePath("camera");
        QVERIFY(vrxgen::makeCameraTree(m_camera.toStdString(), options, &m_tree));
        qputenv("OSTRA_DEMO_CAMERA", QFile::encodeName(m_camera));
    }

    // The camera's tab lists its pictures; the dialog refuses a folder that cannot be
    // made, makes a new one and the pictures land there as they are on the camera; asked
    // to, the gallery opens them once imported.
    void importThroughTheDialog()
    {
        QQuickItem* page = openWindow();
        QVERIFY(page);
        CaptureModel* model = modelOf(page);
        QVERIFY(model);
        QTRY_COMPARE_WITH_TIMEOUT(cells(page).size(), int(m_tree.pictures.size()), 30000);
        QTRY_COMPARE(model->loadingState(), QStringLiteral("loaded"));
        model->setSortField("thmFileName");
        QTRY_VERIFY(model->autoselect()); // the first choice: every picture is new
        QCOMPARE(selectedRows(model).size(), int(m_tree.pictures.size()));

        auto* view = page->property("imagesView").value<QQuickItem*>();
        click(itemsNamed(view, "selectNone").constFirst());
        QVERIFY(selectedRows(model).isEmpty());
        click(cell(page, 0));
        click(cell(page, 1), Qt::ShiftModifier);
        QCOMPARE(selectedRows(model), QList<int>({ 0, 1 }));
        QVERIFY(!model->autoselect());

        click(itemsNamed(view, "importFiles").constFirst());
        auto* dialog = view->findChild<QQuickWindow*>("captureDialog");
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QVERIFY(ostra::test::writeTreeFile(m_dir.filePath("plain"), "a file, not a folder"));
        dialog->setProperty("folderPath", m_dir.filePath("plain/import"));
        QQuickItem* start = itemsNamed(dialog->contentItem(), "startImport").constFirst();
        click(start);
        QTRY_COMPARE(notes("Cannot create specified path."), 1);
        QVERIFY(dialog->isVisible());
        QCOMPARE(m_imports->logger.hasRequests(), false);

        const QString folder = m_dir.filePath("library/new/2026");
        dialog->setProperty("folderPath", folder);
        click(itemsNamed(dialog->contentItem(), "openImmediately").constFirst());
        click(start);
        QTRY_VERIFY(!dialog->isVisible());
        QVERIFY(QFileInfo(folder).isDir());
        auto* gallery = m_window->findChild<ActiveSession*>();
        QVERIFY(gallery);
        QTRY_COMPARE_WITH_TIMEOUT(gallery->property("grossCount").toInt(), 2, 30000);
        for (int row : { 0, 1 }) {
            const QString name = model->index(row, 0).data(CaptureSession::RawFileNameRole).toString();
            QTRY_VERIFY(QFileInfo::exists(folder + "/" + name));
            QVERIFY(ostra::test::rawSamplesOf(folder + "/" + name)
                == ostra::test::rawSamplesOf(m_camera + "/" + name));
            QTRY_COMPARE(model->index(row, 0).data(CaptureSession::TransferredRole).toBool(), true);
        }
        QCOMPARE(
            itemsNamed(cell(page, 0), "stickyNote").constFirst()->property("text").toString(), "imported");
        // Select All on the camera's tab chooses the camera's pictures, not the gallery's,
        // also when it reaches the window as the menu's shortcut.
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTest::keySequence(m_window, QKeySequence::SelectAll);
        QTRY_COMPARE(selectedRows(model), QList<int>({ 2, 3, 4 })); // the imported ones are held
        QCOMPARE(gallery->property("selectionSize").toInt(), 0);
        closeWindow();
    }

    // Pictures queued for import on a slow camera: a click does not choose them, a range
    // chooses the others and warns once, and the presets are not copied meanwhile.
    void queuedPicturesStayOut()
    {
        QQuickItem* page = openWindow();
        QVERIFY(page);
        CaptureModel* model = modelOf(page);
        QVERIFY(model);
        QTRY_COMPARE_WITH_TIMEOUT(cells(page).size(), int(m_tree.pictures.size()), 30000);
        model->setSortField("thmFileName");
        FolderDevice::Faults slow;
        slow.readDelayMs = 8000;
        m_manager->controls(m_imports->devices->defaultDeviceId())->setFaults(slow);
        model->selectManual(1, true, false);
        model->selectManual(2, true, true);
        model->setImportFolder(QUrl::fromLocalFile(m_dir.filePath("library/slow")));
        QCOMPARE(model->transfer(false).isEmpty(), false);
        QTRY_VERIFY(model->index(2, 0).data(CaptureSession::TransferringRole).toBool());
        QTRY_COMPARE(
            itemsNamed(cell(page, 1), "stickyNote").constFirst()->property("text").toString(), "queued");
        model->selectNone();

        auto* view = page->property("imagesView").value<QQuickItem*>();
        QQuickItem* presets = itemsNamed(view, "importPresets").constFirst();
        QTRY_VERIFY(presets->isEnabled());
        const QStringList before = presetsHere();
        click(presets);
        QCOMPARE(notes("Presets cannot be synced while images are queued for import."), 1);
        QCOMPARE(notes("Presets have been imported!"), 0);
        QTest::qWait(200); // a preset fetch would be under way by now
        QCOMPARE(presetsHere(), before);
        QVERIFY(model->hasNewPresets());

        const QString single = "Image is queued: cannot be selected for import or removing.";
        const QString range
            = "Some images weren't selected: cannot select queued images for import or removing.";
        click(cell(page, 1));
        QCOMPARE(notes(single), 1);
        QVERIFY(selectedRows(model).isEmpty());
        click(cell(page, 0));
        click(cell(page, 4), Qt::ShiftModifier);
        QCOMPARE(selectedRows(model), QList<int>({ 0, 3, 4 }));
        QCOMPARE(notes(range), 1);
        // Only the free pictures count in the space the import needs.
        qint64 bytes = 0;
        for (int row : { 0, 3, 4 })
            bytes += model->index(row, 0).data(CaptureSession::RawFileSizeRole).toLongLong();
        QCOMPARE(model->spaceEstimate()->elapsed(), bytes);

        // Select All goes the same way: the free pictures, and the warning again.
        click(cell(page, 3));
        QCOMPARE(selectedRows(model), QList<int>({ 0, 4 }));
        QTest::keySequence(m_window, QKeySequence::SelectAll);
        QCOMPARE(selectedRows(model), QList<int>({ 0, 3, 4 }));
        QCOMPARE(notes(range), 2);
        m_manager->controls(m_imports->devices->defaultDeviceId())->setFaults({});
        closeWindow();
    }

    // Videos go to the video folder; one already there is skipped when the user says so, a
    // download that fails says so, and a downloaded video that cannot be played is logged.
    void videosDownloadAndResolveNames()
    {
        QQuickItem* page = openWindow();
        QVERIFY(page);
        QList<QQuickItem*> tab;
        QTRY_VERIFY(!(tab = itemsNamed(page, "videosTab")).isEmpty());
        click(tab.constFirst());
        QList<QQuickItem*> views;
        QTRY_COMPARE((views = itemsNamed(page, "videosView")).size(), 1);
        QQuickItem* view = views.constFirst();
        QTRY_COMPARE(itemsNamed(view, "videoCell").size(), 2);
        const QString folder = m_dir.filePath("videos");
        QVERIFY(ostra::test::writeTreeFile(folder + "/VID_0001.mp4", "kept"));
        m_settings->setImportVideoFolder(folder);

        click(itemsNamed(view, "selectAllVideos").constFirst());
        QTRY_COMPARE(view->property("selectedCount").toInt(), 2);
        QVERIFY(view->property("selectionText").toString().endsWith(" MB)"));
        click(itemsNamed(view, "importVideos").constFirst());
        auto* dialog = view->findChild<QQuickWindow*>("dialogImport");
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        click(itemsNamed(dialog->contentItem(), "startImport").constFirst());
        auto* ask = view->findChild<QObject*>("nameResolution");
        QVERIFY(ask);
        QTRY_VERIFY(ask->property("visible").toBool());
        QCOMPARE(ask->property("name").toString(), QStringLiteral("VID_0001.mp4"));
        QList<QQuickItem*> skip;
        QTRY_VERIFY(
            !(skip = itemsNamed(ask->property("contentItem").value<QQuickItem*>(), "skip")).isEmpty());
        click(skip.constFirst());
        const QString fetched = folder + "/VID_0002.mp4";
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(fetched).size() == QFileInfo(m_camera + "/VID_0002.mp4").size(), 30000);
        QFile kept(folder + "/VID_0001.mp4"), copy(fetched), original(m_camera + "/VID_0002.mp4");
        QVERIFY(kept.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly)
            && original.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept"));
        QVERIFY(copy.readAll() == original.readAll());

        // The camera's stand-in video holds no media: the player says why it cannot play it.
        QQuickItem* second = nullptr;
        for (QQuickItem* cell : itemsNamed(view, "videoCell"))
            if (cell->property("video").value<QObject*>()->property("name") == "VID_0002.mp4")
                second = cell;
        QVERIFY(second);
        PlayerLog log;
        const QPointF centre = second->mapToScene(QPointF(second->width() / 2, second->height() / 2));
        QTest::mouseDClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
        auto* player = m_window->findChild<QQuickItem*>("videoPlayer");
        QVERIFY(player);
        QTRY_VERIFY(player->isVisible());
        auto* media = player->findChild<QObject*>("mediaPlayer");
        QVERIFY(media);
        // The multimedia back-end may take long to give up on a file; its answer is logged.
        QTRY_VERIFY_WITH_TIMEOUT(media->property("error").toInt() != 0, 60000);
        QTRY_VERIFY(!PlayerLog::lines.isEmpty());
        QMetaObject::invokeMethod(player, "close");
        QVERIFY(!player->isVisible());

        // The camera fails to read: the video is reported, not taken as saved.
        FolderDevice::Faults broken;
        broken.failReadAfter = 0;
        m_manager->controls(m_imports->devices->defaultDeviceId())->setFaults(broken);
        QVERIFY(QFile::remove(folder + "/VID_0001.mp4"));
        QVERIFY(QFile::remove(fetched));
        click(itemsNamed(view, "selectAllVideos").constFirst()); // the double click chose one
        QTRY_COMPARE(view->property("selectedCount").toInt(), 2);
        click(itemsNamed(view, "importVideos").constFirst());
        QTRY_VERIFY(dialog->isVisible());
        click(itemsNamed(dialog->contentItem(), "startImport").constFirst());
        QTRY_COMPARE_WITH_TIMEOUT(notes("Cannot save VID_0002.mp4. Is chosen folder read-only?"), 1, 30000);
        QCOMPARE(notes("Cannot save VID_0001.mp4. Is chosen folder read-only?"), 1);
        QVERIFY(!QFileInfo::exists(fetched));

        // Unplugged: the camera's tab and page go, and the gallery is shown again.
        m_manager->detach(m_imports->devices->defaultDeviceId());
        QTRY_VERIFY(itemsNamed(m_window->contentItem(), "deviceTab").isEmpty());
        QVERIFY(itemsNamed(m_window->contentItem(), "devicePage").isEmpty());
        auto* main = m_window->findChild<QQuickItem*>("pageMain");
        QVERIFY(main);
        QVERIFY(main->property("galleryShown").toBool());
        closeWindow();
    }

    // A camera whose files cannot be kept anywhere shows how to get it read.
    void deviceThatFailsShowsTheHints()
    {
        const QString blocked = m_dir.filePath("cache-blocked");
        QVERIFY(ostra::test::writeTreeFile(blocked, "a file, not a folder"));
        {
            AppSettings settings;
            settings.setValue("FileCacheFolder", blocked + "/cache");
        }
        QQuickItem* page = openWindow();
        QVERIFY(page);
        CaptureModel* model = modelOf(page);
        QVERIFY(model);
        QTRY_COMPARE(model->loadingState(), QStringLiteral("failed"));
        QList<QQuickItem*> hints;
        QTRY_COMPARE((hints = itemsNamed(page, "loadFailure")).size(), 1);
        QVERIFY(showsText(hints.constFirst(), "Make sure your device is unlocked."));
        QVERIFY(showsText(hints.constFirst(),
            "Try to unplug and plug in your device again, and make sure it is unlocked."));
        QVERIFY(cells(page).isEmpty());
        m_settings->remove("FileCacheFolder");
        closeWindow();
    }
};

OSTRA_TEST_MAIN(TestViewImport)
#include "tst_viewimport.moc"
