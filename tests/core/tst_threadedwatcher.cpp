#include "support/eventloopturns.h"
#include "support/filetree.h"
#include "support/heldmount.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

#include "core/threadedwatcher.h"

namespace {

constexpr int kWaitMs = 15000;

} // namespace

class TestThreadedWatcher : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    // A watch asked for on a mount that hangs: the path is resolved off the GUI thread,
    // which turns meanwhile, and counts as watched until the answer. Removed or asked for
    // again meanwhile, only the newest ask is answered; a watcher that goes does not wait.
    void heldWatchLeavesTheLoopTurning_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("answered") << 0;
        QTest::newRow("refused") << 1;
        QTest::newRow("removed meanwhile") << 2;
        QTest::newRow("removed and asked again meanwhile") << 3;
        QTest::newRow("watcher deleted meanwhile") << 4;
    }

    void heldWatchLeavesTheLoopTurning()
    {
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(m_dir.filePath("ns"));
        QFETCH(int, how);
        const QString ns = ostra::test::mountNamespaceFolder();
        QVERIFY(QDir().mkpath(ns + "/disk/dir"));
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QString dir = ns + (how == 1 ? "/mnt/missing" : "/mnt/dir");
        auto watcher = std::make_unique<ThreadedWatcher>();
        QSignalSpy added(watcher.get(), &ThreadedWatcher::added);
        QSignalSpy changed(watcher.get(), &ThreadedWatcher::directoryChanged);

        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        QVERIFY(watcher->addPath(dir));
        QVERIFY(!watcher->addPath(dir)); // asked for already
        QTRY_VERIFY_WITH_TIMEOUT(drive.held() > 0, kWaitMs);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(watcher->watches(dir));
        QCOMPARE(added.count(), 0);
        if (how == 2 || how == 3)
            watcher->removePath(dir);
        if (how == 3)
            QVERIFY(watcher->addPath(dir));
        if (how == 4) {
            QPointer<ThreadedWatcher> gone(watcher.get());
            watcher.reset();
            QVERIFY(gone.isNull());
            QVERIFY(ostra::test::eventLoopTurns());
        }
        QVERIFY(watchdog.end());
        drive.open();
        if (!watcher) {
            QTRY_VERIFY_WITH_TIMEOUT(drive.held() == 0, kWaitMs);
            QVERIFY(ostra::test::eventLoopTurns());
            return;
        }
        if (how == 2) {
            // Nothing to wait for but the removal: a file made then is not told.
            QVERIFY(ostra::test::writeTreeFile(dir + "/a"));
            QVERIFY(ostra::test::eventLoopTurns(20));
            QCOMPARE(added.count(), 0);
            QCOMPARE(changed.count(), 0);
            QVERIFY(!watcher->watches(dir));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(added.count(), 1, kWaitMs);
        QCOMPARE(added.at(0).at(0).toString(), dir);
        QCOMPARE(added.at(0).at(1).toBool(), how != 1);
        QCOMPARE(watcher->watches(dir), how != 1);
        QCOMPARE(watcher->paths(), how == 1 ? QStringList() : QStringList { dir });
        // (A mount that caches nothing gives a folder watched anew an inode of its own,
        // which the changes made through it then miss.)
        if (how != 0)
            return;
        QVERIFY(ostra::test::writeTreeFile(dir + "/a"));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > 0, kWaitMs);
        QCOMPARE(changed.at(0).at(0).toString(), dir);
        QCOMPARE(added.count(), 1);
    }

    // A folder removed: the system drops its watch, and the change that tells of it leaves
    // the path no longer watched, so that its owner can watch it again once it is back. A
    // file watched is told of its changes the same way.
    void aDroppedWatchIsNoLongerCounted()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("f"), file = dir.filePath("file");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(ostra::test::writeTreeFile(file, "1"));
        ThreadedWatcher watcher;
        QSignalSpy added(&watcher, &ThreadedWatcher::added);
        QSignalSpy changed(&watcher, &ThreadedWatcher::directoryChanged);
        QSignalSpy fileChanged(&watcher, &ThreadedWatcher::fileChanged);
        QVERIFY(watcher.addPath(folder));
        QVERIFY(watcher.addPath(file));
        QTRY_COMPARE(added.count(), 2);
        QVERIFY(ostra::test::writeTreeFile(file, "22"));
        QTRY_VERIFY(fileChanged.count() > 0);
        QVERIFY(watcher.watches(file));

        QVERIFY(QDir(folder).removeRecursively());
        QTRY_VERIFY(changed.count() > 0);
        QCOMPARE(changed.at(0).at(0).toString(), folder);
        QTRY_VERIFY(!watcher.watches(folder));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(watcher.addPath(folder));
        QTRY_COMPARE(added.count(), 3);
        QVERIFY(added.at(2).at(1).toBool());
        changed.clear();
        QVERIFY(ostra::test::writeTreeFile(folder + "/b"));
        QTRY_VERIFY(changed.count() > 0);
        QVERIFY(watcher.watches(file));
    }
};

OSTRA_TEST_MAIN_CORE(TestThreadedWatcher)
#include "tst_threadedwatcher.moc"
