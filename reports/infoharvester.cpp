#include "reports/infoharvester.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QQmlEngine>
#include <QQuickItem>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThreadPool>
#include <QUuid>

#include "core/appsettings.h"
#include "core/asynctask.h"
#include "engine/statefile.h"
#include "reports/commoninfo.h"
#include "reports/journalcrashevents.h"
#include "reports/kernelmodulelist.h"
#include "reports/logging.h"
#include "reports/reportarchive.h"
#include "reports/screenshotprovider.h"

InfoHarvester::InfoHarvester(QObject* parent)
    : QObject(parent)
    , m_progress(new ProgressModel(this))
    , m_crashEvents(std::make_shared<JournalCrashEvents>())
    , m_driverList(std::make_shared<KernelModuleList>())
{
    QString cache = AppSettings::fileCacheFolder();
    if (cache.isEmpty())
        cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    m_baseFolder = QDir(cache);
    m_baseFolder.mkpath(QStringLiteral("evidence"));
    m_reportFolder = QDir(m_baseFolder.filePath(QStringLiteral("evidence")));
    m_installationId = AppSettings::installationUid().toString(QUuid::WithoutBraces);
}

InfoHarvester::~InfoHarvester()
{
    QMutexLocker lock(&m_jobsMutex);
    while (m_runningJobs > 0)
        m_jobsDone.wait(&m_jobsMutex);
}

QStringList InfoHarvester::files() const
{
    QStringList names;
    for (const QFileInfo& info : m_files)
        names << info.fileName();
    return names;
}

void InfoHarvester::setCrashEvents(std::shared_ptr<ICrashEvents> source)
{
    m_crashEvents = std::move(source);
}

void InfoHarvester::setDriverList(std::shared_ptr<IDriverList> list, int timeoutMs)
{
    m_driverList = std::move(list);
    m_driverTimeoutMs = timeoutMs;
}

void InfoHarvester::setNeedScrShot(bool on)
{
    m_needScrShot = on;
    if (!on)
        m_screenshots.clear();
}

void InfoHarvester::setNeedAddenda(bool on)
{
    m_needAddenda = on;
    if (!on) {
        m_files.clear();
        emit filesChanged();
    }
}

void InfoHarvester::setDecimalKilo(int kilo)
{
    // A zero would divide by zero when an oversized file's size is reported.
    m_decimalKilo = kilo == 0 ? 1000 : kilo;
    m_bytesPerMb = qint64(m_decimalKilo) * m_decimalKilo;
}

bool InfoHarvester::withinLimit(const QFileInfo& info)
{
    if (info.size() <= sizeLimit())
        return true;
    emit notifyOversized(info.fileName(), int(info.size() / m_bytesPerMb), m_sizeLimitMb);
    return false;
}

void InfoHarvester::addUserFile(const QFileInfo& info)
{
    if (!withinLimit(info))
        return;
    m_files.append(info);
    m_needAddenda = true;
    emit filesChanged();
}

void InfoHarvester::setUserFile(const QUrl& url)
{
    m_userFile = url;
    const QFileInfo info(url.toLocalFile());
    if (!withinLimit(info))
        return;
    m_files.clear();
    m_files.append(info);
    m_needAddenda = true;
    if (m_addVrxState && info.suffix() == QLatin1String("vrx"))
        m_files.append(QFileInfo(stateFilePathFor(QUrl::fromLocalFile(info.absoluteFilePath()))));
    emit filesChanged();
}

void InfoHarvester::addFeedback(const QString& name, const QString& text)
{
    m_feedback.insert(name, text);
}

QQuickItem* InfoHarvester::screen() const
{
    return m_screen;
}

void InfoHarvester::setScreen(QQuickItem* item)
{
    m_screen = item;
    m_guiFacts = CommonInfo::guiFacts(item);
}

void InfoHarvester::storeScreenshot(const QString& name, const QImage& image)
{
    m_screenshots.insert(name, image);
}

QUrl InfoHarvester::captureWindow(QQuickItem* anchor, const QString& name)
{
    QQmlEngine* engine = qmlEngine(this);
    if (!engine || !anchor) {
        qCWarning(lcReports) << "Can't capture the window: no" << (engine ? "anchor item" : "QML engine");
        return QUrl();
    }
    if (!engine->imageProvider(name)) {
        QPointer<InfoHarvester> self(this);
        engine->addImageProvider(name, new ScreenshotProvider(anchor, [self, name](const QImage& image) {
            if (self)
                self->storeScreenshot(name, image);
        }));
    }
    return QUrl(QStringLiteral("image://") + name + QLatin1Char('/') + QUuid::createUuid().toString());
}

void InfoHarvester::commit()
{
    ReportArchive archive;
    const QString baseName = m_bugReportPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces);
    archive.path = m_reportFolder.absoluteFilePath(baseName + QStringLiteral(".zip"));

    archive.feedback.swap(m_feedback);
    archive.feedback.insert(QStringLiteral("appVersion"), QCoreApplication::applicationVersion());
    archive.feedback.insert(QStringLiteral("osPlatform"), QSysInfo::prettyProductName());
    archive.feedback.insert(QStringLiteral("osVersion"), QSysInfo::productVersion());
    archive.feedback.insert(QStringLiteral("qtVersion"), QLibraryInfo::version().toString());
    archive.feedback.insert(QStringLiteral("localTime"), QDateTime::currentDateTime());
    archive.feedback.insert(QStringLiteral("installId"), m_installationId);
    archive.feedback.insert(QStringLiteral("reportKey"), baseName);

    archive.commonInfo = CommonInfo::build(m_guiFacts);

    if (m_needScrShot)
        archive.screenshots.swap(m_screenshots);
    if (m_needAddenda)
        archive.files = m_files;
    if (m_needAppData) {
        for (const QString& database : { AppSettings::sessionDatabase(), AppSettings::recipesDatabase(),
                 AppSettings::historyDatabase(), AppSettings::hasBeenDatabase() }) {
            if (!database.isEmpty() && database != QLatin1String(":memory:"))
                archive.files.append(QFileInfo(database));
        }
    }

    if (m_crashEvents) {
        QList<QByteArray> events;
        QString error;
        if (!m_crashEvents->query(
                QFileInfo(QCoreApplication::applicationFilePath()).fileName(), events, error))
            qCWarning(lcReports) << "Crash events:" << error;
        archive.crashEvents = ReportArchive::nameCrashEvents(events);
    }
    archive.drivers = m_driverList;
    archive.driverTimeoutMs = m_driverTimeoutMs;

    {
        QMutexLocker lock(&m_jobsMutex);
        ++m_runningJobs;
        m_writing.insert(archive.partialPath());
    }
    auto* task = new AsyncTask(
        [this, archive] {
            // Only a complete archive is announced: a failed one is not there to upload.
            if (archive.write()) {
                const QUrl report = QUrl::fromLocalFile(archive.path);
                QMetaObject::invokeMethod(
                    this, [this, report] { emit newReport(report); }, Qt::QueuedConnection);
            }
            QMutexLocker lock(&m_jobsMutex);
            m_writing.remove(archive.partialPath());
            if (--m_runningJobs == 0)
                m_jobsDone.wakeAll();
        },
        true);
    task->start(QThreadPool::globalInstance());
}

void InfoHarvester::listReports()
{
    {
        QMutexLocker lock(&m_jobsMutex);
        ++m_runningJobs;
    }
    ++m_listing;
    const QDir folder = m_reportFolder;
    const QString prefix = m_bugReportPrefix;
    auto* task = new AsyncTask(
        [this, folder, prefix] {
            // Archives still being written have another name; those left over by an earlier
            // run that ended while writing are incomplete for good.
            const QStringList partial = folder.entryList(
                { prefix + QStringLiteral("*.zip") + QLatin1String(ReportArchive::kPartialSuffix) },
                QDir::Files | QDir::Hidden);
            for (const QString& name : partial) {
                const QString path = folder.absoluteFilePath(name);
                QMutexLocker lock(&m_jobsMutex);
                if (!m_writing.contains(path) && !QFile::remove(path))
                    qCWarning(lcReports) << "Can't remove the incomplete report" << path;
            }
            QList<QUrl> reports;
            for (const QString& name :
                folder.entryList({ prefix + QStringLiteral("*.zip") }, QDir::Files, QDir::Name))
                reports << QUrl::fromLocalFile(folder.absoluteFilePath(name));
            QMetaObject::invokeMethod(
                this,
                [this, reports] {
                    --m_listing;
                    for (const QUrl& report : reports)
                        emit newReport(report);
                },
                Qt::QueuedConnection);
            QMutexLocker lock(&m_jobsMutex);
            if (--m_runningJobs == 0)
                m_jobsDone.wakeAll();
        },
        true);
    task->start(QThreadPool::globalInstance());
}
