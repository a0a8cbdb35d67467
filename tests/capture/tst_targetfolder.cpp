#include "support/fakevolumes.h"
#include "support/testmain.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

#include "support/rescuewatchdog.h"

#include "capture/targetfolder.h"
#include "pipeline/interfaces/findvolumeforpath.h"

class TestTargetFolder : public QObject
{
    Q_OBJECT
private slots:
    void rootsMatchAtFolderBoundaries_data()
    {
        QTest::addColumn<QStringList>("roots");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("found");
        QTest::newRow("sibling prefix") << QStringList { "/media/u/CAM" } << "/media/u/CAM2/x" << -1;
        QTest::newRow("the root itself")
            << QStringList { "/media/u/CAM", "/media/u/CAM2" } << "/media/u/CAM" << 0;
        QTest::newRow("longest wins")
            << QStringList { "/", "/media/u/CAM", "/media" } << "/media/u/CAM/DCIM" << 1;
        QTest::newRow("system root") << QStringList { "/media/u/CAM", "/" } << "/home/u/Pictures" << 1;
        QTest::newRow("root with slash") << QStringList { "/media/u/CAM/" } << "/media/u/CAM/x" << 0;
        QTest::newRow("none") << QStringList { "/media/u/CAM", "" } << "/home/u" << -1;
    }

    void rootsMatchAtFolderBoundaries()
    {
        QFETCH(QStringList, roots);
        QFETCH(QString, path);
        QFETCH(int, found);
        QCOMPARE(findRootForPath(roots, path), found);
    }

    // The folder's volume is looked up among the volumes read off the GUI thread: while
    // their first read hangs, the folder sits on the root volume and the loop turns; once the
    // read is in, it moves to the volume that holds it (the longest root).
    void placedAmongTheReadVolumes()
    {
        const QString shmRoot = QStringLiteral("/dev/shm");
        const QStorageInfo shm(shmRoot);
        if (shm.rootPath() != shmRoot || !QFileInfo(shmRoot).isWritable())
            QSKIP("no writable volume mounted at /dev/shm");
        QTemporaryDir dir(shmRoot + "/ostra-target-XXXXXX");
        QVERIFY(dir.isValid());
        auto* source = new ostra::test::HeldMountSource(true);
        const auto gate = source->gate;
        const auto letGo = qScopeGuard([gate] { gate->setClosed(false); });
        source->list << QStorageInfo(QStringLiteral("/")) << shm;
        Volumes volumes(source, new ostra::test::NoEjector);
        TargetFolder folder;
        folder.setVolumes(&volumes);
        folder.setPath(dir.path());
        QTRY_COMPARE(gate->waiting(), 1);
        int turned = 0;
        QMetaObject::invokeMethod(
            &folder, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QTRY_COMPARE(folder.storage().rootPath(), QStringLiteral("/"));
        QSignalSpy attributes(&folder, &TargetFolder::attribChanged);
        QSignalSpy space(&folder, &TargetFolder::freeSpaceChanged);
        gate->setClosed(false);
        QVERIFY(ostra::test::waitReady(volumes));
        QTRY_COMPARE(folder.storage().rootPath(), shmRoot);
        QVERIFY(!attributes.isEmpty());
        QVERIFY(folder.exists());
        // The figure of the new volume is read off the loop and told.
        QTRY_VERIFY(!space.isEmpty());
        QVERIFY(folder.freeSpace() > 0);

        // The volume goes from the list: the folder falls back to the root volume.
        source->list = { QStorageInfo(QStringLiteral("/")) };
        QVERIFY(ostra::test::announceChange(*source, volumes));
        QTRY_COMPARE(folder.storage().rootPath(), QStringLiteral("/"));
        // Without volumes, the root volume as well.
        TargetFolder bare;
        bare.setPath(dir.path());
        QTRY_COMPARE(bare.storage().rootPath(), QStringLiteral("/"));
    }

    // The folder and its free space are read on a worker: a volume that hangs (a network
    // share gone away) holds the read, never the loop. Transfers that progress meanwhile
    // ask for one more read of the free space, after the held one.
    void readOffTheLoop()
    {
        QTemporaryDir dir;
        TargetFolder folder;
        auto gate = std::make_shared<QSemaphore>();
        auto reads = std::make_shared<std::atomic<int>>(0);
        folder.setReadHook([gate, reads](const QString&) {
            ++*reads;
            gate->acquire();
        });
        ostra::test::RescueWatchdog watchdog([gate] { gate->release(1000); });
        folder.setPath(dir.path());
        QTRY_COMPARE(reads->load(), 1);
        ProgressModel progress;
        folder.setProjected(&progress);
        progress.setPartialProgress(ProgressRatio(0, 100), QVariant("a"));
        progress.setPartialProgress(ProgressRatio(50, 100), QVariant("a"));
        int turned = 0;
        QMetaObject::invokeMethod(
            &folder, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QCOMPARE(folder.freeSpace(), -1);
        QVERIFY(!folder.exists());
        QSignalSpy space(&folder, &TargetFolder::freeSpaceChanged);
        gate->release(1000);
        QTRY_VERIFY(folder.freeSpace() > 0);
        QVERIFY(folder.exists() && folder.writable());
        QTRY_COMPARE(reads->load(), 2);
        QVERIFY(!space.isEmpty());
        QVERIFY(watchdog.end());
    }
};

OSTRA_TEST_MAIN_CORE(TestTargetFolder)
#include "tst_targetfolder.moc"
