#include "support/childprocess.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <cstdio>
#include <memory>

#include "core/appsettings.h"
#include "core/defaultsettings.h"
#include "core/identity.h"

namespace {

void print(const QString& text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
}

// Child modes, each one start of the application's settings in a fresh process.
int childMain(const QString& mode, const QStringList& args)
{
    ostra::applyIdentity();
    AppSettings settings;
    if (mode == QLatin1String("uid")) {
        print(AppSettings::installationUid().toString());
    } else if (mode == QLatin1String("displayNow")) {
        print(settings.displayNow(AppSettings::FTU_RefineEdge) ? QStringLiteral("shown")
                                                               : QStringLiteral("hidden"));
    } else if (mode == QLatin1String("setCellSize")) {
        settings.setGalleryCellSize(args.value(0).toInt());
    } else if (mode == QLatin1String("cellSize")) {
        print(QString::number(settings.galleryCellSize()));
    } else {
        return 2;
    }
    return 0;
}

QString runChild(const QString& mode, const QStringList& args = {})
{
    auto child = ostra::test::startSelf(mode, args);
    if (!child->finish() || child->exitStatus() != QProcess::NormalExit || child->exitCode() != 0)
        return QStringLiteral("child failed: ") + QString::fromLocal8Bit(child->err());
    return QString::fromLocal8Bit(child->out()).trimmed();
}

// Puts a plain file where a folder of the application's belongs under `home`.
bool blockFolder(const QString& home)
{
    const QString path = home + QStringLiteral("/Quelt/Ostra 2.0");
    QFile blocker(path);
    return QDir().mkpath(home + QStringLiteral("/Quelt")) && QDir(path).removeRecursively()
        && blocker.open(QIODevice::WriteOnly);
}

// Keys actually written in an INI file (no fallbacks).
QStringList keysInFile(const QString& path)
{
    QSettings file(path, QSettings::IniFormat);
    return file.allKeys();
}

} // namespace

class TestAppSettings : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { ostra::applyIdentity(); }

    void defaultsStayOutOfTheUserFile()
    {
        AppSettings settings;
        QCOMPARE(AppSettings::instance(), &settings);
        const QString data = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Quelt/Ostra 2.0");
        QCOMPARE(AppSettings::sessionDatabase(), data + QStringLiteral("/Ostra.1.db"));
        QVERIFY(QFileInfo(data).isDir());
        QVERIFY(QFileInfo(settings.imageFileFolder()).isDir());
        // The first start fixes the import-video folder to that day's import folder.
        QCOMPARE(settings.importVideoFolder(), QDir::fromNativeSeparators(settings.defaultImport()));

        // Defaults stay in their own store; the user's file holds only what was set.
        settings.sync();
        QCOMPARE(keysInFile(settings.fileName()), QStringList { QStringLiteral("ImportVideoFolder") });
        const QString defaultsFile = settings.defaults().fileName();
        QVERIFY(defaultsFile != settings.fileName());
        QVERIFY(keysInFile(defaultsFile).contains(QStringLiteral("InstallationUID")));
        // ... in the per-user folder that stands in for the machine-wide one.
        QVERIFY2(defaultsFile.startsWith(DefaultSettings::systemScopeFolder()), qPrintable(defaultsFile));

        // The folder set is kept, and announced only when it changes.
        QSignalSpy changed(&settings, &AppSettings::importVideoFolderChanged);
        settings.setImportVideoFolder(settings.importVideoFolder());
        const QString kept = QDir(qEnvironmentVariable("HOME")).absoluteFilePath(QStringLiteral("videos"));
        settings.setImportVideoFolder(kept);
        settings.setImportVideoFolder(kept);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(AppSettings().importVideoFolder(), kept);
    }

    // A flag set by name raises its change signal where the setting has one, and only there.
    void flagsSetByName()
    {
        AppSettings settings;
        QSignalSpy debug(&settings, &AppSettings::enableDebugModeChanged);
        QVERIFY(!settings.failSafeGpuConf());
        settings.setFlag(QStringLiteral("FailSafeGpuConf"), true);
        QVERIFY(settings.failSafeGpuConf());
        QCOMPARE(debug.count(), 0);
        settings.setFlag(QStringLiteral("EnableDebugMode"), true);
        QCOMPARE(debug.count(), 1);
        QVERIFY(settings.enableDebugMode());
        settings.setFlag(QStringLiteral("objectName"), true); // its signal carries a name
    }

    void survivesRestarts()
    {
        // Each start is a process of its own, so only what reached the disk counts.
        const QString uid = runChild(QStringLiteral("uid"));
        QVERIFY2(!QUuid(uid).isNull(), qPrintable(uid));
        QCOMPARE(runChild(QStringLiteral("uid")), uid);

        for (const char* shown : { "shown", "hidden", "hidden" })
            QCOMPARE(runChild(QStringLiteral("displayNow")), QString::fromLatin1(shown));

        QCOMPARE(runChild(QStringLiteral("setCellSize"), { QStringLiteral("333") }), QString());
        QCOMPARE(runChild(QStringLiteral("cellSize")), QStringLiteral("333"));
        QCOMPARE(runChild(QStringLiteral("uid")), uid);

        // The installation id in this process is the one the other starts saw.
        AppSettings settings;
        QCOMPARE(AppSettings::installationUid(), QUuid(uid));
    }

    void nullInstallationIdIsReplaced()
    {
        QString defaultsFile;
        {
            AppSettings settings;
            defaultsFile = settings.defaults().fileName();
        }
        {
            QSettings file(defaultsFile, QSettings::IniFormat);
            file.setValue(QStringLiteral("InstallationUID"), QUuid().toString());
        }
        const QString uid = runChild(QStringLiteral("uid"));
        QVERIFY2(!QUuid(uid).isNull(), qPrintable(uid));
        QCOMPARE(runChild(QStringLiteral("uid")), uid);
    }

    void unwritableLocationsFallBack()
    {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString temp = scratch.filePath(QStringLiteral("tmp"));
        const QString cacheHome = scratch.filePath(QStringLiteral("cache"));
        const QString dataHome = scratch.filePath(QStringLiteral("data"));
        const QByteArray savedCache = qgetenv("XDG_CACHE_HOME"), savedData = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] {
            qunsetenv("TMPDIR");
            qputenv("XDG_CACHE_HOME", savedCache);
            qputenv("XDG_DATA_HOME", savedData);
        });
        qputenv("TMPDIR", QFile::encodeName(temp));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheHome));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));

        // A plain file where the data folder belongs: not a folder, so not usable.
        QVERIFY(blockFolder(dataHome));
        {
            AppSettings settings;
            const QString cache = cacheHome + QStringLiteral("/Quelt/Ostra 2.0");
            QCOMPARE(AppSettings::dataStoreFolder(), cache);
            QCOMPARE(AppSettings::fileCacheFolder(), cache);
            QCOMPARE(AppSettings::sessionDatabase(), cache + QStringLiteral("/Ostra.1.db"));
            // The missing temporary folder was made.
            QVERIFY(QFileInfo(temp).isDir());
        }

        QVERIFY(blockFolder(cacheHome));
        {
            AppSettings settings;
            QCOMPARE(AppSettings::dataStoreFolder(), QDir(temp).absolutePath());
            QCOMPARE(AppSettings::fileCacheFolder(), QDir(temp).absolutePath());
            for (const QString& db : { AppSettings::sessionDatabase(), AppSettings::recipesDatabase(),
                     AppSettings::historyDatabase(), AppSettings::hasBeenDatabase() })
                QCOMPARE(db, QStringLiteral(":memory:"));
        }
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(QCoreApplication, TestAppSettings, childMain)
#include "tst_appsettings.moc"
