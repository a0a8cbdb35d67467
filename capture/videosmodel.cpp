#include "capture/videosmodel.h"
#include "capture/logging.h"

#include "core/appsettings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include <utility>

VideosModel::VideosModel(QObject* parent)
    : QObject(parent)
    , m_handler(new ProgressHandler(this))
{ }

QVariantList VideosModel::videos() const
{
    QVariantList list;
    for (VideoProperties* video : m_videos)
        list << QVariant::fromValue(video);
    return list;
}

void VideosModel::setAutoSelectionType(AutoSelectionType type)
{
    if (type == m_autoSelectionType)
        return;
    m_autoSelectionType = type;
    emit autoSelectionTypeChanged();
}

void VideosModel::setPausedFlag(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    emit downloadingPausedChanged();
}

void VideosModel::setDownloadingPaused(bool paused)
{
    setPausedFlag(paused);
    if (!paused)
        startNextDownload();
}

void VideosModel::addVideo(QString name, QString objectID, qint64 size, QDateTime dateCreated)
{
    auto* video = new VideoProperties(this);
    video->setName(name);
    video->setFileInfo(name);
    video->setObjectID(objectID);
    video->setSize(size);
    video->setTimestampCreated(dateCreated);
    const auto saved = m_savedMetadata.constFind(name);
    if (saved != m_savedMetadata.constEnd()) {
        video->setRating(saved->rating);
        video->setDuration(saved->duration);
        if (saved->date.isValid())
            video->setTimestampCreated(saved->date.toLocalTime());
        m_savedMetadata.erase(saved);
    }
    if (m_savedThumbnails.contains(name))
        video->setThumbnailPath(m_savedThumbnails.take(name));
    if (VideoProperties* old = m_videos.value(name))
        old->deleteLater();
    m_videos.insert(name, video);
    emit videosChanged();
    emit videoAdded(video);
}

void VideosModel::saveMetadata(QHash<QString, VideosModel::VideoMetadata> metadata)
{
    for (auto it = metadata.constBegin(); it != metadata.constEnd(); ++it) {
        // A video listed already takes its metadata at once.
        if (VideoProperties* video = m_videos.value(it.key())) {
            video->setRating(it->rating);
            video->setDuration(it->duration);
            if (it->date.isValid())
                video->setTimestampCreated(it->date.toLocalTime());
        } else {
            m_savedMetadata.insert(it.key(), it.value());
        }
    }
    if (!m_metadataLoaded) {
        m_metadataLoaded = true;
        emit metadataLoadedChanged();
    }
}

void VideosModel::onThumbnailFound(QString name, QString path)
{
    if (VideoProperties* video = m_videos.value(name))
        video->setThumbnailPath(path);
    else
        m_savedThumbnails.insert(name, path);
}

void VideosModel::importVideos(QStringList namesToImport, bool removeAfterwards)
{
    if (namesToImport.isEmpty())
        return;
    const AppSettings* settings = AppSettings::instance();
    const QString folder = settings ? settings->importVideoFolder()
                                    : QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    const int downloadedBefore = m_downloadedCount;
    const int toDownloadBefore = m_toDownloadCount;
    qint64 added = 0;
    bool newRun = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_queue.isEmpty() && !m_downloading) {
            newRun = true;
            m_bytesDone = 0;
            m_downloadedCount = 0;
            m_toDownloadCount = 0;
        }
        for (const QString& name : qAsConst(namesToImport)) {
            VideoProperties* video = m_videos.value(name);
            if (!video) {
                qCWarning(lcCapture) << "No such video to download" << name;
                continue;
            }
            DownloadRequest request;
            request.objectID = video->objectID();
            request.path = folder + QDir::separator() + video->fileName();
            request.removeAfterwards = removeAfterwards;
            // The view asks before it queues a name that is taken: one taken now is to be
            // replaced, any other is not.
            request.overwrite = QFileInfo::exists(request.path);
            request.size = video->size();
            m_queue.append(request);
            added += request.size;
            ++m_toDownloadCount;
        }
    }
    if (newRun)
        m_handler->start(0);
    m_handler->setMaximumProgress(m_handler->maximumProgress() + added);
    if (m_downloadedCount != downloadedBefore)
        emit downloadedCountChanged();
    if (m_toDownloadCount != toDownloadBefore)
        emit toDownloadCountChanged();
    setPausedFlag(false);
    startNextDownload();
}

void VideosModel::startNextDownload()
{
    DownloadRequest next;
    {
        QMutexLocker lock(&m_mutex);
        if (m_downloading || m_queue.isEmpty())
            return;
        m_downloading = true;
        next = m_queue.takeFirst();
    }
    emit requestDownload(next);
}

void VideosModel::onProgress(qlonglong downloaded)
{
    qint64 done;
    {
        QMutexLocker lock(&m_mutex);
        done = m_bytesDone;
    }
    m_handler->setProgress(done + downloaded);
}

QString VideosModel::nameOf(const QString& objectID) const
{
    for (auto it = m_videos.constBegin(); it != m_videos.constEnd(); ++it)
        if (it.value()->objectID() == objectID)
            return it.key();
    return QString();
}

void VideosModel::onVideoImported(VideosModel::DownloadRequest request)
{
    if (request.objectID.isEmpty())
        return;
    qint64 done;
    bool queueEmpty;
    {
        QMutexLocker lock(&m_mutex);
        ++m_downloadedCount;
        m_downloading = false;
        m_bytesDone += request.size;
        done = m_bytesDone;
        queueEmpty = m_queue.isEmpty();
    }
    m_handler->setProgress(done);
    emit downloadedCountChanged();
    const QString name = nameOf(request.objectID);
    // Only a video that arrived whole may go from the camera: after a failed download the
    // camera holds the only copy.
    if (request.removeAfterwards && request.result == DownloadResultError::None && !name.isEmpty())
        removeVideos({ name });
    else if (request.removeAfterwards && request.result != DownloadResultError::None)
        qCWarning(lcCapture) << "Video kept on the camera, its download failed" << name
                             << int(request.result);
    if (queueEmpty)
        setPausedFlag(true);
    emit downloadingFinished(name, request.result);
    if (!m_paused)
        startNextDownload();
}

void VideosModel::pauseDownloading()
{
    if (!m_paused) {
        setPausedFlag(true);
        return;
    }
    bool queued;
    {
        QMutexLocker lock(&m_mutex);
        queued = !m_queue.isEmpty();
    }
    if (queued)
        setDownloadingPaused(false);
}

void VideosModel::cancelDownloading()
{
    dropQueue(false);
    if (m_paused)
        setDownloadingPaused(false);
}

void VideosModel::dropQueue(bool withCamera)
{
    QList<DownloadRequest> dropped;
    bool wasDownloading = false;
    {
        QMutexLocker lock(&m_mutex);
        dropped.swap(m_queue);
        if (withCamera)
            wasDownloading = std::exchange(m_downloading, false);
        m_toDownloadCount -= dropped.size();
    }
    if (withCamera && (!dropped.isEmpty() || wasDownloading))
        qCInfo(lcCapture) << "Video downloads dropped with their camera:" << dropped.size() << "queued,"
                          << (wasDownloading ? "one under way" : "none under way");
    qint64 bytes = 0;
    for (const DownloadRequest& request : qAsConst(dropped))
        bytes += request.size;
    if (!dropped.isEmpty()) {
        m_handler->setMaximumProgress(m_handler->maximumProgress() - bytes);
        emit toDownloadCountChanged();
    }
}

void VideosModel::removeVideos(QStringList indexesToRemove)
{
    if (indexesToRemove.isEmpty())
        return;
    QStringList ids;
    for (const QString& name : qAsConst(indexesToRemove)) {
        VideoProperties* video = m_videos.take(name);
        if (!video)
            continue;
        ids << video->objectID();
        video->deleteLater();
    }
    if (ids.isEmpty())
        return;
    emit videosChanged();
    emit requestRemoving(ids);
}

void VideosModel::clear()
{
    dropQueue(true);
    setPausedFlag(true);
    m_savedMetadata.clear();
    if (m_metadataLoaded) {
        m_metadataLoaded = false;
        emit metadataLoadedChanged();
    }
    for (VideoProperties* video : qAsConst(m_videos))
        video->deleteLater();
    m_videos.clear();
    m_savedThumbnails.clear();
    emit videosChanged();
}
