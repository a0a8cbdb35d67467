// The tuning-preset folder: presets written, renamed, overwritten and removed, with the
// folder changed behind the application's back.
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "core/appsettings.h"
#include "engine/imageproperties.h"
#include "engine/presetfolder.h"

namespace {

// What the folder's files say: "file name: preset name", in file name order.
QStringList onDisk(const QString& folder)
{
    QStringList lines;
    for (const QFileInfo& info : QDir(folder).entryInfoList({ "*.qpf" }, QDir::Files, QDir::Name)) {
        QFile file(info.filePath());
        ImageProperties p;
        const bool ok = file.open(QIODevice::ReadOnly) && p.loadPatch(file.readAll());
        lines << info.fileName() + ": " + (ok ? p.name() : QStringLiteral("(unreadable)"));
    }
    return lines;
}

QStringList names(const PresetFolder& folder)
{
    QStringList list;
    for (ImageProperties* p : folder.presetList())
        list << p->name();
    return list;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray document(const QString& name, qint64 seconds)
{
    return QJsonDocument(
        QJsonObject { { "versionMajor", 1 }, { "versionMinor", 0 }, { "name", name },
            { "timestampUTC", double(seconds) }, { "colormetrics", QJsonObject { { "tint", 5 } } } })
        .toJson();
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
        QSignalSpy changes(&presets, &IPresetKeeper::presetsChanged);
        ImageProperties edited;
        edited.setName("warm");
        edited.tuneToneEntry("temp")->setCurrentValue(6500);
        edited.markTuneTonePatch(edited.tuneToneEntry("temp").get(), true);
        presets.createPreset(&edited);
        QCOMPARE(changes.size(), 1);
        ImageProperties* warm = presets.presetList().value(0);
        QVERIFY(warm && warm->fileName().endsWith(".qpf"));
        QCOMPARE(onDisk(folder), QStringList { warm->fileName() + ": warm" });
        QCOMPARE(warm->tuneToneEntry("temp")->currentValue().toDouble(), 6500.0);

        presets.renamePreset(warm, "warm");
        presets.renamePreset(warm, "sunset");
        QCOMPARE(onDisk(folder), QStringList { warm->fileName() + ": sunset" });
        edited.setName("cold");
        presets.createPreset(&edited);
        ImageProperties* cold = presets.presetList().value(0);
        QCOMPARE(names(presets), (QStringList { "cold", "sunset" }));

        // Overwriting a preset by itself is a rename and keeps it.
        presets.overwritePreset(cold, cold, "cold");
        presets.overwritePreset(cold, cold, "frost");
        QCOMPARE(names(presets), (QStringList { "frost", "sunset" }));
        const QString coldFile = cold->fileName();
        presets.overwritePreset(warm, cold, "sunset");
        QCOMPARE(names(presets), QStringList { "sunset" });
        QCOMPARE(onDisk(folder), QStringList { coldFile + ": sunset" });

        // An object that is no preset of the folder deletes nothing, whatever its file name.
        ImageProperties stranger;
        stranger.setFileName(coldFile);
        presets.removePreset(&stranger);
        presets.removePreset(cold);
        QVERIFY(presets.presetList().isEmpty());
        QVERIFY(onDisk(folder).isEmpty());
    }

    void folderChangedBehindTheBack()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("Presets");
        PresetFolder presets(folder);
        QVERIFY(QFileInfo(folder).isDir());
        ImageProperties edited;
        edited.setName("mine");
        presets.createPreset(&edited);
        ImageProperties* mine = presets.presetList().value(0);
        const QString path = folder + "/" + mine->fileName();

        // Deleted by hand, or cut short: written again from the list.
        QVERIFY(QFile::remove(path));
        presets.rescan();
        QCOMPARE(onDisk(folder), QStringList { mine->fileName() + ": mine" });
        QVERIFY(QFile::resize(path, 9));
        presets.rescan();
        QCOMPARE(onDisk(folder), QStringList { mine->fileName() + ": mine" });

        // A truncated stranger is not listed and blocks nothing; good files copied in take
        // their place by creation time, the watcher telling.
        QVERIFY(writeFile(folder + "/broken.qpf", document("broken", 0).left(20)));
        QVERIFY(writeFile(folder + "/old.qpf", document("old", 978307200)));
        QVERIFY(writeFile(folder + "/future.qpf", document("future", 4102444800)));
        QTRY_COMPARE(names(presets), (QStringList { "future", "mine", "old" }));
        QCOMPARE(presets.presetList().value(2)->fileName(), QStringLiteral("old.qpf"));
        QSignalSpy changes(&presets, &IPresetKeeper::presetsChanged);
        presets.rescan();
        QCOMPARE(changes.size(), 0);
        presets.renamePreset(presets.presetList().value(2), "older");
        QVERIFY(onDisk(folder).contains("old.qpf: older"));
        QVERIFY(onDisk(folder).contains("broken.qpf: (unreadable)"));

        // The folder removed: made again, the list starts empty and fills from what appears.
        QVERIFY(QDir(folder).removeRecursively());
        presets.rescan();
        QVERIFY(QFileInfo(folder).isDir());
        QVERIFY(presets.presetList().isEmpty());
        QVERIFY(writeFile(folder + "/back.qpf", document("back", 978307200)));
        QTRY_COMPARE(names(presets), QStringList { "back" });
    }

    // The settings object offers the folder's presets and hands the operations on.
    void throughSettings()
    {
        QTemporaryDir dir;
        AppSettings settings;
        QVERIFY(AppSettings::presetsFolderPath().endsWith("/Presets"));
        QCOMPARE(settings.presets().toList().size(), 0);
        QSignalSpy changes(&settings, &AppSettings::presetsChanged);
        {
            PresetFolder presets(dir.filePath("Presets"));
            settings.setPresetKeeper(&presets);
            ImageProperties edited;
            edited.setName("via settings");
            settings.createPreset(&edited);
            const QVariantList list = settings.presets().toList();
            QCOMPARE(list.size(), 1);
            QCOMPARE(
                list.at(0).value<QObject*>()->property("name").toString(), QStringLiteral("via settings"));
            settings.renamePreset(list.at(0).value<QObject*>(), "renamed");
            QCOMPARE(onDisk(dir.filePath("Presets")).value(0).section(": ", 1), QStringLiteral("renamed"));
        }
        QVERIFY(changes.size() >= 3);
        QCOMPARE(settings.presets().toList().size(), 0);
    }
};

OSTRA_TEST_MAIN(TestPresetFolder)
#include "tst_presetfolder.moc"
