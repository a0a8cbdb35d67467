#include "support/eventloopturns.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTimer>

#include <atomic>
#include <memory>

#include "pipeline/pipelinemodel.h"
#include "routerfixture.h"

using namespace routertest;

// Problems of the destination turned into tickets, and the user's answers to them.
class TestRouterFaults : public QObject
{
    Q_OBJECT
private slots:
    void fileWhereTheFolderShouldBe()
    {
        Fixture f;
        QVERIFY(writeTreeFile(f.path("import"), "not a folder"));
        QVERIFY(f.put(1, "import/a.vrx", recipe("a.vrx", 10)));
        QVERIFY(f.put(1, "import/b.vrx", recipe("b.vrx", 10)));
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("DirLost"));
        f.settle();
        QCOMPARE(f.source.fetches.size(), 0);
        QVERIFY(f.router->model()->index(1, 0).data(PipelineModel::ErrFlags).toInt() & IFileSink::DirLost);
        // "Create folder now": the way is cleared, the parent made, the session revived.
        QVERIFY(QFile::remove(f.path("import")));
        f.router->tickets()->mkdirs();
        const TrafficTicket ticket = f.router->tickets()->resolve(false, false);
        QCOMPARE(ticket.scope, int(IFileSink::FolderScope));
        QCOMPARE(f.router->tickets()->count(), 0);
        f.router->revive(ticket);
        QTRY_COMPARE(f.source.fetches.size(), 1);
        QVERIFY(QFileInfo(f.path("import")).isDir());
    }

    // A destination whose file system hangs (a network share gone away) holds the
    // scheduler's questions about it on their worker, never the window: events keep
    // turning, and the file moves once the answers come.
    void hangingDestinationHoldsNotTheWindow()
    {
        Fixture f;
        auto gate = std::make_shared<QSemaphore>();
        auto held = std::make_shared<std::atomic<bool>>(false);
        const QString share = f.path("share");
        f.router->setProbeHook([gate, held, share](const QString& path) {
            if (path.startsWith(share)) {
                *held = true;
                gate->acquire();
            }
        });
        ostra::test::RescueWatchdog watchdog([gate] { gate->release(1000); });
        QVERIFY(f.put(1, "share/a.vrx", recipe("a.vrx", 10)));
        QTRY_VERIFY(*held);
        QVERIFY(ostra::test::eventLoopTurns());
        // Touched again while the answers wait: one pass follows them.
        f.router->touch();
        QVERIFY(f.router->passPending());
        QCOMPARE(f.source.fetches.size(), 0);
        gate->release(1000);
        QTRY_COMPARE(f.source.fetches.size(), 1);
        QCOMPARE(f.source.fetches.at(0).url, f.url("share/a.vrx"));
        f.settle();
        QVERIFY(watchdog.end());
    }

    // The checks of a copy (at its completion, at its verification, before its picture is
    // deleted at the source) read the destination on the pass's worker: a destination that
    // hangs holds them, never the window. What comes while they are held decides: the
    // picture is deleted at the source only when its copy is still there once checked and
    // its import still wants it deleted.
    void copyCheckedOffTheWindow_data()
    {
        QTest::addColumn<QString>("story");
        QTest::addColumn<QString>("meanwhile");
        // A preview is checked by the source's own test as it completes; a raw picture once
        // the image service has verified it; a picture verified before its import was asked
        // to free it is checked once it is.
        for (const char* story : { "jpg", "vrx", "vrx freed later" }) {
            for (const char* meanwhile : { "nothing", "dismissed", "removed" })
                QTest::newRow(qPrintable(QString("%1, %2").arg(story, meanwhile))) << story << meanwhile;
        }
    }

    void copyCheckedOffTheWindow()
    {
        QFETCH(QString, story);
        QFETCH(QString, meanwhile);
        const QString type = story.left(3);
        Fixture f;
        QVERIFY(QDir().mkpath(f.path("one")));
        ostra::test::HeldOpens held(f.path("one"));
        if (!held.isValid())
            QSKIP("holding opens needs root");
        ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
        QStandardItemModel items(1, 1);
        const Recipe r = recipe("a." + type, 10, type);
        IHarvest* image = f.router->claimIndex("transfer", "cam1", r.imageUuid, items.index(0, 0));
        QVERIFY(f.put(1, "one/a." + type, r));
        // A file still to come: the import is under way while the check is held.
        QVERIFY(f.put(1, "one/0.jpg", recipe("0.jpg", 10, "jpg")));
        const bool freedLater = story == "vrx freed later";
        if (!freedLater)
            f.router->setFree(session(1));
        QTRY_COMPARE(f.source.fetches.size(), 1);
        QCOMPARE(f.source.fetches.at(0).url, f.url("one/a." + type));
        if (type == "vrx") {
            QSignalSpy validations(f.router.get(), &IFileSink::needValidate);
            f.source.deliver(0);
            QTRY_COMPARE(validations.count(), 1);
            f.settle();
            if (freedLater) {
                f.router->onVerified(f.url("one/a.vrx"), r.imageUuid);
                f.settle();
                QVERIFY(!image->removable());
            }
            held.close();
            if (freedLater)
                f.router->setFree(session(1));
            else
                f.router->onVerified(f.url("one/a.vrx"), r.imageUuid);
        } else {
            // Written while the way is open; its completion reported once it is held.
            QVERIFY(writeTreeFile(f.path("one/a.jpg"), QByteArray(10, 'x')));
            held.close();
            f.source.sink->onComplete(f.url("one/a.jpg"), r);
        }
        QTRY_COMPARE(held.held(), 1);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(f.router->checksPending());
        QVERIFY(f.source.freed.isEmpty());
        if (meanwhile == "dismissed")
            f.router->dismiss(session(1));
        if (meanwhile == "removed") {
            QVERIFY(QFile::remove(f.path("one/a." + type)));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("gone"));
        }
        held.open();
        f.settle();
        QVERIFY(watchdog.end());
        QVERIFY(!f.router->checksPending());
        if (meanwhile == "nothing") {
            QCOMPARE(f.source.freed, QList<QUuid> { r.imageUuid });
            return;
        }
        QCOMPARE(f.source.freed, QList<QUuid>());
        QVERIFY(!image->removable());
        // Nothing that comes later deletes it either.
        f.router->onVerified(f.url("one/a." + type), r.imageUuid);
        f.settle();
        QCOMPARE(f.source.freed, QList<QUuid>());
    }

    // A target that no mounted volume holds is a drive gone: a ticket says so, and the
    // scheduler rests until something changes.
    void targetOnNoMountedVolume()
    {
        Fixture f;
        f.router->setMounted({ QStorageInfo(QStringLiteral("/proc")) });
        QVERIFY(f.put(1, "one/a.vrx", recipe("a.vrx", 10)));
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("NoDrive"));
        f.settle();
        QVERIFY(!f.router->passPending());
        QCOMPARE(f.source.fetches.size(), 0);
    }

    // A copy that fails for a reason no ticket can help with is not tried again and
    // again: the file comes from its source instead.
    void failedCopyFallsBackToTheSource()
    {
        Fixture f;
        const QString name = QString(248, QLatin1Char('n')) + ".vrx";
        const Recipe r = recipe(name, 4096);
        f.imported(1, "one/" + name, r);
        QVERIFY(f.put(2, "two/" + name, r));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        QCOMPARE(f.source.fetches.at(1).url, f.url("two/" + name));
        QCOMPARE(f.router->tickets()->count(), 0);
        QVERIFY(QDir(f.path("two")).entryList(QDir::Files).isEmpty());
    }

    // "Try again" on a device ticket moves every transfer that the channel's block held,
    // whatever set the answer is given for.
    void tryAgainMovesHeldTransfers_data()
    {
        QTest::addColumn<bool>("sameSet");
        QTest::addColumn<bool>("allSets");
        QTest::newRow("this ticket") << false << false;
        QTest::newRow("the current session") << true << false;
        QTest::newRow("all files") << false << true;
    }

    void tryAgainMovesHeldTransfers()
    {
        QFETCH(bool, sameSet);
        QFETCH(bool, allSets);
        Fixture f;
        f.source.cap = 2;
        for (const char* name : { "a.vrx", "b.vrx", "c.vrx" })
            QVERIFY(f.put(1, QStringLiteral("one/") + name, recipe(name, 10)));
        QTRY_COMPARE(f.source.fetches.size(), 2);
        const QUrl failed = f.source.fetches.at(0).url;
        f.router->onObstacle(failed, f.source.fetches.at(0).recipe, IFileSink::IOError);
        f.source.deliver(1);
        f.settle();
        QCOMPARE(f.router->tickets()->count(), 1);
        QCOMPARE(f.router->tickets()->errorType(), QStringLiteral("IOError"));
        QCOMPARE(f.source.fetches.size(), 2);
        f.router->revive(f.router->tickets()->resolve(sameSet, allSets));
        QTRY_COMPARE(f.source.fetches.size(), 4);
        f.source.deliver(2);
        f.source.deliver(3);
        f.settle();
        QVERIFY(!f.router->hasRequests());
        QCOMPARE(f.router->tickets()->count(), 0);
    }

    // A file in the way moved off by the user: the session's "retry" (or the answer to the
    // file's own ticket) moves its held file again, and its error flag goes.
    void heldFileMovesOnceTheWayIsClear_data()
    {
        QTest::addColumn<bool>("wholeSession");
        QTest::newRow("retry of the session") << true;
        QTest::newRow("retry of the file") << false;
    }

    void heldFileMovesOnceTheWayIsClear()
    {
        QFETCH(bool, wholeSession);
        Fixture f;
        QVERIFY(writeTreeFile(f.path("one/a.vrx"), "someone else's"));
        QVERIFY(f.put(1, "one/a.vrx", recipe("a.vrx", 10)));
        QVERIFY(f.put(1, "one/b.vrx", recipe("b.vrx", 10)));
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("Present"));
        QTRY_COMPARE(f.source.fetches.size(), 1);
        f.source.deliver(0);
        f.settle();
        QVERIFY(f.router->model()->index(1, 0).data(PipelineModel::ErrFlags).toInt() & IFileSink::Present);
        QVERIFY(QFile::remove(f.path("one/a.vrx")));
        f.router->tickets()->resolve();
        if (wholeSession)
            f.router->setLive(session(1), true);
        else
            f.router->revive(f.url("one/a.vrx"));
        QCOMPARE(f.router->model()->index(1, 0).data(PipelineModel::ErrFlags).toInt(), 0);
        QTRY_COMPARE(f.source.fetches.size(), 2);
        QCOMPARE(f.source.fetches.at(1).url, f.url("one/a.vrx"));
    }

    // In a private mount namespace over a small tmpfs (see realDisk).
    void tmpfsChild()
    {
        const QString base = ostra::test::mountNamespaceFolder();
        if (base.isEmpty())
            QSKIP("runs in a mount namespace (realDisk)");
        const QString mounted = base + "/tiny";
        QVERIFY(ostra::test::mountTmpfs("ostra-tiny", mounted, "size=256k"));
        Fixture f; // made after the mount, so it knows the volume
        FilePerm perm;
        f.router->setFilePerm(&perm);
        const Recipe r = recipe("a.vrx", 100 * 1024);
        f.imported(1, "one/a.vrx", r);
        const QString source = f.path("one/a.vrx");

        // The disk fills up after the check, while the copy waits for its source.
        FileToken held = perm.acquireFileSemaphore(source, FilePerm::kExclusive);
        QVERIFY(f.router->putRecipe(session(2), QUrl::fromLocalFile(mounted + "/a.vrx"), r, Arbiter()));
        QTRY_COMPARE(f.router->inFlightCount(), 1);
        QVERIFY(writeTreeFile(mounted + "/filler", QByteArray(200 * 1024, 'f')));
        held.reset();
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("NoSpace"));
        f.settle();
        QCOMPARE(f.router->inFlightCount(), 0);
        QCOMPARE(f.source.fetches.size(), 1); // not fetched, not copied again
        QVERIFY(!QFileInfo::exists(mounted + "/a.vrx"));
        QCOMPARE(QDir(mounted).entryList(QDir::Files | QDir::Hidden), QStringList { "filler" });

        // "Retry" once there is room again.
        QVERIFY(QFile::remove(mounted + "/filler"));
        f.router->revive(f.router->tickets()->resolve());
        QTRY_COMPARE(readFile(mounted + "/a.vrx"), readFile(source));
        QCOMPARE(f.source.fetches.size(), 1);

        // Turned read-only while the next copy waits (for either of its two sources).
        held = perm.acquireFileSemaphore(source, FilePerm::kExclusive);
        FileToken other = perm.acquireFileSemaphore(mounted + "/a.vrx", FilePerm::kExclusive);
        QVERIFY(f.router->putRecipe(session(3), QUrl::fromLocalFile(mounted + "/b.vrx"), r, Arbiter()));
        QTRY_COMPARE(f.router->inFlightCount(), 1);
        QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,ro '%1'").arg(mounted)));
        held.reset();
        other.reset();
        QTRY_COMPARE(f.router->tickets()->errorType(), QStringLiteral("NoWrite"));
        f.settle();
        QCOMPARE(f.router->inFlightCount(), 0);
        // A read-only volume found by the next check is named as such, not as a lost drive;
        // writable again, the import goes on.
        f.router->revive(f.router->tickets()->resolve());
        QTRY_COMPARE(f.router->tickets()->count(), 1);
        QCOMPARE(f.router->tickets()->errorType(), QStringLiteral("NoWrite"));
        QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,rw '%1'").arg(mounted)));
        f.router->revive(f.router->tickets()->resolve());
        QTRY_COMPARE(readFile(mounted + "/b.vrx"), readFile(source));
    }

    void realDisk()
    {
        QTemporaryDir dir;
        OSTRA_RUN_IN_MOUNT_NAMESPACE(dir.path(), QStringList { "tmpfsChild" });
        QVERIFY(!QFileInfo::exists(dir.filePath("tiny/a.vrx")));
    }
};

OSTRA_TEST_MAIN(TestRouterFaults)
#include "tst_routerfaults.moc"
