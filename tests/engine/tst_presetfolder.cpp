// The tuning-preset folder: presets written, renamed, overwritten and removed, with the
// folder changed behind the application's back.
#include "support/testmain.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "engine/imageproperties.h"
#include "engine/presetfolder.h"
#include "support/presetfiles.h"

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
        QCOMPARE(presetsOnDisk(folder), QStringList { mine + ": mine" });
        QVERIFY(QFile::resize(folder + "/" + mine, 9));
        presets.rescan();
        QCOMPARE(presetsOnDisk(folder), QStringList { mine + ": mine" });

        // A cut-short stranger is not listed and blocks nothing; good files copied in take
        // their place by creation time, the watcher telling.
        QVERIFY(ostra::test::dropPreset(folder + "/broken.qpf", "broken", 0, 20));
        QVERIFY(ostra::test::dropPreset(folder + "/old.qpf", "old", 978307200));
        QVERIFY(ostra::test::dropPreset(folder + "/future.qpf", "future", 4102444800));
        QTRY_COMPARE(names(presets), (QStringList { "future", "mine", "old" }));
        QSignalSpy changes(&presets, &IPresetKeeper::presetsChanged);
        presets.rescan();
        QCOMPARE(changes.size(), 0);
        presets.renamePreset(presets.presetList().value(2), "older");
        QCOMPARE(presetsOnDisk(folder),
            (QStringList { "broken.qpf: ?", "future.qpf: future", "old.qpf: older", mine + ": mine" }));

        // The folder removed: made again, the list starts empty and fills from what appears.
        QVERIFY(QDir(folder).removeRecursively());
        presets.rescan();
        QVERIFY(QFileInfo(folder).isDir() && presets.presetList().isEmpty());
        QVERIFY(ostra::test::dropPreset(folder + "/back.qpf", "back", 978307200));
        QTRY_COMPARE(names(presets), QStringList { "back" });
    }
};

OSTRA_TEST_MAIN(TestPresetFolder)
#include "tst_presetfolder.moc"
