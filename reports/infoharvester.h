#pragma once

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QUrl>
#include <QVariantMap>
#include <QWaitCondition>

#include <memory>

#include "core/progressmodel.h"

class QQuickItem;
class ICrashEvents;
class IDriverList;

// Gathers one user problem into a zip archive in the report folder: machine and
// application facts, the user's feedback, the driver list, crash events, screenshots,
// attached files and, on request, the databases. `commit` writes it on the global
// pool and announces it with `newReport`.
class InfoHarvester : public QObject
{
    Q_OBJECT
    Q_PROPERTY(ProgressModel* progress READ progress CONSTANT)
    Q_PROPERTY(QString bugReportPrefix READ bugReportPrefix WRITE setBugReportPrefix)
    Q_PROPERTY(bool needScrShot READ needScrShot WRITE setNeedScrShot)
    Q_PROPERTY(bool needAppData READ needAppData WRITE setNeedAppData)
    Q_PROPERTY(bool needAddenda READ needAddenda WRITE setNeedAddenda)
    Q_PROPERTY(bool addVrxState READ addVrxState WRITE setAddVrxState)
    Q_PROPERTY(QUrl userFile READ userFile WRITE setUserFile)
    Q_PROPERTY(bool hasFiles READ hasFiles NOTIFY filesChanged)
    Q_PROPERTY(QStringList files READ files NOTIFY filesChanged)
    Q_PROPERTY(int sizeLimitMb READ sizeLimitMb WRITE setSizeLimitMb)
    Q_PROPERTY(int decimalKilo READ decimalKilo WRITE setDecimalKilo)
    Q_PROPERTY(QQuickItem* screen READ screen WRITE setScreen)
public:
    class ScreenshotProvider;

    static constexpr int kDriverTimeoutMs = 30000;

    explicit InfoHarvester(QObject* parent = nullptr);
    // Waits for every archive under way.
    ~InfoHarvester() override;

    ProgressModel* progress() const { return m_progress; }
    bool hasFiles() const { return !m_files.isEmpty(); }
    QStringList files() const;
    QDir reportFolder() const { return m_reportFolder; }
    QString bugReportPrefix() const { return m_bugReportPrefix; }
    bool needScrShot() const { return m_needScrShot; }
    bool needAppData() const { return m_needAppData; }
    bool needAddenda() const { return m_needAddenda; }
    bool addVrxState() const { return m_addVrxState; }
    // The last file asked for, attached or not.
    QUrl userFile() const { return m_userFile; }
    int sizeLimitMb() const { return m_sizeLimitMb; }
    int decimalKilo() const { return m_decimalKilo; }
    QQuickItem* screen() const;

    // Attaches a file when it is within the size limit, else `notifyOversized`.
    void addUserFile(const QFileInfo& info);

    // Where crash events and the driver list come from (journal and kernel modules
    // unless set), and how long a report waits for the driver list.
    void setCrashEvents(std::shared_ptr<ICrashEvents> source);
    void setDriverList(std::shared_ptr<IDriverList> list, int timeoutMs = kDriverTimeoutMs);

    // An image URL that grabs the anchor's window when it is fetched, anew for every call.
    Q_INVOKABLE QUrl captureWindow(QQuickItem* anchor, const QString& name);
    Q_INVOKABLE void addFeedback(const QString& name, const QString& text);

public slots:
    void setBugReportPrefix(const QString& prefix) { m_bugReportPrefix = prefix; }
    void setNeedScrShot(bool on);
    void setNeedAppData(bool on) { m_needAppData = on; }
    void setNeedAddenda(bool on);
    void setAddVrxState(bool on) { m_addVrxState = on; }
    void setUserFile(const QUrl& url);
    void setSizeLimitMb(int megabytes) { m_sizeLimitMb = megabytes; }
    void setDecimalKilo(int kilo);
    void setScreen(QQuickItem* item);
    void commit();
    void cancel() { }
    // Announces the complete archives of the report folder (newReport, by name) and removes
    // what an earlier run left half written; the folder is read off this thread.
    void listReports();
    // A listing is under way or its reports wait to be announced.
    bool isListing() const { return m_listing > 0; }

signals:
    void filesChanged();
    void notifyOversized(const QString& fileName, int size, int sizeLimit);
    void newReport(const QUrl& report);

private:
    qint64 sizeLimit() const { return qint64(m_sizeLimitMb) * m_bytesPerMb; }
    bool withinLimit(const QFileInfo& info);
    void storeScreenshot(const QString& name, const QImage& image);

    // Archive and listing jobs under way; the destructor waits until none is left. (A semaphore of
    // INT_MAX permits, all taken at once, is never woken by Qt 5.15's futex semaphore.)
    QMutex m_jobsMutex;
    QWaitCondition m_jobsDone;
    int m_runningJobs = 0;
    // The partial paths of the archives under way.
    QSet<QString> m_writing;
    int m_listing = 0; // GUI thread
    ProgressModel* m_progress;
    QDir m_baseFolder;
    QDir m_reportFolder;
    QString m_installationId;
    QString m_bugReportPrefix;
    bool m_needScrShot = false;
    bool m_needAppData = false;
    bool m_needAddenda = false;
    bool m_addVrxState = false;
    QJsonObject m_guiFacts;
    QVariantMap m_feedback;
    QList<QFileInfo> m_files;
    QHash<QString, QImage> m_screenshots;
    int m_sizeLimitMb = 10;
    // Bytes per megabyte: the decimal kilo squared.
    int m_decimalKilo = 1000;
    qint64 m_bytesPerMb = 1000 * 1000;
    QUrl m_userFile;
    QPointer<QQuickItem> m_screen;
    std::shared_ptr<ICrashEvents> m_crashEvents;
    std::shared_ptr<IDriverList> m_driverList;
    int m_driverTimeoutMs = kDriverTimeoutMs;
};
