#include "support/fakevolumes.h"
#include "support/testmain.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

#include "support/eventloopturns.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"

#include "capture/targetfolder.h"
#include "pipeline/interfaces/findvolumeforpath.h"
#include "platform/mountinfosource.h"

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

    void onAVolumeThatHangs()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(QDir::tempPath(), (QStringList { "askedReadsHoldNotTheWindow" }));
    }

    // What the user asks for, a fresh read of the folder and the folder made, is done on the
    // worker too: while the volume does not answer (its opens held) the loop turns and the
    // figures stay as they were; once it answers, the new figures are told, the free space
    // with what was written meanwhile.
    void askedReadsHoldNotTheWindow()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs in a mount namespace (onAVolumeThatHangs)");
        QTemporaryDir base(root + "/ostra-target-XXXXXX");
        const QString cam = base.filePath("CAM");
        QVERIFY(ostra::test::mountTmpfs("target", cam, "size=2m"));
        const auto unmount = qScopeGuard([cam] { ostra::test::shell(QString("umount '%1'").arg(cam)); });
        QVERIFY(QDir(cam).mkdir("import"));
        Volumes volumes(new MountInfoSource, new ostra::test::NoEjector);
        QVERIFY(ostra::test::waitReady(volumes));
        TargetFolder folder;
        QSignalSpy read(&folder, &TargetFolder::attributesRead);
        folder.setVolumes(&volumes);
        folder.setPath(cam + "/import");
        QTRY_VERIFY(folder.exists() && folder.freeSpace() > 0);
        QCOMPARE(folder.storage().rootPath(), cam);
        QVERIFY(folder.writable());
        const qint64 before = folder.freeSpace();
        QFile fill(cam + "/fill");
        QVERIFY(fill.open(QIODevice::WriteOnly));
        QVERIFY(fill.write(QByteArray(512 * 1024, 'x')) == 512 * 1024);
        fill.close();
        {
            ostra::test::HeldOpens held(cam);
            if (!held.isValid())
                QSKIP("holding opens needs root");
            ostra::test::RescueWatchdog watchdog([&held] { held.open(); });
            held.close();
            read.clear();
            folder.queryAttributes();
            QTRY_COMPARE(held.held(), 1);
            QVERIFY(ostra::test::eventLoopTurns());
            QVERIFY(read.isEmpty());
            QCOMPARE(folder.freeSpace(), before);
            held.open();
            QTRY_COMPARE(read.count(), 1);
            QVERIFY2(
                folder.freeSpace() <= before - 256 * 1024, qPrintable(QString::number(folder.freeSpace())));

            // A folder not there yet sits on the root volume until made.
            folder.setPath(cam + "/new/2026");
            QTRY_COMPARE(read.count(), 2);
            QVERIFY(!folder.exists());
            QCOMPARE(folder.storage().rootPath(), QStringLiteral("/"));
            held.close();
            folder.create();
            QTRY_VERIFY(held.held() >= 1);
            QVERIFY(ostra::test::eventLoopTurns());
            QCOMPARE(read.count(), 2);
            QVERIFY(!folder.exists());
            held.open();
            QTRY_COMPARE(read.count(), 3);
            QVERIFY(watchdog.end());
        }
        QVERIFY(folder.exists() && folder.writable());
        QCOMPARE(folder.storage().rootPath(), cam);
        QVERIFY(QFileInfo(cam + "/new/2026").isDir());
        // A folder that cannot be made (a file stands in the way) is told as not there.
        QVERIFY(fill.open(QIODevice::WriteOnly));
        fill.close();
        folder.setPath(cam + "/fill/sub");
        QTRY_COMPARE(read.count(), 4);
        folder.create();
        QTRY_COMPARE(read.count(), 5);
        QVERIFY(!folder.exists() && !folder.writable());
    }
};

OSTRA_TEST_MAIN_CORE(TestTargetFolder)
#include "tst_targetfolder.moc"
