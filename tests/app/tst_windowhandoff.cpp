#include "support/mainwindow.h"
#include "support/quickitems.h"
#include "support/testmain.h"

#include "app/automationclient.h"
#include "app/automationhost.h"
#include "app/rootcontext.h"
#include "app/typeregistration.h"
#include "core/appsettings.h"
#include "display/imageedititem.h"
#include "engine/imagelocator.h"
#include "library/activesession.h"
#include "library/session.h"
#include "library/sessionlogger.h"
#include "support/filetree.h"
#include "support/picturefiles.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

using ostra::test::PictureFiles;

Q_DECLARE_METATYPE(Qt::DropActions)

// The main window with what reaches it from outside: files of a second start, drops, and
// a file that is no picture.
class TestWindowHandOff : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_picture;
    QString m_notes;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    AutomationHost* m_host = nullptr;
    ActiveSession* m_gallery = nullptr;

    // Every text shown under an item.
    static QStringList texts(QQuickItem* root)
    {
        QStringList found;
        for (QQuickItem* child : root->childItems()) {
            const QVariant text = child->property("text");
            if (child->isVisible() && text.isValid() && !text.toString().isEmpty())
                found << text.toString();
            found += texts(child);
        }
        return found;
    }

private slots:
    void initTestCase()
    {
        ostra::registerMetaTypes();
        ostra::registerQmlTypes();
        m_picture = PictureFiles::write(m_dir.path(), "IMG_1.vrx", PictureFiles::small(7));
        m_notes = m_dir.path() + "/notes.vrx";
        QVERIFY(ostra::test::writeTreeFile(m_notes, "bread, milk\n"));
        m_settings = std::make_unique<AppSettings>();
        // A picture folder whose name a URL would cut at "#" or read "%" in.
        m_settings->setValue("ImageFileFolder", m_dir.path() + "/Trip #2 at 100%");
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_window = ostra::test::loadMainWindow(*m_engine, {}, ImageLocator::kGlBgra);
        QVERIFY(m_window && QTest::qWaitForWindowExposed(m_window));
        m_host = m_window->findChild<AutomationHost*>();
        m_gallery = m_window->findChild<ActiveSession*>();
        QVERIFY(m_host && m_gallery);
    }

    void cleanupTestCase() { m_engine.reset(); }

    // Files handed over while another window is active bring this window to the front.
    void handOverActivatesTheWindow()
    {
        QWindow other;
        other.resize(200, 200);
        other.show();
        QVERIFY(ostra::test::activateWindow(&other));
        QVERIFY(!m_window->isActive());
        m_host->execute(QStringList { m_dir.path() });
        QTRY_VERIFY(m_window->isActive());
    }

    // A second start without files brings the window to the front as well.
    void emptyHandOverActivatesTheWindow()
    {
        QWindow other;
        other.resize(200, 200);
        other.show();
        QVERIFY(ostra::test::activateWindow(&other));
        QVERIFY(!m_window->isActive());
        std::atomic<bool> delivered { false };
        const QString server = m_host->serverPath();
        std::thread second([&] {
            AutomationClient client(server);
            QStringList none;
            delivered = client.command(none);
        });
        QTRY_VERIFY(m_window->isActive());
        second.join();
        QVERIFY(delivered);
    }

    // Drops are taken as a copy (or a link), never as a move, and only with local files.
    void dropsAreCopiesOfLocalFiles_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<Qt::DropActions>("offered");
        QTest::addColumn<int>("taken");
        const QList<QUrl> local { QUrl::fromLocalFile(m_picture) };
        QTest::newRow("copy or move")
            << local << Qt::DropActions(Qt::CopyAction | Qt::MoveAction) << int(Qt::CopyAction);
        QTest::newRow("link") << local << Qt::DropActions(Qt::LinkAction) << int(Qt::LinkAction);
        QTest::newRow("move only") << local << Qt::DropActions(Qt::MoveAction) << int(Qt::IgnoreAction);
        QTest::newRow("text only") << QList<QUrl>() << Qt::DropActions(Qt::CopyAction | Qt::MoveAction)
                                   << int(Qt::IgnoreAction);
        QTest::newRow("remote") << QList<QUrl> { QUrl("https://example.org/IMG_2.vrx") }
                                << Qt::DropActions(Qt::CopyAction) << int(Qt::IgnoreAction);
    }
    void dropsAreCopiesOfLocalFiles()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(Qt::DropActions, offered);
        QFETCH(int, taken);
        QMimeData data;
        data.setText(QStringLiteral("plain words"));
        if (!urls.isEmpty())
            data.setUrls(urls);
        QObject* before = m_gallery->source();
        const QPoint middle(m_window->width() / 2, m_window->height() / 2);
        // Shift: the source proposes a move where it may.
        QDragEnterEvent enter(middle, offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        QCoreApplication::sendEvent(m_window, &enter);
        QCOMPARE(enter.isAccepted() && enter.dropAction() != Qt::IgnoreAction, taken != Qt::IgnoreAction);
        QDropEvent drop(middle, offered, &data, Qt::LeftButton, Qt::ShiftModifier);
        QCoreApplication::sendEvent(m_window, &drop);
        if (taken == Qt::IgnoreAction) {
            QVERIFY(!drop.isAccepted() || drop.dropAction() == Qt::IgnoreAction);
            QCOMPARE(m_gallery->source(), before);
        } else {
            QVERIFY(drop.isAccepted());
            QCOMPARE(int(drop.dropAction()), taken);
            QTRY_COMPARE(m_gallery->rowCount(), 1);
        }
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(m_window, &leave);
    }

    // A file that is no picture: its cell names it and says why, and it is not opened.
    void notAPictureSaysWhy()
    {
        m_host->execute(QStringList { m_notes, m_picture });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 2, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(
            texts(m_window->contentItem()).join('\n').contains(QRegularExpression("notes\\.vrx: \\S")),
            20000);
        QQuickItem* collection = m_window->findChild<QQuickItem*>("galleryCollection");
        QVERIFY(collection);
        const int row = m_gallery->urlAt(0) == QUrl::fromLocalFile(m_notes) ? 0 : 1;
        m_gallery->setCurrentIndex(m_gallery->index(row, 0));
        collection->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_Return);
        QTest::qWait(100);
        QCOMPARE(m_window->property("editorLocation").toString(), QString());
        QVERIFY(!QFile::exists(m_dir.path() + "/notes.vrxs"));
    }

    // Folders the window names by URL keep their "#" and "%": the export dialog starts in
    // the export folder itself.
    void oddFolderNamesSurviveUrls()
    {
        QObject* exportDialog = nullptr;
        for (QObject* child : m_window->findChildren<QObject*>())
            if (QString::fromLatin1(child->metaObject()->className()).startsWith("DialogExport")
                && child->property("folder").isValid() && !child->property("folder").toUrl().isEmpty())
                exportDialog = child;
        QVERIFY(exportDialog);
        const QUrl folder = exportDialog->property("folder").toUrl();
        QCOMPARE(folder.toLocalFile(), m_settings->defaultExport());
        QVERIFY(folder.toLocalFile().contains("/Trip #2 at 100%/"));
    }

    // A hand-off of more files than one slice holds is one session with every file, and
    // the session shown before it stays in the history.
    void longHandOffIsOneSession()
    {
        const QString folder = m_dir.path() + "/a large folder";
        QVERIFY(QDir().mkpath(folder));
        QStringList files;
        for (int i = 0; i < 300; ++i) {
            files << folder + QStringLiteral("/IMG_%1.vrx").arg(i, 3, 10, QLatin1Char('0'));
            QVERIFY(QFile::copy(m_picture, files.last()));
        }
        auto* history = m_window->findChild<SessionLogger*>();
        QVERIFY(history);
        m_host->execute(QStringList { m_picture, m_notes });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 2, 20000);
        const int before = history->activeId();

        m_host->execute(files);
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 300, 60000);
        QVERIFY(history->activeId() != before);
        Session* active = history->session(history->activeId());
        QVERIFY(active);
        QCOMPARE(active->rowCount(), 1); // the folder, with its 300 files
        // The one session before is next in the history; no slice made a session of its own.
        QCOMPARE(history->sessions().value(0), before);
        QCOMPARE(m_window->property("editorLocation").toString(), QString());
    }

    // What the window is handed (a start's or a second start's command line, a drop) goes
    // to its gallery: by default each batch replaces the last one; a single file is opened
    // too; with several sessions allowed, a drop adds to what is shown. (Last: it changes
    // the settings.)
    void handedFilesReplaceOrAdd()
    {
        const QString folder = m_dir.path() + "/shots of a day";
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(m_dir.path() + "/elsewhere"));
        for (int i = 0; i < 3; ++i) {
            vrxgen::PictureOptions o = PictureFiles::small(std::uint32_t(30 + i));
            o.captureTime = 1600000000 + i * 60;
            QVERIFY(!PictureFiles::write(folder, QStringLiteral("IMG_%1.vrx").arg(i), o).isEmpty());
        }
        vrxgen::PictureOptions early = PictureFiles::small(90);
        early.captureTime = 1500000000;
        const QString other = PictureFiles::write(m_dir.path() + "/elsewhere", "alone.vrx", early);
        QVERIFY(!other.isEmpty());
        auto* history = m_window->findChild<SessionLogger*>();
        QVERIFY(history);

        m_host->execute(QStringList { folder });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 3, 20000);
        QCOMPARE(m_window->property("editorLocation").toString(), QString());

        // One file: it alone is listed, and opened on the canvas with the image service.
        m_host->execute(QStringList { other });
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 1, 20000);
        QCOMPARE(m_gallery->urlAt(0), QUrl::fromLocalFile(other));
        // The folder's session is the most recent one now.
        Session* last = history->session(history->sessions().value(0));
        QVERIFY(last && last->rowCount() == 1);
        QCOMPARE(last->data(last->index(0), Session::FolderRole).toUrl(), QUrl::fromLocalFile(folder));
        QCOMPARE(QUrl(m_window->property("editorLocation").toString()), QUrl::fromLocalFile(other));
        auto* canvas = m_window->findChild<ImageEditItem*>();
        QVERIFY(canvas);
        QCOMPARE(QUrl(canvas->location()), QUrl::fromLocalFile(other));
        QVERIFY(qobject_cast<ImageLocator*>(canvas->locator()));
        m_window->setProperty("editorLocation", QString());

        m_settings->setCloseOnNewFiles(false);
        QMimeData data;
        data.setUrls({ QUrl::fromLocalFile(folder) });
        const QPoint middle(m_window->width() / 2, m_window->height() / 2);
        QDragEnterEvent enter(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window, &enter);
        QDropEvent drop(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_window, &drop);
        QVERIFY(drop.isAccepted());
        QTRY_COMPARE_WITH_TIMEOUT(m_gallery->rowCount(), 4, 20000);
        QCOMPARE(m_gallery->urlAt(0), QUrl::fromLocalFile(other)); // the oldest capture first
        auto* tab = m_window->findChild<QQuickItem*>("galleryTab");
        QVERIFY(tab);
        QTRY_VERIFY2(
            tab->property("text").toString().endsWith("(4)"), qPrintable(tab->property("text").toString()));
    }
};

OSTRA_TEST_MAIN(TestWindowHandOff)
#include "tst_windowhandoff.moc"
