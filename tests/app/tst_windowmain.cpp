// The main window's menus, preferences and quit guard, over the real window, image service
// and settings.
#include "support/mainwindow.h"
#include "support/testmain.h"

#include "app/automationhost.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "app/windowframe.h"
#include "core/appsettings.h"
#include "core/progresshandler.h"
#include "display/imageedititem.h"
#include "engine/export.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/vrxmetadata.h"
#include "library/activesession.h"
#include "support/picturefiles.h"
#include "support/quickitems.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <memory>

using ostra::test::clickItem;
using ostra::test::findItem;
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

    void openWindow()
    {
        m_engine.reset();
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_window = ostra::test::loadMainWindow(*m_engine, {}, ImageLocator::kGlBgra);
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
        m_frame = m_window->findChild<WindowFrame*>();
        m_gallery = m_window->findChild<ActiveSession*>();
        m_locator = m_window->findChild<ImageLocator*>();
        QVERIFY(m_frame && m_gallery && m_locator);
    }

    void open(const QString& path) { m_window->findChild<AutomationHost*>()->execute({ path }); }

    void showFolder()
    {
        open(m_folder);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 3, 20000);
    }

    // The model entry of the menu item with this title.
    QModelIndex item(const QString& title) const
    {
        const QAbstractItemModel* model = m_frame->menuModel();
        return model
            ->match(model->index(0, 0), WindowMenuModel::TitleRole, title, 1,
                Qt::MatchExactly | Qt::MatchRecursive)
            .value(0);
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

    // Opens the dialog of this name and waits until it is shown.
    QObject* opened(const QString& name)
    {
        auto* dialog = named<QObject>(name);
        if (dialog && !QTest::qWaitFor([&] { return dialog->property("opened").toBool(); }, 20000))
            return nullptr;
        return dialog;
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

    void menuBarClickSelectsAllAndTheRevertIsAnnounced()
    {
        showFolder();
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
        QVERIFY(clickItem(edit));
        const QString name = QStringLiteral("menuItem%1").arg(commandOf("Select all images"));
        // Clicked once its menu has opened.
        const auto ready = [&] {
            QObject* menu = named(name) ? named(name)->property("menu").value<QObject*>() : nullptr;
            return menu && menu->property("opened").toBool() && menu->property("height").toDouble() > 0
                && named(name)->isEnabled();
        };
        QTRY_VERIFY(ready());
        QTRY_VERIFY(named(name)->mapToScene(QPointF()).y() > bar->height() / 2);
        QVERIFY(clickItem(named(name)));
        QTRY_COMPARE(m_gallery->selectionSize(), 3);

        // Reverting the selection is announced once the batch has ended, not while a picture
        // the test holds keeps it running.
        FileToken held = m_locator->filePerm()->tryAcquireFileSemaphore(
            m_folder + "/P0.vrx", FilePerm::kExclusive, 5000);
        QVERIFY(held);
        QVERIFY(m_frame->triggerCommand(commandOf("Revert to original")));
        QTRY_VERIFY(m_locator->patchProgressHandler()->isInProgress());
        const auto* notes
            = qobject_cast<QAbstractItemModel*>(named("notifications")->property("model").value<QObject*>());
        QVERIFY(notes);
        QCOMPARE(notes->rowCount(), 0);
        held.reset();
        QTRY_VERIFY(findItem(named("notifications"), "notificationText"));
        QCOMPARE(findItem(named("notifications"), "notificationText")->property("text").toString(),
            QStringLiteral("3 images have been successfully reverted to original."));
        m_gallery->selectionModel()->clearSelection();
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

        m_window->setProperty("editorLocation", QUrl::fromLocalFile(m_folder + "/P1.vrx").toString());
        for (const char* title : { "Save", "Zoom in", "Fit in window", "Center in window" })
            QTRY_VERIFY_WITH_TIMEOUT(enabled(title), 20000);
        QVERIFY(!enabled("Select all images"));
        // The drawn item follows the frame's state.
        QQuickItem* save = named(QStringLiteral("menuItem%1").arg(commandOf("Save")));
        QVERIFY(save && save->isEnabled());
        // Zoomed in from the menu, the canvas follows.
        auto* canvas = m_window->findChild<ImageEditItem*>();
        QVERIFY(canvas);
        const double fitted = canvas->zoomLogLevel();
        QVERIFY(m_frame->triggerCommand(commandOf("Zoom in")));
        QCOMPARE(canvas->zoomLogLevel(), fitted + 1);

        m_window->setProperty("editorLocation", QString());
        for (const QString& title : editorOnly)
            QTRY_VERIFY2(!enabled(title), qPrintable(title));
        QVERIFY(!save->isEnabled());
    }

    void pictureThatCannotBeReadIsReported()
    {
        const QString path = m_dir.filePath("B.vrx");
        QFile broken(path);
        QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write(QByteArray(4096, '\x5a')) == 4096);
        broken.close();
        open(path);
        QObject* notice = opened("openFailure");
        QVERIFY(notice);
        QVERIFY(clickItem(findItem(notice, "noticeAccept")));
        QTRY_VERIFY(!notice->property("visible").toBool());
        m_window->setProperty("editorLocation", QString());
    }

    // A picture of a newer format offers the update once it has been read.
    void pictureOfANewerFormatOffersTheUpdate()
    {
        const QString path = PictureFiles::write(m_dir.path(),
            QStringLiteral("N_%1.vrx").arg(QLatin1String(VrxMetadata::kIncompatibleMarker)),
            PictureFiles::small(9));
        QVERIFY(!path.isEmpty());
        open(path);
        QVERIFY(opened("newerFormat"));
        m_window->setProperty("editorLocation", QString());
    }

    // Closing the session, or opening another folder, frees what the image service kept
    // for the pictures of the old one: keepers, kept pictures and gallery values.
    void closingTheSessionFreesItsPictures_data()
    {
        QTest::addColumn<bool>("closeAll");
        QTest::newRow("close all images") << true;
        QTest::newRow("another folder") << false;
    }
    void closingTheSessionFreesItsPictures()
    {
        QFETCH(bool, closeAll);
        showFolder();
        QList<QUrl> urls;
        for (int i = 0; i < 3; ++i)
            urls.append(QUrl::fromLocalFile(m_folder + QStringLiteral("/P%1.vrx").arg(i)));
        QTRY_VERIFY_WITH_TIMEOUT(m_locator->thumbnails().keptCount() >= 3, 20000);
        for (const QUrl& url : qAsConst(urls))
            QVERIFY(m_locator->hasKeeper(url));
        if (closeAll) {
            QVERIFY(QMetaObject::invokeMethod(m_window, "closeAll"));
        } else {
            const QString empty = m_dir.filePath(QStringLiteral("empty"));
            QVERIFY(QDir().mkpath(empty));
            open(empty);
        }
        QTRY_COMPARE(m_gallery->grossCount(), 0);
        for (const QUrl& url : qAsConst(urls)) {
            QTRY_VERIFY_WITH_TIMEOUT(!m_locator->hasKeeper(url), 20000);
            QVERIFY(m_locator->indexedValues(url).isEmpty());
        }
        QCOMPARE(m_locator->thumbnails().keptCount(), 0);
    }

    // Set, then reverted to the default: each time the image service follows at once and a
    // new settings object (after the window is gone) reads the value from disk.
    void preferencesPersistAndRevert()
    {
        const QString key = QStringLiteral("BackgroundIndex");
        const bool initial = m_settings->flag(key);
        for (const bool wanted : { !initial, initial }) {
            QVERIFY(m_frame->triggerCommand(commandOf("Preferences")));
            QObject* dialog = opened("preferences");
            QVERIFY(dialog);
            QQuickItem* box = findItem(dialog, key);
            QVERIFY(box);
            QCOMPARE(box->property("checked").toBool(), !wanted);
            QVERIFY(clickItem(wanted == initial ? findItem(dialog, "revertAll") : box));
            QTRY_COMPARE(box->property("checked").toBool(), wanted);
            QCOMPARE(m_locator->backgroundProcessing(), wanted);
            QVERIFY(clickItem(findItem(dialog, "closeAndApply")));
            m_engine.reset();
            m_settings.reset();
            m_settings = std::make_unique<AppSettings>();
            QCOMPARE(m_settings->flag(key), wanted);
            openWindow();
        }
    }

    // Closing while an export waits for a file the test holds: the guard asks, and the window
    // stays (back to it), goes once the work has ended, or goes at once when the work stops.
    void quitWaitsForTheWorkRunning_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("back to the window") << "returnToApp";
        QTest::newRow("closes once done") << "";
        QTest::newRow("stop all") << "stopAll";
    }

    void quitWaitsForTheWorkRunning()
    {
        QFETCH(QString, button);
        openWindow();
        const QString picture = m_folder + "/P2.vrx";
        const QString out = m_dir.filePath(QTest::currentDataTag());
        FileToken held = m_locator->filePerm()->tryAcquireFileSemaphore(picture, FilePerm::kExclusive, 5000);
        QVERIFY(held);
        m_locator->exportImageList({ QUrl::fromLocalFile(picture) }, 1, 0, int(Export::Level),
            QUrl::fromLocalFile(out), QStringLiteral("out"), false);
        QTRY_VERIFY(m_window->property("hasPendingOps").toBool());
        m_window->close();
        QObject* guard = opened("quitGuard");
        QVERIFY(guard);
        QVERIFY(m_window->isVisible());
        if (!button.isEmpty()) {
            QVERIFY(clickItem(findItem(guard, button)));
            QTRY_VERIFY(!guard->property("visible").toBool());
        }
        const bool stopped = button == QLatin1String("stopAll");
        if (!stopped)
            held.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->property("hasPendingOps").toBool(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->isVisible(), button == QLatin1String("returnToApp"), 20000);
        QCOMPARE(QFile::exists(out + "/out.jpg"), !stopped);
    }
};

OSTRA_TEST_MAIN(TestWindowMain)
#include "tst_windowmain.moc"
