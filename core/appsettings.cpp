#include "core/appsettings.h"
#include "core/ipresetkeeper.h"
#include "core/logging.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaProperty>
#include <QMutex>
#include <QSaveFile>

namespace {

AppSettings* theInstance = nullptr;
QString thePresetsFolder;
QString theVideoThumbnailFolder;
// The video thumbnail folder is read by the cameras' device threads too.
QMutex theFoldersMutex;

const char* const kDateFormat = "yyyy-MM-dd";

// Creates `folder` in its parent when it is not a folder yet.
void makeFolder(const QString& folder)
{
    const QFileInfo info(folder);
    if (!info.isDir())
        info.dir().mkdir(info.fileName());
}

// A boolean as the store keeps it ("true", "false"; 1 and 0 from older hands). Anything
// else is no boolean: a string such as "flase" would otherwise read as true.
bool readBool(const QVariant& value, bool* ok)
{
    *ok = true;
    if (value.userType() == QMetaType::Bool)
        return value.toBool();
    if (value.userType() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || text == QLatin1String("1"))
            return true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || text == QLatin1String("0"))
            return false;
    }
    *ok = false;
    return false;
}

} // namespace

AppSettings::AppSettings(QObject* parent)
    : QSettings(DefaultSettings::useWritableSystemScope(), QSettings::UserScope,
        QCoreApplication::organizationName(), QCoreApplication::applicationName(), parent)
    , m_ftu(QMetaEnum::fromType<FTU>())
{
    theInstance = this;

    const QString folder = QFileInfo(fileName()).absolutePath();
    thePresetsFolder = folder + QStringLiteral("/Presets");
    {
        QMutexLocker lock(&theFoldersMutex);
        theVideoThumbnailFolder = folder + QDir::separator() + QStringLiteral("VideoThumbnails");
    }

    setFallbacksEnabled(true);
    keepDamagedFile();

    const QMetaObject* meta = metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (property.hasNotifySignal())
            m_notifiers.insert(QString::fromLatin1(property.name()).toLower(), property.notifySignal());
    }

    const QString importKey = QStringLiteral("ImportVideoFolder");
    const bool importStored = contains(importKey);
    const QString importFolder = value(importKey, QDir::fromNativeSeparators(defaultImport())).toString();
    if (importFolder != m_importVideoFolder) {
        m_importVideoFolder = importFolder;
        // Only the first start writes it: writing the same text back at every start would
        // rewrite the file each time, and with it drop whatever of it could not be read.
        if (!importStored)
            setValue(importKey, importFolder);
        emit importVideoFolderChanged();
    }
}

void AppSettings::keepDamagedFile()
{
    // The store reads what it can of a damaged file and writes only that back at the next
    // change; the lines it could not read would be gone. A copy of the file as it was
    // keeps them: one per damaged content, however many starts read it.
    allKeys();
    if (status() != QSettings::FormatError)
        return;
    QFile damaged(fileName());
    if (!damaged.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = damaged.readAll();
    const QString copy = fileName() + QStringLiteral(".damaged-")
        + QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex().left(12));
    if (QFileInfo::exists(copy))
        return;
    QSaveFile out(copy);
    if (out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit())
        qCWarning(lcCore).noquote() << "The settings file" << fileName()
                                    << "is damaged: what could be read is used; the file as it was is kept as"
                                    << copy;
    else
        qCWarning(lcCore).noquote() << "The settings file" << fileName()
                                    << "is damaged and can't be copied to" << copy;
}

int AppSettings::number(const char* key) const
{
    // A value that is no whole number above zero (a hand-edited or damaged file) reads as
    // the default: a cell size or memory budget of 0 would leave nothing to show.
    bool ok = false;
    const int number = value(QLatin1String(key)).toInt(&ok);
    return ok && number > 0 ? number : m_defaults.value(QLatin1String(key)).toInt();
}

bool AppSettings::boolean(const char* key) const
{
    bool ok = false;
    const bool on = readBool(value(QLatin1String(key)), &ok);
    return ok ? on : m_defaults.value(QLatin1String(key)).toBool();
}

AppSettings::~AppSettings()
{
    if (theInstance == this)
        theInstance = nullptr;
}

AppSettings* AppSettings::instance()
{
    return theInstance;
}

QString AppSettings::presetsFolder()
{
    return presetsFolderPath();
}

QString AppSettings::presetsFolderPath()
{
    if (!thePresetsFolder.isEmpty())
        return thePresetsFolder;
    const QSettings store(DefaultSettings::useWritableSystemScope(), QSettings::UserScope,
        QCoreApplication::organizationName(), QCoreApplication::applicationName());
    return QFileInfo(store.fileName()).absolutePath() + QStringLiteral("/Presets");
}

QString AppSettings::videoThumbnailFolder()
{
    QMutexLocker lock(&theFoldersMutex);
    return theVideoThumbnailFolder;
}

QVariant AppSettings::stored(const char* key)
{
    return theInstance ? theInstance->value(QLatin1String(key)) : QVariant();
}

QString AppSettings::imageFileFolder() const
{
    return value(QStringLiteral("ImageFileFolder")).toString();
}

QString AppSettings::lowResSubFolder() const
{
    return value(QStringLiteral("LowResSubfolder")).toString();
}

QString AppSettings::dataStoreFolder()
{
    return stored("DataStoreFolder").toString();
}

QString AppSettings::fileCacheFolder()
{
    return stored("FileCacheFolder").toString();
}

QUuid AppSettings::installationUid()
{
    return stored("InstallationUID").toUuid();
}

QString AppSettings::sessionDatabase()
{
    return stored("SessionDatabase").toString();
}

QString AppSettings::recipesDatabase()
{
    return stored("RecipesDatabase").toString();
}

QString AppSettings::historyDatabase()
{
    return stored("HistoryDatabase").toString();
}

QString AppSettings::hasBeenDatabase()
{
    return stored("HasBeenDatabase").toString();
}

void AppSettings::setSessionDatabase(const QString& path)
{
    setValue(QStringLiteral("SessionDatabase"), path);
    emit sessionDatabaseChanged();
}

void AppSettings::setRecipesDatabase(const QString& path)
{
    setValue(QStringLiteral("RecipesDatabase"), path);
    emit recipesDatabaseChanged();
}

void AppSettings::setHistoryDatabase(const QString& path)
{
    setValue(QStringLiteral("HistoryDatabase"), path);
    emit historyDatabaseChanged();
}

void AppSettings::setHasBeenDatabase(const QString& path)
{
    setValue(QStringLiteral("HasBeenDatabase"), path);
    emit hasBeenDatabaseChanged();
}

int AppSettings::galleryCellSize() const
{
    return number("GalleryCellSize");
}

int AppSettings::captureCellSize() const
{
    return number("CaptureCellSize");
}

int AppSettings::captureVideoCellSize() const
{
    return number("CaptureVideoCellSize");
}

void AppSettings::setGalleryCellSize(int size)
{
    setValue(QStringLiteral("GalleryCellSize"), size);
    emit galleryCellSizeChanged();
}

void AppSettings::setCaptureCellSize(int size)
{
    setValue(QStringLiteral("CaptureCellSize"), size);
    emit captureCellSizeChanged();
}

void AppSettings::setCaptureVideoCellSize(int size)
{
    setValue(QStringLiteral("CaptureVideoCellSize"), size);
    emit captureVideoCellSizeChanged();
}

QDate AppSettings::checkUpdateDate() const
{
    const QDate date = value(QStringLiteral("CheckUpdateDate")).toDate();
    return date.isValid() ? date : m_defaults.value(QStringLiteral("CheckUpdateDate")).toDate();
}

void AppSettings::setCheckUpdateDate(const QDate& date)
{
    setValue(QStringLiteral("CheckUpdateDate"), date);
    emit checkUpdateDateChanged();
}

bool AppSettings::enableDebugMode() const
{
    return boolean("EnableDebugMode");
}

bool AppSettings::recurseIntoDirs() const
{
    return boolean("RecurseIntoDirs");
}

int AppSettings::thumbnailBudgetMb() const
{
    return number("ThumbnailBudgetMb");
}

int AppSettings::memoryBudgetMb() const
{
    return number("MemoryBudgetMb");
}

bool AppSettings::closeOnNewFiles() const
{
    return boolean("CloseOnNewFiles");
}

bool AppSettings::failSafeGpuConf() const
{
    return boolean("FailSafeGpuConf");
}

bool AppSettings::failSafeQsgConf() const
{
    return boolean("FailSafeQsgConf");
}

bool AppSettings::avoidDrawPoints()
{
    return theInstance ? theInstance->boolean("AvoidDrawPoints") : false;
}

bool AppSettings::useDefaultFonts() const
{
    return boolean("UseDefaultFonts");
}

bool AppSettings::backgroundIndex() const
{
    return boolean("BackgroundIndex");
}

void AppSettings::setEnableDebugMode(bool on)
{
    setValue(QStringLiteral("EnableDebugMode"), on);
    emit enableDebugModeChanged();
}

void AppSettings::setRecurseIntoDirs(bool on)
{
    setValue(QStringLiteral("RecurseIntoDirs"), on);
}

void AppSettings::setThumbnailBudgetMb(int mb)
{
    setValue(QStringLiteral("ThumbnailBudgetMb"), mb);
}

void AppSettings::setMemoryBudgetMb(int mb)
{
    setValue(QStringLiteral("MemoryBudgetMb"), mb);
}

void AppSettings::setCloseOnNewFiles(bool on)
{
    setValue(QStringLiteral("CloseOnNewFiles"), on);
}

void AppSettings::setFailSafeGpuConf(bool on)
{
    setValue(QStringLiteral("FailSafeGpuConf"), on);
}

void AppSettings::setFailSafeQsgConf(bool on)
{
    setValue(QStringLiteral("FailSafeQsgConf"), on);
}

void AppSettings::setAvoidDrawPoints(bool on)
{
    setValue(QStringLiteral("AvoidDrawPoints"), on);
}

void AppSettings::setUseDefaultFonts(bool on)
{
    setValue(QStringLiteral("UseDefaultFonts"), on);
}

void AppSettings::setBackgroundIndex(bool on)
{
    setValue(QStringLiteral("BackgroundIndex"), on);
    emit backgroundIndexChanged();
}

QVariant AppSettings::presets() const
{
    return m_presetKeeper ? m_presetKeeper->presets() : QVariant(QVariantList());
}

void AppSettings::setPresetKeeper(IPresetKeeper* keeper)
{
    if (keeper == m_presetKeeper)
        return;
    disconnect(m_keeperChanged);
    disconnect(m_keeperGone);
    disconnect(m_keeperNotSaved);
    m_presetKeeper = keeper;
    if (keeper) {
        m_keeperChanged = connect(keeper, &IPresetKeeper::presetsChanged, this, &AppSettings::presetsChanged);
        m_keeperNotSaved
            = connect(keeper, &IPresetKeeper::presetNotSaved, this, &AppSettings::presetNotSaved);
        m_keeperGone = connect(keeper, &QObject::destroyed, this, [this] {
            m_presetKeeper = nullptr;
            emit presetsChanged();
        });
    }
    emit presetsChanged();
}

void AppSettings::createPreset(QObject* properties)
{
    if (m_presetKeeper)
        m_presetKeeper->createPreset(properties);
}

void AppSettings::removePreset(QObject* preset)
{
    if (m_presetKeeper)
        m_presetKeeper->removePreset(preset);
}

void AppSettings::renamePreset(QObject* preset, const QString& name)
{
    if (m_presetKeeper)
        m_presetKeeper->renamePreset(preset, name);
}

void AppSettings::overwritePreset(QObject* removePreset, QObject* renamePreset, const QString& name)
{
    if (m_presetKeeper)
        m_presetKeeper->overwritePreset(removePreset, renamePreset, name);
}

void AppSettings::presetsFolderChanged()
{
    if (m_presetKeeper)
        m_presetKeeper->rescan();
}

QString AppSettings::importVideoFolder() const
{
    return m_importVideoFolder;
}

void AppSettings::setImportVideoFolder(const QString& folder)
{
    if (folder == m_importVideoFolder)
        return;
    m_importVideoFolder = folder;
    setValue(QStringLiteral("ImportVideoFolder"), folder);
    emit importVideoFolderChanged();
}

QString AppSettings::localSocketPath()
{
    return stored("LocalSocketPath").toString();
}

QString AppSettings::ftuKey(FTU ftu) const
{
    return QLatin1String(m_ftu.valueToKey(ftu));
}

bool AppSettings::isDisplayed(AppSettings::FTU ftu) const
{
    return boolean(qPrintable(ftuKey(ftu)));
}

void AppSettings::setDisplayed(AppSettings::FTU ftu, bool displayed)
{
    setValue(ftuKey(ftu), displayed);
}

bool AppSettings::displayNow(AppSettings::FTU ftu)
{
    const bool display = isDisplayed(ftu);
    setValue(ftuKey(ftu), false);
    return display;
}

bool AppSettings::flag(const QString& key) const
{
    bool ok = false;
    const bool on = readBool(value(key, m_defaults.value(key)), &ok);
    return ok ? on : m_defaults.value(key).toBool();
}

bool AppSettings::defaultFlag(const QString& key) const
{
    return m_defaults.value(key).toBool();
}

void AppSettings::setFlag(const QString& key, bool value)
{
    setValue(key, value);
    const auto notifier = m_notifiers.constFind(key.toLower());
    // Only the parameterless change signals can be raised here; the inherited
    // objectNameChanged carries the new name and is left alone.
    if (notifier != m_notifiers.constEnd() && notifier->parameterCount() == 0)
        notifier->invoke(this, Qt::DirectConnection);
}

bool AppSettings::otherUpdateDate(const QDate& today) const
{
    return checkUpdateDate() != today;
}

QString AppSettings::formattedDate() const
{
    return QDate::currentDate().toString(QLatin1String(kDateFormat));
}

QString AppSettings::imageFolder() const
{
    const QString folder = imageFileFolder();
    makeFolder(folder);
    return folder;
}

QString AppSettings::defaultImport() const
{
    return QDir::toNativeSeparators(QDir(imageFolder()).absoluteFilePath(formattedDate()));
}

QString AppSettings::defaultExport() const
{
    const QString exportFolder = QDir(imageFolder()).absoluteFilePath(QStringLiteral("Export"));
    makeFolder(exportFolder);
    return QDir::toNativeSeparators(QDir(exportFolder).absoluteFilePath(formattedDate()));
}
