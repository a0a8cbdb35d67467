// The main window's menus, preferences and quit guard, over the real window, image service
// and settings.
#include "support/testmain.h"

#include "app/automationhost.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "app/windowframe.h"
#include "core/appsettings.h"
#include "display/imageedititem.h"
#include "engine/export.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/vrxmetadata.h"
#include "library/activesession.h"
#include "support/localhttpserver.h"
#include "support/picturefiles.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <memory>

using ostra::test::LocalHttpServer;
using ostra::test::PictureFiles;

class TestWindowMain : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_folder;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    WindowFrame* m_frame = nullptr;
    ActiveSession* m_gallery = nullptr;
    ImageLocator* m_locator = nullptr;

    void openWindow(const QString& feed = QString())
    {
        m_engine = std::make_unique<QQmlApplicationEngine>();
        auto properties = ostra::rootContextProperties(ImageLocator::kGlBgra, false);
        properties.append({ QStringLiteral("cpQueltUpdate"), feed });
        ostra::setRootContextProperties(m_engine->rootContext(), properties);
        m_engine->load(QUrl::fromLocalFile(ostra::test::sourceDir() + "/qml/AppLayers/WindowMain.qml"));
        QCOMPARE(m_engine->rootObjects().size(), 1);
        m_window = qobject_cast<QQuickWindow*>(m_engine->rootObjects().constFirst());
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
        m_frame = m_window->findChild<WindowFrame*>();
        m_gallery = m_window->findChild<ActiveSession*>();
        m_locator = m_window->findChild<ImageLocator*>();
        QVERIFY(m_frame && m_gallery && m_locator);
    }

    // The model entry of the menu item with this title.
    QModelIndex item(const QString& title, const QModelIndex& parent = {}) const
    {
        const QAbstractItemModel* model = m_frame->menuModel();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex at = model->index(row, 0, parent);
            if (at.data(WindowMenuModel::TitleRole).toString() == title)
                return at;
            if (const QModelIndex below = item(title, at); below.isValid())
                return below;
        }
        return {};
    }

    int commandOf(const QString& title) const
    {
        return item(title).data(WindowMenuModel::CommandIdRole).toInt();
    }
    bool enabled(const QString& title) const
    {
        return item(title).data(WindowMenuModel::EnabledRole).toBool();
    }

    template <typename T = QQuickItem> T* named(const QString& name) const
    {
        return m_window->findChild<T*>(name);
    }

    // The item of this name under `root` (delegates included).
    static QQuickItem* below(QQuickItem* root, const QString& name)
    {
        if (!root || root->objectName() == name)
            return root;
        const auto children = root->childItems();
        for (QQuickItem* child : children) {
            if (QQuickItem* found = below(child, name))
                return found;
        }
        return nullptr;
    }

    // The same under a popup's content.
    static QQuickItem* inside(QObject* popup, const QString& name)
    {
        return below(popup->property("contentItem").value<QQuickItem*>(), name);
    }

    void click(QQuickItem* target)
    {
        QVERIFY(target);
        QTest::mouseClick(m_window, Qt::LeftButton, {},
            target->mapToScene(QPointF(target->width() / 2, target->height() / 2)).toPoint());
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        m_folder = m_dir.filePath("day");
        QVERIFY(QDir().mkpath(m_folder));
        for (int i = 0; i < 3; ++i)
            QVERIFY(!PictureFiles::write(
                m_folder, QStringLiteral("P%1.vrx").arg(i), PictureFiles::small(std::uint32_t(40 + i)))
                         .isEmpty());
        m_settings = std::make_unique<AppSettings>();
        openWindow();
    }

    void cleanupTestCase() { m_engine.reset(); }

    void menuBarIsDrawnAndItsItemsWork()
    {
        const QAbstractItemModel* model = m_frame->menuModel();
        QStringList titles;
        for (int row = 0; row < model->rowCount(); ++row)
            titles << model->index(row, 0).data(WindowMenuModel::TitleRole).toString();
        QCOMPARE(titles, QStringList({ "File", "Edit", "View", "Help" }));
        QCOMPARE(model->rowCount(model->index(0, 0)), 8);
        QCOMPARE(item("Preferences").data(WindowMenuModel::TextRole).toString(),
            QStringLiteral("Preferences\tCtrl+,"));
        QCOMPARE(item("About " + QGuiApplication::applicationDisplayName())
                     .data(WindowMenuModel::ShortcutRole)
                     .toString(),
            QStringLiteral("Shift+F1"));
        QVERIFY(item("Reset Adjustments...").data(WindowMenuModel::ShortcutRole).toString().isEmpty());

        m_window->findChild<AutomationHost*>()->execute({ m_folder });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 3, 20000);
        QCOMPARE(m_gallery->selectionSize(), 0);

        // A click on "Edit", then on its item, selects the whole gallery.
        auto* bar = named("mainMenu");
        QVERIFY(bar);
        QQuickItem* edit = nullptr;
        const auto items = bar->findChildren<QQuickItem*>();
        for (QQuickItem* candidate : items) {
            if (QByteArray(candidate->metaObject()->className()).contains("MenuBarItem")
                && candidate->property("text").toString() == QLatin1String("Edit"))
                edit = candidate;
        }
        click(edit);
        const QString name = QStringLiteral("menuItem%1").arg(commandOf("Select all images"));
        QTRY_VERIFY(named(name) && named(name)->isVisible() && named(name)->width() > 0);
        QVERIFY(named(name)->isEnabled());
        QTRY_VERIFY(named(name)->mapToScene(QPointF()).y() > bar->height() / 2);
        click(named(name));
        QTRY_COMPARE(m_gallery->selectionSize(), 3);

        // The same through its shortcut, with the selection cleared first.
        m_gallery->selectionModel()->clearSelection();
        QCOMPARE(m_gallery->selectionSize(), 0);
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTest::keyClick(m_window, Qt::Key_A, Qt::ControlModifier);
        QTRY_COMPARE(m_gallery->selectionSize(), 3);
    }

    void editorItemsFollowTheEditor()
    {
        const QStringList editorOnly { "Save", "Click to focus", "Undo depth edit", "Zoom in",
            "Fit in window", "Center in window", "Copy Adjustments" };
        for (const QString& title : editorOnly) {
            QVERIFY2(!enabled(title), qPrintable(title));
            QVERIFY(!m_frame->triggerCommand(commandOf(title)));
        }
        QVERIFY(enabled("Select all images"));

        const QUrl picture = QUrl::fromLocalFile(m_folder + "/P1.vrx");
        m_window->setProperty("editorLocation", picture.toString());
        for (const char* title : { "Save", "Zoom in", "Fit in window", "Center in window" })
            QTRY_VERIFY_WITH_TIMEOUT(enabled(title), 20000);
        QVERIFY(!enabled("Select all images"));
        // The drawn item follows the frame's state.
        QQuickItem* save = named(QStringLiteral("menuItem%1").arg(commandOf("Save")));
        QVERIFY(save && save->isEnabled());
        // Zoom in, then fit: the canvas follows.
        auto* canvas = m_window->findChild<ImageEditItem*>();
        QVERIFY(canvas);
        const double fitted = canvas->zoomLogLevel();
        QVERIFY(m_frame->triggerCommand(commandOf("Zoom in")));
        QCOMPARE(canvas->zoomLogLevel(), fitted + 1);
        QVERIFY(m_frame->triggerCommand(commandOf("Fit in window")));
        QCOMPARE(canvas->zoomLogLevel(), fitted);

        m_window->setProperty("editorLocation", QString());
        for (const QString& title : editorOnly)
            QTRY_VERIFY2(!enabled(title), qPrintable(title));
        QVERIFY(!save->isEnabled());
        QVERIFY(enabled("Select all images"));
    }

    void pictureOfANewerFormatOffersTheUpdateOnce()
    {
        const QString folder = m_dir.filePath("newer");
        QVERIFY(QDir().mkpath(folder));
        const QString path = PictureFiles::write(folder,
            QStringLiteral("N_%1.vrx").arg(QLatin1String(VrxMetadata::kIncompatibleMarker)),
            PictureFiles::small(50));
        QVERIFY(!path.isEmpty());
        QObject* notice = named<QObject>("newerFormat");
        QVERIFY(notice);
        QVERIFY(!notice->property("visible").toBool());
        m_window->findChild<AutomationHost*>()->execute({ path });
        QTRY_VERIFY_WITH_TIMEOUT(notice->property("opened").toBool(), 20000);
        click(notice->findChild<QQuickItem*>("noticeReject"));
        QTRY_VERIFY(!notice->property("visible").toBool());
        m_window->setProperty("editorLocation", QString());
        m_window->findChild<AutomationHost*>()->execute({ m_folder });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 3, 20000);
    }

    void pictureThatCannotBeReadIsReported()
    {
        const QString path = m_dir.filePath("broken/B.vrx");
        QVERIFY(QDir().mkpath(m_dir.filePath("broken")));
        QFile broken(path);
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write(QByteArray(4096, '\x5a')) == 4096);
        broken.close();
        QObject* notice = named<QObject>("openFailure");
        QVERIFY(notice && !notice->property("visible").toBool());
        m_window->findChild<AutomationHost*>()->execute({ path });
        QTRY_VERIFY_WITH_TIMEOUT(notice->property("opened").toBool(), 20000);
        QVERIFY(inside(notice, "noticeMessage")
                    ->property("text")
                    .toString()
                    .contains("Ostra failed to open this image."));
        click(inside(notice, "noticeAccept"));
        QTRY_VERIFY(!notice->property("visible").toBool());
        m_window->setProperty("editorLocation", QString());

        // A picture of the gallery reverted from the menu is announced.
        m_window->findChild<AutomationHost*>()->execute({ m_folder });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 3, 20000);
        m_gallery->selectionModel()->select(m_gallery->index(0, 0), QItemSelectionModel::Select);
        QVERIFY(m_frame->triggerCommand(commandOf("Revert to original")));
        auto* notifications = named("notifications");
        QVERIFY(notifications);
        QTRY_VERIFY(below(notifications, "notificationText"));
        QCOMPARE(below(notifications, "notificationText")->property("text").toString(),
            QStringLiteral("Image has been successfully reverted to original."));
        m_gallery->selectionModel()->clearSelection();
    }

    void updatesAskedForFromTheMenu_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<QString>("answer");
        QTest::newRow("current") << 200 << QByteArray("0.0.1")
                                 << "You are running the most current version of";
        QTest::newRow("newer") << 200 << QByteArray("99.0") << "";
        QTest::newRow("failure") << 500 << QByteArray() << "has been unable to check for updates. Try later!";
    }

    void updatesAskedForFromTheMenu()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, version);
        QFETCH(QString, answer);
        LocalHttpServer server;
        QVERIFY(server.start());
        const QByteArray feed = "<Updates><PackageUpdate><Name>com.quelt.ostra</Name><Version>" + version
            + "</Version></PackageUpdate></Updates>";
        QVERIFY(server.respond("GET", "/feed/Updates.xml", { status, {}, feed, 0 }));
        // Checked today already: nothing is asked at start.
        m_settings->setCheckUpdateDate(QDate::currentDate());
        m_engine.reset();
        openWindow(server.url(QStringLiteral("/feed")).toString());
        QVERIFY(!m_window->property("hasPendingUpdates").toBool());
        QVERIFY(m_frame->triggerCommand(commandOf("Check for updates")));
        QVERIFY(server.waitForRequests(1));
        if (answer.isEmpty()) {
            QTRY_VERIFY(named<QObject>("updateOffer")->property("opened").toBool());
            QVERIFY(m_window->property("hasPendingUpdates").toBool());
            QVERIFY(!named<QObject>("updateResult")->property("visible").toBool());
        } else {
            QObject* result = named<QObject>("updateResult");
            QTRY_VERIFY(result->property("opened").toBool());
            QVERIFY2(result->property("message").toString().contains(answer),
                qPrintable(result->property("message").toString()));
            QVERIFY(!m_window->property("hasPendingUpdates").toBool());
        }
        m_engine.reset();
        openWindow();
    }

    void preferencesWriteAndRevert()
    {
        const QString key = QStringLiteral("BackgroundIndex");
        const bool initial = m_settings->flag(key);
        QCOMPARE(initial, m_settings->defaultFlag(key));
        QVERIFY(m_frame->triggerCommand(commandOf("Preferences")));
        QObject* dialog = named<QObject>("preferences");
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->property("opened").toBool());
        auto* box = inside(dialog, key);
        QVERIFY(box);
        QCOMPARE(box->property("checked").toBool(), initial);
        click(box);
        QTRY_COMPARE(box->property("checked").toBool(), !initial);
        QCOMPARE(m_settings->flag(key), !initial);
        // The image service follows the setting at once.
        QCOMPARE(m_locator->backgroundProcessing(), !initial);
        click(dialog->findChild<QQuickItem*>("closeAndApply"));
        QTRY_VERIFY(!dialog->property("visible").toBool());

        // Written to disk: a new settings object (after the window is gone) reads it.
        m_engine.reset();
        m_settings.reset();
        m_settings = std::make_unique<AppSettings>();
        QCOMPARE(m_settings->flag(key), !initial);

        openWindow();
        QVERIFY(m_frame->triggerCommand(commandOf("Preferences")));
        dialog = named<QObject>("preferences");
        QTRY_VERIFY(dialog->property("opened").toBool());
        box = inside(dialog, key);
        QCOMPARE(box->property("checked").toBool(), !initial);
        click(dialog->findChild<QQuickItem*>("revertAll"));
        QTRY_COMPARE(box->property("checked").toBool(), initial);
        QCOMPARE(m_locator->backgroundProcessing(), initial);
        click(dialog->findChild<QQuickItem*>("closeAndApply"));
        m_engine.reset();
        m_settings.reset();
        m_settings = std::make_unique<AppSettings>();
        QCOMPARE(m_settings->flag(key), initial);
        QCOMPARE(m_settings->value(key).toBool(), initial);
        openWindow();
    }

    void quitWaitsForTheWorkRunning()
    {
        const QUrl picture = QUrl::fromLocalFile(m_folder + "/P2.vrx");
        const QString out = m_dir.filePath("out");
        QObject* guard = named<QObject>("quitGuard");
        QVERIFY(guard);
        // An export that waits for the file, which the test holds.
        auto startExport = [&](const QString& name) {
            FileToken held = m_locator->filePerm()->tryAcquireFileSemaphore(
                picture.toLocalFile(), FilePerm::kExclusive, 5000);
            m_locator->exportImageList(
                { picture }, 1, 0, int(Export::Level), QUrl::fromLocalFile(out), name, false);
            return held;
        };

        // Back to the window: the quit is off, also once the work has ended.
        FileToken held = startExport("first");
        QVERIFY(held);
        QTRY_VERIFY(m_window->property("hasPendingOps").toBool());
        m_window->close();
        QTRY_VERIFY(guard->property("opened").toBool());
        QVERIFY(m_window->isVisible());
        QCOMPARE(
            guard->property("operations").toStringList(), QStringList({ "Background image processing" }));
        click(guard->findChild<QQuickItem*>("returnToApp"));
        QTRY_VERIFY(!guard->property("visible").toBool());
        held.reset();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(out + "/first.jpg"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->property("hasPendingOps").toBool(), 60000);
        QVERIFY(m_window->isVisible());

        held = startExport("second");
        QTRY_VERIFY(m_window->property("hasPendingOps").toBool());
        m_window->close();
        QTRY_VERIFY(guard->property("opened").toBool());
        QVERIFY(m_window->isVisible());
        // The work ends: the file is written and the window goes.
        held.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 60000);
        QVERIFY(QFile::exists(out + "/second.jpg"));
        QVERIFY(!guard->property("visible").toBool());
    }

    void stopEndsTheWorkAndTheWindowCloses()
    {
        openWindow();
        const QString picture = m_folder + "/P0.vrx";
        FileToken held = m_locator->filePerm()->tryAcquireFileSemaphore(picture, FilePerm::kExclusive, 5000);
        QVERIFY(held);
        m_locator->exportImageList(
            { QUrl::fromLocalFile(picture), QUrl::fromLocalFile(m_folder + "/P1.vrx") }, 1, 0,
            int(Export::Level), QUrl::fromLocalFile(m_dir.filePath("stopped")), QString(), false);
        QTRY_VERIFY(m_window->property("hasPendingOps").toBool());
        m_window->close();
        QObject* guard = named<QObject>("quitGuard");
        QTRY_VERIFY(guard->property("opened").toBool());
        QVERIFY(m_window->isVisible());
        click(guard->findChild<QQuickItem*>("stopAll"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->isVisible(), 20000);
        QVERIFY(!m_window->property("hasPendingOps").toBool());
        held.reset();
    }
};

OSTRA_TEST_MAIN(TestWindowMain)
#include "tst_windowmain.moc"
