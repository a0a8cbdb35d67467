#pragma once

#include <QDate>
#include <QHash>
#include <QMetaEnum>
#include <QMetaMethod>
#include <QSettings>
#include <QUuid>
#include <QVariant>

#include "core/defaultsettings.h"

class IPresetKeeper;

// Every user setting of the application, in one INI store of the user scope. A key
// the user store lacks is answered by the store of defaults (DefaultSettings). Built
// once at start-up; reachable through instance() and as the QML singleton
// "AppSettings".
class AppSettings : public QSettings
{
    Q_OBJECT
    Q_PROPERTY(QString imageFileFolder READ imageFileFolder CONSTANT)
    Q_PROPERTY(QString lowResSubFolder READ lowResSubFolder CONSTANT)
    Q_PROPERTY(QString dataStoreFolder READ dataStoreFolder CONSTANT)
    Q_PROPERTY(QString fileCacheFolder READ fileCacheFolder CONSTANT)
    Q_PROPERTY(QUuid installationUid READ installationUid CONSTANT)
    Q_PROPERTY(
        QString sessionDatabase READ sessionDatabase WRITE setSessionDatabase NOTIFY sessionDatabaseChanged)
    Q_PROPERTY(
        QString recipesDatabase READ recipesDatabase WRITE setRecipesDatabase NOTIFY recipesDatabaseChanged)
    Q_PROPERTY(
        QString historyDatabase READ historyDatabase WRITE setHistoryDatabase NOTIFY historyDatabaseChanged)
    Q_PROPERTY(
        QString hasBeenDatabase READ hasBeenDatabase WRITE setHasBeenDatabase NOTIFY hasBeenDatabaseChanged)
    Q_PROPERTY(
        int galleryCellSize READ galleryCellSize WRITE setGalleryCellSize NOTIFY galleryCellSizeChanged)
    Q_PROPERTY(
        int captureCellSize READ captureCellSize WRITE setCaptureCellSize NOTIFY captureCellSizeChanged)
    Q_PROPERTY(int captureVideoCellSize READ captureVideoCellSize WRITE setCaptureVideoCellSize NOTIFY
            captureVideoCellSizeChanged)
    Q_PROPERTY(
        QDate checkUpdateDate READ checkUpdateDate WRITE setCheckUpdateDate NOTIFY checkUpdateDateChanged)
    Q_PROPERTY(
        bool enableDebugMode READ enableDebugMode WRITE setEnableDebugMode NOTIFY enableDebugModeChanged)
    Q_PROPERTY(bool recurseIntoDirs READ recurseIntoDirs WRITE setRecurseIntoDirs)
    // Memory, in MB, for the pictures the gallery keeps decoded.
    Q_PROPERTY(int thumbnailBudgetMb READ thumbnailBudgetMb WRITE setThumbnailBudgetMb)
    // Memory, in MB, the whole process aims to stay within; the caches share it.
    Q_PROPERTY(int memoryBudgetMb READ memoryBudgetMb WRITE setMemoryBudgetMb)
    Q_PROPERTY(bool closeOnNewFiles READ closeOnNewFiles WRITE setCloseOnNewFiles)
    Q_PROPERTY(bool failSafeGpuConf READ failSafeGpuConf WRITE setFailSafeGpuConf)
    Q_PROPERTY(bool failSafeQsgConf READ failSafeQsgConf WRITE setFailSafeQsgConf)
    Q_PROPERTY(bool avoidDrawPoints READ avoidDrawPoints WRITE setAvoidDrawPoints)
    Q_PROPERTY(bool useDefaultFonts READ useDefaultFonts WRITE setUseDefaultFonts)
    Q_PROPERTY(
        bool backgroundIndex READ backgroundIndex WRITE setBackgroundIndex NOTIFY backgroundIndexChanged)
    Q_PROPERTY(QVariant presets READ presets NOTIFY presetsChanged)
    Q_PROPERTY(QString importVideoFolder READ importVideoFolder WRITE setImportVideoFolder NOTIFY
            importVideoFolderChanged)

public:
    // First-time-use hints; each is stored under its enumerator's name.
    enum FTU {
        FTU_DepthEffect = 0,
        FTU_RefineEdge = 1,
        FTU_BlendArea = 2,
        FTU_MatchDepth = 3,
        FTU_FocusPoint = 4,
        FTU_ITEM_COUNT = 5,
    };
    Q_ENUM(FTU)

    // Opens the user store of the organisation and application set on the
    // application object, builds the defaults and becomes the process-wide instance.
    explicit AppSettings(QObject* parent = nullptr);
    ~AppSettings() override;

    // The one object; null before it is built and after it is destroyed.
    static AppSettings* instance();

    // Folders beside the settings file, set by the constructor.
    static QString presetsFolder();
    // The absolute folder of the user settings file followed by "/Presets"; answered
    // from the user store's location also before the instance is built.
    static QString presetsFolderPath();
    static QString videoThumbnailFolder();

    QString imageFileFolder() const;
    QString lowResSubFolder() const;
    static QString dataStoreFolder();
    static QString fileCacheFolder();
    static QUuid installationUid();

    static QString sessionDatabase();
    static QString recipesDatabase();
    static QString historyDatabase();
    static QString hasBeenDatabase();
    void setSessionDatabase(const QString& path);
    void setRecipesDatabase(const QString& path);
    void setHistoryDatabase(const QString& path);
    void setHasBeenDatabase(const QString& path);

    int galleryCellSize() const;
    int captureCellSize() const;
    int captureVideoCellSize() const;
    void setGalleryCellSize(int size);
    void setCaptureCellSize(int size);
    void setCaptureVideoCellSize(int size);

    QDate checkUpdateDate() const;
    void setCheckUpdateDate(const QDate& date);

    bool enableDebugMode() const;
    bool recurseIntoDirs() const;
    int thumbnailBudgetMb() const;
    int memoryBudgetMb() const;
    bool closeOnNewFiles() const;
    bool failSafeGpuConf() const;
    bool failSafeQsgConf() const;
    static bool avoidDrawPoints();
    bool useDefaultFonts() const;
    bool backgroundIndex() const;
    void setEnableDebugMode(bool on);
    void setRecurseIntoDirs(bool on);
    void setThumbnailBudgetMb(int mb);
    void setMemoryBudgetMb(int mb);
    void setCloseOnNewFiles(bool on);
    void setFailSafeGpuConf(bool on);
    void setFailSafeQsgConf(bool on);
    void setAvoidDrawPoints(bool on);
    void setUseDefaultFonts(bool on);
    void setBackgroundIndex(bool on);

    // The tuning presets, newest first, as the keeper set with setPresetKeeper lists them
    // (an empty list without one).
    QVariant presets() const;
    // The keeper that the preset operations go to; it is not owned, and is forgotten when
    // it is destroyed.
    void setPresetKeeper(IPresetKeeper* keeper);
    Q_INVOKABLE void createPreset(QObject* properties);
    Q_INVOKABLE void removePreset(QObject* preset);
    Q_INVOKABLE void renamePreset(QObject* preset, const QString& name);
    Q_INVOKABLE void overwritePreset(QObject* removePreset, QObject* renamePreset, const QString& name);

    QString importVideoFolder() const;
    void setImportVideoFolder(const QString& folder);

    // The name of the single-instance socket.
    static QString localSocketPath();

    Q_INVOKABLE bool isDisplayed(AppSettings::FTU ftu) const;
    Q_INVOKABLE void setDisplayed(AppSettings::FTU ftu, bool displayed);
    // The hint's flag, which is cleared by the call: true only the first time.
    Q_INVOKABLE bool displayNow(AppSettings::FTU ftu);

    // The boolean value of any key, or the key's default when it is not stored.
    Q_INVOKABLE bool flag(const QString& key) const;
    // The default of a key, whatever the user stored.
    Q_INVOKABLE bool defaultFlag(const QString& key) const;
    // Stores a boolean under any key, and notifies the property of that name, if any.
    Q_INVOKABLE void setFlag(const QString& key, bool value);

    // Whether the stored update-check date differs from `today`.
    Q_INVOKABLE bool otherUpdateDate(const QDate& today) const;
    // Today as "yyyy-MM-dd".
    Q_INVOKABLE QString formattedDate() const;
    // Today's folder under the image folder, and under its "Export" subfolder (the
    // dated folders themselves are not created).
    Q_INVOKABLE QString defaultImport() const;
    Q_INVOKABLE QString defaultExport() const;

    const DefaultSettings& defaults() const { return m_defaults; }

signals:
    void sessionDatabaseChanged();
    void recipesDatabaseChanged();
    void historyDatabaseChanged();
    void hasBeenDatabaseChanged();
    void galleryCellSizeChanged();
    void captureCellSizeChanged();
    void captureVideoCellSizeChanged();
    void checkUpdateDateChanged();
    void enableDebugModeChanged();
    void backgroundIndexChanged();
    void presetsChanged();
    void importVideoFolderChanged();
    // A preset the user made or renamed could not be written to its file (see
    // IPresetKeeper::presetNotSaved).
    void presetNotSaved(QString name, QString reason);

public slots:
    // The rescan of the presets folder.
    void presetsFolderChanged();

private:
    static QVariant stored(const char* key);
    // The value of `key` when it reads as its type, else its default.
    int number(const char* key) const;
    bool boolean(const char* key) const;
    // Copies a settings file the store cannot read whole aside, before anything is written.
    void keepDamagedFile();
    QString ftuKey(FTU ftu) const;
    QString imageFolder() const;

    QMetaEnum m_ftu;
    DefaultSettings m_defaults;
    QHash<QString, QMetaMethod> m_notifiers;
    QString m_importVideoFolder;
    IPresetKeeper* m_presetKeeper = nullptr;
    QMetaObject::Connection m_keeperChanged;
    QMetaObject::Connection m_keeperGone;
    QMetaObject::Connection m_keeperNotSaved;
};
