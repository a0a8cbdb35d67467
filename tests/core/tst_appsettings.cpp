#include "support/childprocess.h"

#include <QDate>
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
    } else if (mode == QLatin1String("values")) {
        // What a start reads, one line: sizes, switches, hint, update date, import folder.
        print(QStringList { QString::number(settings.galleryCellSize()),
            QString::number(settings.captureCellSize()), settings.useDefaultFonts() ? "fonts" : "-",
            settings.backgroundIndex() ? "index" : "-",
            settings.flag(QStringLiteral("CloseOnNewFiles")) ? "close" : "-",
            settings.isDisplayed(AppSettings::FTU_BlendArea) ? "hint" : "-",
            settings.otherUpdateDate(QDate::currentDate()) ? "check" : "checked",
            settings.importVideoFolder() }
                  .join(QLatin1Char(' ')));
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

    // A settings file damaged by hand, by a disk or by another program: the application starts,
    // takes what it can read and the defaults for the rest, leaves the file alone while it
    // changes nothing, and keeps a copy of the file as it was before the first change drops
    // what could not be read.
    void damagedFileReadWithDefaults_data()
    {
        QTest::addColumn<bool>("readable"); // the readable settings come first
        QTest::addColumn<QByteArray>("damage");
        QTest::addColumn<QString>("values");
        QTest::addColumn<bool>("formatError");
        const QString kept = QStringLiteral("333 99 fonts index close - checked /pictures/keep");
        QTest::newRow("line without a value")
            << true << QByteArray("this line is no setting\n") << kept << true;
        QTest::newRow("open section") << true << QByteArray("[Broken\nStray=1\n") << kept << true;
        QTest::newRow("binary junk") << true << QByteArray("\x01\xff\xfe\x00\x7f=\n", 7) << kept << false;
        // Values the getters cannot read are their defaults.
        QTest::newRow("unreadable values")
            << false
            << QByteArray(
                   "[General]\nGalleryCellSize=big\nCaptureCellSize=-4\nUseDefaultFonts=flase\n"
                   "BackgroundIndex=maybe\nCloseOnNewFiles=\nFTU_BlendArea=nope\nCheckUpdateDate=someday\n"
                   "ImportVideoFolder=/pictures/keep\n")
            << QStringLiteral("200 160 - index close hint checked /pictures/keep") << false;
    }

    void damagedFileReadWithDefaults()
    {
        QFETCH(bool, readable);
        QFETCH(QByteArray, damage);
        QFETCH(QString, values);
        QFETCH(bool, formatError);
        QString file;
        {
            AppSettings settings;
            file = settings.fileName();
        }
        const QString folder = QFileInfo(file).absolutePath();
        const auto copies = [&] {
            return QDir(folder).entryList(
                { QFileInfo(file).fileName() + QStringLiteral(".damaged-*") }, QDir::Files);
        };
        for (const QString& old : copies())
            QVERIFY(QFile::remove(QDir(folder).filePath(old)));
        QVERIFY(!QFileInfo::exists(file) || QFile::remove(file));
        if (readable) {
            // The readable settings, as the store writes them.
            QSettings store(file, QSettings::IniFormat);
            store.setValue(QStringLiteral("GalleryCellSize"), 333);
            store.setValue(QStringLiteral("CaptureCellSize"), 99);
            store.setValue(QStringLiteral("UseDefaultFonts"), true);
            store.setValue(QStringLiteral("FTU_BlendArea"), false);
            store.setValue(QStringLiteral("CheckUpdateDate"), QDate::currentDate());
            store.setValue(QStringLiteral("ImportVideoFolder"), QStringLiteral("/pictures/keep"));
        }
        QFile written(file);
        QVERIFY(written.open(QIODevice::Append));
        QCOMPARE(written.write(damage), qint64(damage.size()));
        written.close();
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray content = written.readAll();
        written.close();

        // Two starts that only read: the file is not touched.
        QCOMPARE(runChild(QStringLiteral("values")), values);
        QCOMPARE(runChild(QStringLiteral("values")), values);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), content);
        written.close();

        // A start that changes a setting writes what it read; a damaged file is kept aside first.
        QCOMPARE(runChild(QStringLiteral("setCellSize"), { QStringLiteral("444") }), QString());
        QCOMPARE(runChild(QStringLiteral("cellSize")), QStringLiteral("444"));
        const QStringList kept = copies();
        QCOMPARE(kept.size(), formatError ? 1 : 0);
        if (formatError) {
            QFile copy(QDir(folder).filePath(kept.first()));
            QVERIFY(copy.open(QIODevice::ReadOnly));
            QCOMPARE(copy.readAll(), content);
        }
        QVERIFY(QFile::remove(file));
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
