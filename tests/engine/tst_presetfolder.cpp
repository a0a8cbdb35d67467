// The tuning-preset folder: presets written, renamed, overwritten and removed, with the
// folder changed behind the application's back.
#include "support/testmain.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fstream>
#include <new>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "support/eventloopturns.h"
#include "support/filesizelimit.h"
#include "support/forkedchild.h"
#include "support/heldmount.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/presetfiles.h"
#include "support/rescuewatchdog.h"

namespace {

using ostra::test::presetsOnDisk;

QStringList names(const PresetFolder& folder)
{
    QStringList list;
    for (ImageProperties* p : folder.presetList())
        list << p->name();
    return list;
}

} // namespace

class TestPresetFolder : public QObject
{
    Q_OBJECT

private slots:
    void createRenameOverwriteRemove()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        PresetFolder presets(folder);
        ImageProperties edited;
        edited.setName("warm");
        edited.tuneToneEntry("temp")->setCurrentValue(6500);
        edited.markTuneTonePatch(edited.tuneToneEntry("temp").get(), true);
        presets.createPreset(&edited);
        ImageProperties* warm = presets.presetList().value(0);
        QCOMPARE(warm->tuneToneEntry("temp")->currentValue().toDouble(), 6500.0);
        presets.renamePreset(warm, "sunset");
        edited.setName("cold");
        presets.createPreset(&edited);
        ImageProperties* cold = presets.presetList().value(0);
        // Overwriting a preset by itself is a rename and keeps it.
        presets.overwritePreset(cold, cold, "frost");
        QCOMPARE(names(presets), (QStringList { "frost", "sunset" }));
        presets.overwritePreset(warm, cold, "sunset");
        QCOMPARE(presetsOnDisk(folder), QStringList { cold->fileName() + ": sunset" });

        // An object that is no preset of the folder deletes nothing, whatever its file name.
        ImageProperties stranger;
        stranger.setFileName(cold->fileName());
        presets.removePreset(&stranger);
        presets.removePreset(cold);
        QVERIFY(presets.presetList().isEmpty() && presetsOnDisk(folder).isEmpty());
    }

    // Presets made in quick succession (within one second) are listed newest first.
    void madeInQuickSuccession()
    {
        QTemporaryDir dir;
        PresetFolder presets(dir.filePath("Presets"));
        ImageProperties edited;
        for (int i = 0; i < 40; ++i) {
            edited.setName(QString::number(i));
            presets.createPreset(&edited);
            QCOMPARE(presets.presetList().value(0)->name(), QString::number(i));
        }
    }

    void folderChangedBehindTheBack()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        PresetFolder presets(folder);
        ImageProperties edited;
        edited.setName("mine");
        presets.createPreset(&edited);
        const QString mine = presets.presetList().value(0)->fileName();

        // Deleted by hand, or cut short: written again from the list.
        QVERIFY(QFile::remove(folder + "/" + mine));
        presets.rescan();
        QTRY_VERIFY(!presets.isScanning());
        QCOMPARE(presetsOnDisk(folder), QStringList { mine + ": mine" });
        QVERIFY(QFile::resize(folder + "/" + mine, 9));
        presets.rescan();
        QTRY_VERIFY(!presets.isScanning());
        QCOMPARE(presetsOnDisk(folder), QStringList { mine + ": mine" });

        // A cut-short stranger is not listed and blocks nothing; good files copied in take
        // their place by creation time, the watcher telling.
        QVERIFY(ostra::test::dropPreset(folder + "/broken.qpf", "broken", 0, 20));
        QVERIFY(ostra::test::dropPreset(folder + "/old.qpf", "old", 978307200));
        QVERIFY(ostra::test::dropPreset(folder + "/future.qpf", "future", 4102444800));
        QTRY_COMPARE(names(presets), (QStringList { "future", "mine", "old" }));
        QTRY_VERIFY(!presets.isScanning());
        QSignalSpy changes(&presets, &IPresetKeeper::presetsChanged);
        presets.rescan();
        QTRY_VERIFY(!presets.isScanning());
        QCOMPARE(changes.size(), 0);
        presets.renamePreset(presets.presetList().value(2), "older");
        QCOMPARE(presetsOnDisk(folder),
            (QStringList { "broken.qpf: ?", "future.qpf: future", "old.qpf: older", mine + ": mine" }));

        // The folder removed: made again, the list starts empty and fills from what appears.
        QVERIFY(QDir(folder).removeRecursively());
        presets.rescan();
        QTRY_VERIFY(!presets.isScanning());
        QVERIFY(QFileInfo(folder).isDir() && presets.presetList().isEmpty());
        QVERIFY(ostra::test::dropPreset(folder + "/back.qpf", "back", 978307200));
        QTRY_COMPARE(names(presets), QStringList { "back" });
    }

    // The folder is listed and read off the GUI thread (a home folder may be on a network
    // drive that hangs): while it hangs, the event loop turns and the list stays as it was;
    // once it answers, what appeared is listed. A folder that goes while a scan hangs does
    // not wait for it.
    void hungFolderLeavesTheLoopTurning()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(ostra::test::dropPreset(folder + "/a.qpf", "a", 978307200));
        ostra::test::HeldOpens drive(folder);
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        {
            PresetFolder presets(folder);
            QTRY_VERIFY(!presets.isScanning());
            QCOMPARE(names(presets), QStringList { "a" });
            drive.close();
            // Lets the drive go should the GUI thread wait for it, so that the test fails
            // instead of hanging.
            ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
            // Moved in whole (a rename opens nothing), then looked for.
            QVERIFY(ostra::test::dropPreset(dir.filePath("b.part"), "b", 4102444800));
            QVERIFY(QFile::rename(dir.filePath("b.part"), folder + "/b.qpf"));
            presets.rescan();
            QTRY_VERIFY(drive.held() > 0);
            int turned = 0;
            QMetaObject::invokeMethod(
                this, [&] { ++turned; }, Qt::QueuedConnection);
            QTRY_COMPARE(turned, 1);
            QVERIFY(presets.isScanning());
            QCOMPARE(names(presets), QStringList { "a" });
            drive.open();
            QTRY_COMPARE(names(presets), (QStringList { "b", "a" }));
            QVERIFY(watchdog.end());

            drive.close();
            presets.rescan();
            QTRY_VERIFY(drive.held() > 0);
        }
        drive.open();
    }

    // A preset made and removed while a scan runs: the scan read its file as one no preset
    // stands for, but the preset stays removed, in the list and on disk.
    void removedWhileAScanReadsIt()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        QVERIFY(QDir().mkpath(folder));
        ostra::test::HeldOpens drive(folder);
        if (!drive.isValid())
            QSKIP("needs root to hold a folder's opens");
        PresetFolder presets(folder);
        QTRY_VERIFY(!presets.isScanning());
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        // The scan waits to list the folder; meanwhile the preset is made (its file is
        // written through a temporary file, which is not held).
        drive.setFilter([folder](const QString& path) { return path == folder; });
        drive.close();
        presets.rescan();
        QTRY_VERIFY(drive.held() > 0);
        ImageProperties edited;
        edited.setName("brief");
        presets.createPreset(&edited);
        QCOMPARE(names(presets), QStringList { "brief" });
        // The scan lists the folder and waits to read the preset's file; it is removed then.
        drive.setFilter([](const QString& path) { return path.endsWith(".qpf"); });
        drive.passHeld();
        QTRY_VERIFY(drive.held() > 0);
        presets.removePreset(presets.presetList().value(0));
        QVERIFY(presets.presetList().isEmpty());
        drive.open();
        QVERIFY(watchdog.end());
        QTRY_VERIFY(!presets.isScanning());
        presets.rescan();
        QTRY_VERIFY(!presets.isScanning());
        QCOMPARE(names(presets), QStringList());
        QCOMPARE(ostra::test::presetsOnDisk(folder), QStringList());
    }

    // The folder's watch is asked for off the GUI thread too (resolving its path hangs on
    // a dead network mount): the event loop turns while the drive holds it, and once it
    // answers, a preset that appears is listed as the watch tells, without a rescan asked
    // for. A preset keeper that goes meanwhile does not wait.
    void folderWatchIsAskedOffTheGuiThread_data()
    {
        QTest::addColumn<bool>("deleted");
        QTest::newRow("answered") << false;
        QTest::newRow("deleted meanwhile") << true;
    }

    void folderWatchIsAskedOffTheGuiThread()
    {
        QTemporaryDir dir;
        OSTRA_CONTINUE_IN_MOUNT_NAMESPACE(dir.filePath("ns"));
        QFETCH(bool, deleted);
        const QString ns = ostra::test::mountNamespaceFolder();
        QVERIFY(QDir().mkpath(ns + "/disk/Presets"));
        QVERIFY(ostra::test::dropPreset(ns + "/disk/Presets/a.qpf", "a", 978307200));
        ostra::test::HeldMount drive(ns + "/disk", ns + "/mnt");
        if (!drive.isValid())
            QSKIP("cannot mount a file system of its own here");
        const QString folder = ns + "/mnt/Presets";
        drive.close();
        ostra::test::RescueWatchdog watchdog([&] { drive.open(); });
        auto presets = std::make_unique<PresetFolder>(folder);
        QTRY_VERIFY(drive.held() > 0);
        QVERIFY(ostra::test::eventLoopTurns());
        QVERIFY(presets->isScanning());
        if (deleted)
            presets.reset();
        QVERIFY(watchdog.end());
        drive.open();
        if (!presets) {
            QTRY_VERIFY(drive.held() == 0);
            QVERIFY(ostra::test::eventLoopTurns());
            return;
        }
        QTRY_COMPARE(names(*presets), QStringList { "a" });
        QTRY_VERIFY(!presets->isScanning());
        // Moved in whole through the mount: the watch tells.
        QVERIFY(ostra::test::dropPreset(ns + "/mnt/b.part", "b", 4102444800));
        QVERIFY(QFile::rename(ns + "/mnt/b.part", folder + "/b.qpf"));
        QTRY_COMPARE(names(*presets), (QStringList { "b", "a" }));
    }

    // A preset renamed while the disk is full keeps its file whole (the new name is not
    // written), and gets it from the first rescan once there is room again, so the name
    // listed is the name kept across a restart. Each preset the user makes, renames or
    // overwrites on the full disk is told as not saved; the rescans that try again are not.
    void renameOnAFullDiskKeepsTheFile()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        PresetFolder presets(folder);
        ImageProperties edited;
        edited.setName("mine");
        edited.tuneToneEntry("temp")->setCurrentValue(6500);
        edited.markTuneTonePatch(edited.tuneToneEntry("temp").get(), true);
        presets.createPreset(&edited);
        ImageProperties* mine = presets.presetList().value(0);
        QVERIFY(mine);
        const QStringList before { mine->fileName() + ": mine" };
        QCOMPARE(presetsOnDisk(folder), before);
        QSignalSpy notSaved(&presets, &IPresetKeeper::presetNotSaved);
        {
            ostra::test::FileSizeLimit limit(64);
            presets.renamePreset(mine, QStringLiteral("renamed on a full disk"));
            edited.setName(QStringLiteral("made on a full disk"));
            presets.createPreset(&edited);
            presets.overwritePreset(nullptr, mine, QStringLiteral("overwritten on a full disk"));
            presets.rescan();
            QTRY_VERIFY(!presets.isScanning());
        }
        const QStringList told { "renamed on a full disk", "made on a full disk",
            "overwritten on a full disk" };
        QCOMPARE(notSaved.count(), told.size());
        for (int i = 0; i < told.size(); ++i) {
            QCOMPARE(notSaved.at(i).at(0).toString(), told.at(i));
            QVERIFY(!notSaved.at(i).at(1).toString().isEmpty());
        }
        QCOMPARE(presetsOnDisk(folder), before);
        ImageProperties* made = presets.presetList().value(0);
        QVERIFY(made && made != mine);
        presets.removePreset(made);
        presets.rescan();
        QTRY_VERIFY(!presets.isScanning());
        QCOMPARE(presetsOnDisk(folder), QStringList { mine->fileName() + ": overwritten on a full disk" });
        {
            PresetFolder restarted(folder);
            QTRY_VERIFY(!restarted.isScanning());
            QCOMPARE(restarted.presetList().size(), 1);
            QCOMPARE(restarted.presetList().first()->name(), QStringLiteral("overwritten on a full disk"));
        }
        presets.renamePreset(mine, QStringLiteral("renamed"));
        QCOMPARE(presetsOnDisk(folder), QStringList { mine->fileName() + ": renamed" });
        QCOMPARE(notSaved.count(), told.size());
    }

    // Only regular files of a preset's size are read: a link to an endless device or a
    // huge file is passed over at every rescan, a link to a real preset is listed. In a
    // child with little room, so reading the device for ever fails the case.
    void onlyRegularFilesOfBoundedSize()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("a child forked from a threaded process cannot run under the thread sanitizer");
#endif
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(ostra::test::dropPreset(folder + "/good.qpf", "good", 978307200));
        QVERIFY(ostra::test::dropPreset(dir.filePath("elsewhere.json"), "linked", 1000000000));
        QVERIFY(QFile::link(dir.filePath("elsewhere.json"), folder + "/linked.qpf"));
        QVERIFY(QFile::link("/dev/zero", folder + "/zero.qpf"));
        QFile huge(folder + "/huge.qpf");
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.write("{\"versionMajor\": 1, ") > 0);
        QVERIFY(huge.resize(qint64(1) << 30));
        huge.close();

        const int code = ostra::test::inChild(
            [&] {
                PresetFolder presets(folder);
                presets.rescan();
                if (!QTest::qWaitFor([&] { return !presets.isScanning(); }, 60000))
                    return 3;
                return names(presets) == QStringList { "linked", "good" } ? 0 : 2;
            },
            rlim_t(256) << 20);
        QCOMPARE(code, 0);
    }

    // A folder full of documents of the largest size a preset may have (here all holes, no
    // preset) is read a share at a time: a scan never holds all of it. In a child with less
    // room than the folder holds, the one real preset among them is still listed.
    void manyLargeDocumentsAreReadInShares()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("a child forked from a threaded process cannot run under the thread sanitizer");
#endif
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the address sanitizer keeps freed blocks in quarantine: no address-space bound holds");
#endif
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(ostra::test::dropPreset(folder + "/good.qpf", "good", 978307200));
        for (int i = 0; i < 400; ++i) {
            QFile junk(folder + QString("/junk%1.qpf").arg(i));
            QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("{\"versionMajor\": 1, ") > 0);
            QVERIFY(junk.resize(qint64(1) << 20));
        }
        const int code = ostra::test::inChild(
            [&] {
                PresetFolder presets(folder);
                presets.rescan();
                if (!QTest::qWaitFor([&] { return !presets.isScanning(); }, 60000))
                    return 3;
                return names(presets) == QStringList { "good" } ? 0 : 2;
            },
            rlim_t(256) << 20);
        QCOMPARE(code, 0);
    }
};

OSTRA_TEST_MAIN(TestPresetFolder)
#include "tst_presetfolder.moc"
