#include "core/defaultsettings.h"

#include "core/identity.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUuid>

namespace {

// Creates a missing folder; true when it is then a folder this process may write.
bool usableFolder(const QString& path)
{
    if (!QFileInfo::exists(path))
        QDir::root().mkpath(path);
    const QFileInfo info(path);
    return info.isDir() && info.isWritable();
}

} // namespace

QString DefaultSettings::systemScopeFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1Char('/')
        + QCoreApplication::organizationName() + QStringLiteral("/defaults");
}

QSettings::Format DefaultSettings::useWritableSystemScope()
{
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, systemScopeFolder());
    return QSettings::IniFormat;
}

DefaultSettings::DefaultSettings(QObject* parent)
    : QSettings(useWritableSystemScope(), QSettings::SystemScope, QCoreApplication::organizationName(),
        QCoreApplication::applicationName(), parent)
{
    build();
}

void DefaultSettings::build()
{
    QString tempFolder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (tempFolder.isEmpty()) {
        // Qt names no temporary folder while the one TMPDIR gives does not exist yet.
        tempFolder = QDir::cleanPath(qEnvironmentVariable("TMPDIR"));
        if (tempFolder.isEmpty() || tempFolder == QLatin1String("."))
            tempFolder = QStringLiteral("/tmp");
    }
    if (!QFileInfo::exists(tempFolder))
        QDir::root().mkpath(tempFolder);

    QString cacheFolder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (!usableFolder(cacheFolder))
        cacheFolder = tempFolder;

    QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!usableFolder(dataFolder))
        dataFolder = cacheFolder;

    const QDir data(dataFolder);
    setValue(QStringLiteral("DataStoreFolder"), data.absolutePath());
    setValue(QStringLiteral("FileCacheFolder"), QDir(cacheFolder).absolutePath());

    const bool inMemory = data.absolutePath() == QDir(tempFolder).absolutePath();
    const auto database = [&](const char* file) {
        return inMemory ? QStringLiteral(":memory:") : data.absoluteFilePath(QLatin1String(file));
    };
    setValue(QStringLiteral("SessionDatabase"), database("Ostra.1.db"));
    setValue(QStringLiteral("RecipesDatabase"), database("Trans.1.db"));
    setValue(QStringLiteral("HistoryDatabase"), database("MetaH.1.db"));
    setValue(QStringLiteral("HasBeenDatabase"), database("Uuids.1.db"));

    const QString picturesFolder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!QFileInfo::exists(picturesFolder))
        QDir::root().mkpath(picturesFolder);
    const QDir pictures(picturesFolder);
    const QString imageFolder = pictures.absoluteFilePath(QCoreApplication::organizationName());
    if (!QFileInfo(imageFolder).isDir())
        pictures.mkdir(QCoreApplication::organizationName());
    setValue(QStringLiteral("ImageFileFolder"), imageFolder);

    setValue(QStringLiteral("LowResSubfolder"), QStringLiteral("low_res"));
    setValue(QStringLiteral("GalleryCellSize"), 200);
    setValue(QStringLiteral("CaptureCellSize"), 160);
    setValue(QStringLiteral("CaptureVideoCellSize"), 20);
    for (const char* hint :
        { "FTU_DepthEffect", "FTU_RefineEdge", "FTU_BlendArea", "FTU_MatchDepth", "FTU_FocusPoint" })
        setValue(QLatin1String(hint), true);
    setValue(QStringLiteral("CloseOnNewFiles"), true);
    setValue(QStringLiteral("RecurseIntoDirs"), false);
    setValue(QStringLiteral("ThumbnailBudgetMb"), 512);
    setValue(QStringLiteral("MemoryBudgetMb"), 1024);
    setValue(QStringLiteral("FailSafeGpuConf"), false);
    setValue(QStringLiteral("FailSafeQsgConf"), false);
    setValue(QStringLiteral("AvoidDrawPoints"), false);
    setValue(QStringLiteral("UseDefaultFonts"), false);
    setValue(QStringLiteral("BackgroundIndex"), true);
    setValue(QStringLiteral("CheckUpdateDate"), QDate::currentDate());
    setValue(QStringLiteral("LocalSocketPath"), QString::fromLatin1(ostra::applicationId));

    if (value(QStringLiteral("InstallationUID")).toUuid().isNull())
        setValue(QStringLiteral("InstallationUID"), QUuid::createUuid().toString());

    setValue(QStringLiteral("EnableDebugMode"), false);
    // Written now rather than whenever the event loop gets to it: a start that ends
    // early must still keep the installation id it handed out.
    sync();
}
