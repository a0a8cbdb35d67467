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
#include "display/geometryedits.h"
#include "display/imageedititem.h"
#include "engine/export.h"
#include "engine/fileperm.h"
#include "engine/imagelocator.h"
#include "engine/vrxcompress.h"
#include "engine/vrxmetadata.h"
#include "library/activesession.h"
#include "support/picturefiles.h"
#include "support/quickitems.h"
#include "support/screenchecks.h"
#include "support/testenvironment.h"

#include <QAbstractItemModel>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

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
        ostra::test::useApplicationStyle();
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

    // The gallery and a message of the window at the window sizes people use: nothing cut,
    // every text readable (the message's buttons too), and Return takes the message's main
    // button.
    void readableAtWindowSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("1280x800") << QSize(1280, 800);
        QTest::newRow("1920x1080") << QSize(1920, 1080);
    }

    void readableAtWindowSizes()
    {
        QFETCH(QSize, size);
        // What earlier tests said has gone (a message fading out is not read whole).
        const auto* notes
            = qobject_cast<QAbstractItemModel*>(named("notifications")->property("model").value<QObject*>());
        QVERIFY(notes);
        QTRY_COMPARE_WITH_TIMEOUT(notes->rowCount(), 0, 20000);
        QTRY_VERIFY(!findItem(named("notifications"), "notificationText"));
        showFolder();
        m_window->resize(size);
        QTRY_COMPARE(m_window->contentItem()->width(), qreal(size.width()));
        QTest::qWait(100); // a frame at the new size
        // The folders of the recent sessions are shortened in their middle when long.
        QStringList faults = ostra::test::readabilityFaults(m_window, { QStringLiteral("recentRoot") });
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        // What the selection is stays clear of the import ring beside it.
        QVERIFY(QMetaObject::invokeMethod(m_window, "selectAll"));
        QQuickItem* summary = named("selectionSummary");
        QQuickItem* ring = named("pipelineStatus");
        QVERIFY(summary && ring);
        QTRY_VERIFY(summary->property("text").toString().startsWith("3 selected"));
        QVERIFY(!summary->mapRectToScene(summary->boundingRect())
                     .intersects(ring->mapRectToScene(ring->boundingRect())));
        m_gallery->selectionModel()->clearSelection();

        QVERIFY(m_frame->triggerCommand(commandOf("Preferences")));
        QObject* preferences = opened("preferences");
        QVERIFY(preferences);
        QTest::qWait(100);
        // What the popup shows (the window behind it is dimmed).
        const auto popupItem = [](QObject* popup) {
            return popup->property("contentItem").value<QQuickItem*>()->parentItem();
        };
        faults = ostra::test::readabilityFaults(m_window, {}, 4.5, popupItem(preferences));
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        QVERIFY(clickItem(findItem(preferences, "closeAndApply")));
        QTRY_VERIFY(!preferences->property("visible").toBool());

        QVERIFY(QMetaObject::invokeMethod(m_window, "openAbout"));
        QObject* about = opened("about");
        QVERIFY(about);
        QTest::qWait(100);
        faults = ostra::test::readabilityFaults(m_window, {}, 4.5, popupItem(about));
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        QVERIFY(ostra::test::activateWindow(m_window));
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_VERIFY(!about->property("visible").toBool());
        m_window->resize(1280, 800);
    }

    // A menu closed with Escape leaves the bar as it was: the next click on another menu's
    // title opens that menu.
    void clickAfterEscapeOpensTheNextMenu()
    {
        auto* bar = named("mainMenu");
        QVERIFY(bar);
        QHash<QString, QQuickItem*> titles;
        for (QQuickItem* candidate : bar->findChildren<QQuickItem*>()) {
            if (QByteArray(candidate->metaObject()->className()).contains("MenuBarItem"))
                titles.insert(candidate->property("text").toString(), candidate);
        }
        QVERIFY(titles.contains("File") && titles.contains("Edit"));
        const auto menuOf
            = [&](const QString& title) { return titles.value(title)->property("menu").value<QObject*>(); };
        const auto centre = [&](const QString& title) {
            QQuickItem* item = titles.value(title);
            return item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
        };
        // A title is drawn lit (its background not transparent) only while its menu is open.
        const auto lit = [&](const QString& title) {
            auto* background = titles.value(title)->property("background").value<QQuickItem*>();
            return background && background->property("color").value<QColor>().alpha() > 0;
        };
        QVERIFY(ostra::test::activateWindow(m_window));
        QTest::mouseMove(m_window, centre("File"));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre("File"));
        QTRY_VERIFY(menuOf("File")->property("opened").toBool());
        QVERIFY(lit("File"));
        QTest::keyClick(m_window, Qt::Key_Escape);
        QTRY_VERIFY(!menuOf("File")->property("visible").toBool());
        QTRY_VERIFY(!lit("File"));
        QTest::mouseMove(m_window, centre("Edit"));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre("Edit"));
        QTRY_VERIFY(menuOf("Edit")->property("opened").toBool());
        QVERIFY(lit("Edit") && !lit("File"));
        QTest::keyClick(m_window, Qt::Key_Escape);
        QTRY_VERIFY(!menuOf("Edit")->property("visible").toBool());
        QTRY_VERIFY(!lit("Edit"));
    }

    // A batch edit shows its progress over the window; stopped from there, the pictures
    // not reached are left alone and the batch is not announced as done.
    void batchProgressShowsAndStops()
    {
        auto* overlay = named("overlayProgress");
        QVERIFY(overlay && !overlay->isVisible());
        const auto* notes
            = qobject_cast<QAbstractItemModel*>(named("notifications")->property("model").value<QObject*>());
        QVERIFY(notes);
        QTRY_COMPARE_WITH_TIMEOUT(notes->rowCount(), 0, 20000); // what earlier tests said has gone
        FileToken held = m_locator->filePerm()->tryAcquireFileSemaphore(
            m_folder + "/P0.vrx", FilePerm::kExclusive, 5000);
        QVERIFY(held);
        m_gallery->selectAll();
        QCOMPARE(m_gallery->selectionSize(), 3);
        QVERIFY(m_frame->triggerCommand(commandOf("Revert to original")));
        QTRY_VERIFY(overlay->isVisible());
        QCOMPARE(
            findItem(overlay, "overlayProgressText")->property("text").toString(), QStringLiteral("0 / 3"));
        // The stop does not wait for the picture in hand, held here by a writer: the
        // batch's thread ends its wait for the picture and goes.
        QPointer<QThread> batch = m_locator->patchBatch().thread();
        // Clicked once it is laid out where a user sees it (the layout places it a frame
        // after the overlay shows).
        QQuickItem* cancel = findItem(overlay, "overlayProgressCancel");
        QVERIFY(cancel);
        QTRY_VERIFY(cancel->isVisible() && cancel->width() > 0 && cancel->height() > 0
            && overlay->contains(
                overlay->mapFromItem(cancel, QPointF(cancel->width() / 2, cancel->height() / 2)))
            && cancel->y() > 0);
        QVERIFY(clickItem(cancel));
        QTRY_VERIFY_WITH_TIMEOUT(batch.isNull(), 30000);
        held.reset();
        QTRY_VERIFY(!overlay->isVisible());
        QVERIFY(!m_locator->patchProgressHandler()->isInProgress());
        const int textRole = notes->roleNames().key("text", -1);
        QVERIFY(textRole >= 0);
        QCoreApplication::processEvents();
        for (int row = 0; row < notes->rowCount(); ++row)
            QVERIFY(!notes->index(row, 0).data(textRole).toString().contains("reverted"));
        m_gallery->selectionModel()->clearSelection();
    }

    // The licence and the privacy policy are the application's own pages, shown in the
    // window; the window's keys are silent while one is open.
    void licenceAndPrivacyAreLocalPages_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("heading");
        QTest::newRow("licence") << "View License Agreement"
                                 << "Ostra license";
        QTest::newRow("privacy") << "View Privacy Policy"
                                 << "Ostra privacy";
    }
    void licenceAndPrivacyAreLocalPages()
    {
        QFETCH(QString, command);
        QFETCH(QString, heading);
        QObject* key = m_window->findChild<QObject*>("keyReport");
        QVERIFY(key && key->property("armed").toBool());
        QVERIFY(m_frame->triggerCommand(commandOf(command)));
        QObject* page = opened("htmlPage");
        QVERIFY(page);
        QVERIFY(page->property("text").toString().contains(heading));
        QVERIFY(findItem(page, "htmlText")->property("text").toString().contains(heading));
        QVERIFY(!key->property("armed").toBool());
        QVERIFY(clickItem(findItem(page, "htmlClose")));
        QTRY_VERIFY(!page->property("visible").toBool());
        QVERIFY(key->property("armed").toBool());
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
        // The import ring leaves the editor's columns alone.
        QVERIFY(!named("pipelineStatus")->isVisible());
        // The drawn item follows the frame's state.
        QQuickItem* save = named(QStringLiteral("menuItem%1").arg(commandOf("Save")));
        QVERIFY(save && save->isEnabled());
        // Zoomed in from the menu, the canvas follows.
        auto* canvas = m_window->findChild<ImageEditItem*>();
        QVERIFY(canvas);
        const double fitted = canvas->zoomLogLevel();
        QVERIFY(m_frame->triggerCommand(commandOf("Zoom in")));
        QCOMPARE(canvas->zoomLogLevel(), fitted + 1);
        // A note shown over the editor stays clear of its bottom bar and filmstrip.
        QQmlExpression note(qmlContext(m_window), m_window,
            QStringLiteral("NotificationsManager.show(\"A note over the editor\")"));
        note.evaluate();
        QVERIFY(!note.hasError());
        // Where the note ends (its delegate may be made again meanwhile); -1 without one.
        const auto noteBottom = [&] {
            QQuickItem* shown = findItem(named("notifications"), "notificationText");
            return shown ? shown->mapToScene(QPointF(0, shown->height())).y() : -1.0;
        };
        QTRY_VERIFY(noteBottom() > 0);
        for (const char* below : { "backButton", "filmstrip" }) {
            QQuickItem* item = named(below);
            QVERIFY2(item && item->isVisible(), below);
            const qreal top = item->mapToScene(QPointF(0, 0)).y();
            const qreal bottom = noteBottom();
            QVERIFY2(bottom > 0 && bottom <= top,
                qPrintable(QStringLiteral("%1: %2 over %3").arg(below).arg(bottom).arg(top)));
        }
        // The resets are offered only while there is something to reset: a quarter turn
        // makes "Reset image edits" available, and the reset from the menu greys it again.
        QTRY_VERIFY_WITH_TIMEOUT(enabled("Copy Adjustments"), 20000);
        QVERIFY(!canvas->hasDepthEdits());
        QVERIFY(!enabled("Reset depth edits"));
        QVERIFY(!enabled("Reset image edits"));
        canvas->geometryEdits()->rotateRight();
        QTRY_VERIFY(enabled("Reset image edits"));
        QVERIFY(m_frame->triggerCommand(commandOf("Reset image edits")));
        QTRY_VERIFY(!canvas->geometryEdits()->hasEdits());
        QTRY_VERIFY(!enabled("Reset image edits"));

        m_window->setProperty("editorLocation", QString());
        for (const QString& title : editorOnly)
            QTRY_VERIFY2(!enabled(title), qPrintable(title));
        QVERIFY(!save->isEnabled());
        QVERIFY(named("pipelineStatus")->isVisible());
    }

    // A writer that takes the picture open in the editor (an import overwriting it) gets it:
    // the editor closes instead of keeping the writer waiting.
    void editorLetsGoOfAPictureAWriterTakes()
    {
        const QUrl picture = QUrl::fromLocalFile(m_folder + "/P1.vrx");
        m_window->setProperty("editorLocation", picture.toString());
        auto* canvas = m_window->findChild<ImageEditItem*>();
        QTRY_VERIFY_WITH_TIMEOUT(
            (canvas = m_window->findChild<ImageEditItem*>()) && canvas->captureKnown(), 60000);
        std::atomic<bool> taken { false };
        std::atomic<bool> done { false };
        std::thread writer([&] {
            const auto token = m_locator->evict(picture);
            taken = token != nullptr;
            done = true;
        });
        // Should the editor stay, it is closed here so that the writer ends either way.
        struct Finish
        {
            QQuickWindow* window;
            std::thread& writer;
            std::atomic<bool>& done;
            ~Finish()
            {
                window->setProperty("editorLocation", QString());
                (void)QTest::qWaitFor([&] { return done.load(); }, 60000);
                writer.join();
            }
        } finish { m_window, writer, done };
        QTRY_VERIFY_WITH_TIMEOUT(m_window->property("editorLocation").toString().isEmpty(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 20000);
        QVERIFY(taken);
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

    // Edits that could not be saved are told in one notice that names each picture once,
    // with its path and the reason shown as they are.
    void editsNotSavedAreTold()
    {
        const QString odd = QDir::toNativeSeparators(m_folder + "/P <&> 1.vrx");
        const QString plain = QDir::toNativeSeparators(m_folder + "/P2.vrx");
        for (const auto& told : { qMakePair(odd, QStringLiteral("No space left on device")),
                 qMakePair(odd, QStringLiteral("No space left on device")),
                 qMakePair(plain, QStringLiteral("Read-only file system")) })
            QVERIFY(QMetaObject::invokeMethod(
                m_locator, "editsNotSaved", Q_ARG(QString, told.first), Q_ARG(QString, told.second)));
        QObject* notice = opened("editsNotSaved");
        QVERIFY(notice);
        QQuickItem* message = findItem(notice, "noticeMessage");
        QVERIFY(message);
        const QString text = message->property("text").toString();
        QCOMPARE(text.count(QStringLiteral("could not be saved")), 2);
        QVERIFY2(text.contains(odd.toHtmlEscaped() + " could not be saved: No space left on device"),
            qPrintable(text));
        QVERIFY2(text.contains(plain + " could not be saved: Read-only file system"), qPrintable(text));
        QVERIFY(clickItem(findItem(notice, "noticeAccept")));
        QTRY_VERIFY(!notice->property("visible").toBool());
        // The next failure starts a notice of its own.
        QVERIFY(QMetaObject::invokeMethod(m_locator, "editsNotSaved", Q_ARG(QString, plain),
            Q_ARG(QString, QStringLiteral("Input/output error"))));
        QVERIFY(opened("editsNotSaved"));
        QCOMPARE(message->property("text").toString().count(QStringLiteral("could not be saved")), 1);
        QVERIFY(clickItem(findItem(notice, "noticeAccept")));
        QTRY_VERIFY(!notice->property("visible").toBool());

        // A preset that could not be written is named in a note.
        QQmlExpression lastNote(
            qmlContext(m_window), m_window, QStringLiteral("NotificationsManager.lastText"));
        QVERIFY(QMetaObject::invokeMethod(AppSettings::instance(), "presetNotSaved",
            Q_ARG(QString, "Warm dusk"), Q_ARG(QString, QStringLiteral("No space left on device"))));
        QTRY_VERIFY2(lastNote.evaluate().toString().startsWith(QStringLiteral(
                         "The preset \"Warm dusk\" could not be saved: No space left on device")),
            qPrintable(lastNote.evaluate().toString()));
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

    // A compression that failed is offered again by the window's retry, and exports keep
    // the machine awake with a reason the system can show.
    void failedCompressionIsRetried()
    {
        QVERIFY(!m_locator->exportQueue()->reasonForPowerRequest().isEmpty());
        std::atomic<int> compressions { 0 };
        VrxCompress::setCompressor([&](auto, auto, int, int, int) {
            ++compressions;
            return -1;
        });
        auto options = PictureFiles::small(77);
        options.frames = 3;
        QVERIFY(QDir().mkpath(m_dir.filePath("multi")));
        const QString path = PictureFiles::write(m_dir.filePath("multi"), QStringLiteral("M.vrx"), options);
        QVERIFY(!path.isEmpty());
        m_locator->requestMetadata(QUrl::fromLocalFile(path));
        QTRY_COMPARE_WITH_TIMEOUT(m_locator->retryCount(), 1, 60000);
        QCOMPARE(compressions.load(), 1);
        QObject* retry = m_window->findChild<QObject*>("compressionRetry");
        QVERIFY(retry && retry->property("running").toBool());
        QVERIFY(QMetaObject::invokeMethod(retry, "triggered"));
        QTRY_COMPARE_WITH_TIMEOUT(compressions.load(), 2, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(m_locator->retryCount(), 1, 60000);
        VrxCompress::setCompressor({});
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
        // Pictures opened by earlier cases outside the gallery may still be kept.
        const int kept = m_locator->thumbnails().keptCount();
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
        QVERIFY(m_locator->thumbnails().keptCount() <= kept - urls.size());
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
        // A second start hands files over meanwhile: they are opened, and the window stays.
        QTest::newRow("files handed over") << "handOver";
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
        // It names the work and reads whole, its buttons too.
        QTest::qWait(100); // a frame with the guard
        const QStringList faults = ostra::test::readabilityFaults(
            m_window, {}, 4.5, guard->property("contentItem").value<QQuickItem*>()->parentItem());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        QVERIFY(ostra::test::findItem(guard, "operation"));
        QCOMPARE(ostra::test::findItem(guard, "operation")->property("text").toString(),
            QStringLiteral("\u2022 Background image processing"));
        const bool handOver = button == QLatin1String("handOver");
        if (handOver) {
            auto* host = m_window->findChild<AutomationHost*>();
            QVERIFY(host);
            host->execute({ m_folder });
            QTRY_VERIFY(!guard->property("visible").toBool());
        } else if (!button.isEmpty()) {
            QVERIFY(clickItem(findItem(guard, button)));
            QTRY_VERIFY(!guard->property("visible").toBool());
        }
        const bool stopped = button == QLatin1String("stopAll");
        if (!stopped)
            held.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->property("hasPendingOps").toBool(), 60000);
        const bool stays = button == QLatin1String("returnToApp") || handOver;
        QTRY_COMPARE_WITH_TIMEOUT(m_window->isVisible(), stays, 20000);

        QCOMPARE(QFile::exists(out + "/out.jpg"), !stopped);
    }

    // Deleting from the gallery says what goes and where: pictures on this computer go to
    // the trash, from where they can be restored. Return confirms.
    // The sessions opened before are listed beside the gallery, readable, and a click on
    // one opens it again.
    void recentSessionsReopen()
    {
        showFolder();
        const QString other = m_dir.filePath("another day, at the lake, with the whole family and the boat");
        QVERIFY(QDir().mkpath(other));
        if (!QFile::exists(other + "/Q0.vrx"))
            QVERIFY(!PictureFiles::write(other, QStringLiteral("Q0.vrx"), PictureFiles::small(60)).isEmpty());
        open(other);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 1, 20000);
        QQuickItem* recent = named("recentSessions");
        QVERIFY(recent);
        QTRY_VERIFY(recent->isVisible() && recent->property("count").toInt() >= 1);
        QTest::qWait(100); // a frame
        const QStringList faults = ostra::test::readabilityFaults(m_window, { QStringLiteral("recentRoot") });
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
        // A long folder is shortened within its entry, never drawn past it.
        std::function<void(QQuickItem*)> within = [&](QQuickItem* item) {
            for (QQuickItem* child : item->childItems()) {
                if (child->objectName() == QLatin1String("recentRoot") && child->isVisible()) {
                    QVERIFY2(child->property("contentWidth").toDouble() <= child->width() + 1,
                        qPrintable(child->property("text").toString()));
                }
                within(child);
            }
        };
        within(recent);
        // The newest earlier session comes first: the day of three pictures.
        QQuickItem* entry = findItem(recent, "recentRoot");
        QVERIFY(entry);
        QVERIFY2(entry->property("text").toString().startsWith(m_folder),
            qPrintable(entry->property("text").toString()));
        QVERIFY(clickItem(entry));
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 3, 20000);
    }

    void deleteSaysWhereThePicturesGo()
    {
        openWindow();
        showFolder();
        QObject* page = named<QObject>("pageMain");
        QObject* dialog = named<QObject>("deleteConfirmation");
        QVERIFY(page && dialog);
        auto* selection = m_gallery->selectionModel();
        selection->select(m_gallery->index(0, 0), QItemSelectionModel::Select);
        selection->select(m_gallery->index(1, 0), QItemSelectionModel::Select);
        QVERIFY(QMetaObject::invokeMethod(page, "confirmDelete"));
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Delete 2 pictures?"));
        QCOMPARE(findItem(dialog, "deleteText")->property("text").toString(),
            QStringLiteral(
                "2 pictures will be moved to the trash with their edits, where they can be restored."));
        QVERIFY(QMetaObject::invokeMethod(dialog, "reject"));
        QTRY_VERIFY(!dialog->property("visible").toBool());

        selection->clearSelection();
        selection->select(m_gallery->index(2, 0), QItemSelectionModel::Select);
        const QString doomed = m_gallery->urlAt(2).toLocalFile();
        QVERIFY(QMetaObject::invokeMethod(page, "confirmDelete"));
        QTRY_VERIFY(dialog->property("opened").toBool());
        QCOMPARE(dialog->property("title").toString(), QStringLiteral("Delete 1 picture?"));
        QCOMPARE(findItem(dialog, "deleteText")->property("text").toString(),
            QFileInfo(doomed).fileName()
                + QStringLiteral(" will be moved to the trash with its edits, where it can be restored."));
        QVERIFY(ostra::test::activateWindow(m_window));
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_VERIFY(!dialog->property("visible").toBool());
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(doomed), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 2, 20000);

        // A picture the disk will not let go of stays, and the user is told which.
        const QString kept = m_gallery->urlAt(0).toLocalFile();
        if (QProcess::execute("chattr", { "+i", kept }) != 0)
            QSKIP("cannot make a file immutable here");
        const auto release = qScopeGuard([&] { QProcess::execute("chattr", { "-i", kept }); });
        QQmlExpression lastNote(
            qmlContext(m_window), m_window, QStringLiteral("NotificationsManager.lastText"));
        selection->clearSelection();
        selection->select(m_gallery->index(0, 0), QItemSelectionModel::Select);
        QVERIFY(QMetaObject::invokeMethod(page, "deleteSelected"));
        QTRY_COMPARE_WITH_TIMEOUT(lastNote.evaluate().toString(),
            QStringLiteral("Can't delete ") + QFileInfo(kept).fileName(), 20000);
        QVERIFY(QFile::exists(kept));
        QCOMPARE(m_gallery->rowCount(), 2);
    }
};

OSTRA_TEST_MAIN(TestWindowMain)
#include "tst_windowmain.moc"
