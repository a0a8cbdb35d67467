#pragma once

#include "core/progresshandler.h"
#include "engine/videoproperties.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariant>

// The camera's videos, one VideoProperties object each, and the queue that downloads the
// chosen ones one after another. The camera session does the downloading: it answers
// `requestDownload` with `onProgress` and `onVideoImported`.
class VideosModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariantList videos READ videos NOTIFY videosChanged)
    Q_PROPERTY(AutoSelectionType autoSelectionType READ autoSelectionType WRITE setAutoSelectionType NOTIFY
            autoSelectionTypeChanged)
    Q_PROPERTY(bool downloadingPaused READ downloadingPaused WRITE setDownloadingPaused NOTIFY
            downloadingPausedChanged)
    Q_PROPERTY(int downloadedCount READ downloadedCount NOTIFY downloadedCountChanged)
    Q_PROPERTY(int toDownloadCount READ toDownloadCount NOTIFY toDownloadCountChanged)
    Q_PROPERTY(bool videosExists READ videosExists NOTIFY videosChanged)
    Q_PROPERTY(bool metadataLoaded READ metadataLoaded NOTIFY metadataLoadedChanged)
    Q_PROPERTY(ProgressHandler* downloadingHandler READ downloadingHandler CONSTANT)

public:
    enum AutoSelectionType { None = 0, Custom = 1, All = 2, Rated = 3 };
    Q_ENUM(AutoSelectionType)
    enum class DownloadResultError { None = 0, AnotherExists = 1, CannotWrite = 2, NoDiskSpace = 3 };
    Q_ENUM(DownloadResultError)

    // One video to download.
    struct DownloadRequest
    {
        QString objectID; // the video on the camera
        QString path; // where it goes
        bool removeAfterwards = false; // delete it on the camera once it is safely here
        qint64 size = 0; // bytes
        DownloadResultError result = DownloadResultError::None;
        // A file of that name was there when it was queued, and the user chose to replace
        // it; otherwise a file that takes the name meanwhile is kept (AnotherExists).
        bool overwrite = false;
    };

    // What the camera's video table says of a video.
    struct VideoMetadata
    {
        int rating = 0;
        int duration = 0;
        QDateTime date;
    };

    explicit VideosModel(QObject* parent = nullptr);

    QVariantList videos() const;
    // The listed video of that name (null when none).
    VideoProperties* video(const QString& name) const { return m_videos.value(name); }
    AutoSelectionType autoSelectionType() const { return m_autoSelectionType; }
    void setAutoSelectionType(AutoSelectionType type);
    bool downloadingPaused() const { return m_paused; }
    void setDownloadingPaused(bool paused);
    int downloadedCount() const { return m_downloadedCount; }
    int toDownloadCount() const { return m_toDownloadCount; }
    bool videosExists() const { return !m_videos.isEmpty(); }
    bool metadataLoaded() const { return m_metadataLoaded; }
    ProgressHandler* downloadingHandler() const { return m_handler; }

    Q_INVOKABLE void importVideos(QStringList namesToImport, bool removeAfterwards);
    Q_INVOKABLE void pauseDownloading();
    Q_INVOKABLE void cancelDownloading();
    Q_INVOKABLE void removeVideos(QStringList indexesToRemove);
    // The camera is gone: its videos, and the downloads queued or under way from it, which
    // will not be answered any more (the queue is left paused, ready for the next camera).
    void clear();

public slots:
    void addVideo(QString name, QString objectID, qint64 size, QDateTime dateCreated);
    void saveMetadata(QHash<QString, VideosModel::VideoMetadata> metadata);
    void onThumbnailFound(QString name, QString path);
    void onProgress(qlonglong downloaded);
    void onVideoImported(VideosModel::DownloadRequest request);

signals:
    void videosChanged();
    void autoSelectionTypeChanged();
    void downloadingPausedChanged();
    void downloadedCountChanged();
    void toDownloadCountChanged();
    void metadataLoadedChanged();
    void requestRemoving(QStringList objectIDs);
    void requestDownload(VideosModel::DownloadRequest request);
    void downloadingFinished(QString name, VideosModel::DownloadResultError error);
    void videoAdded(VideoProperties* video);

private:
    // Drops the downloads not started yet, with their share of the progress; with the
    // camera, the download under way is forgotten too (it ends with the camera).
    void dropQueue(bool withCamera);
    void startNextDownload();
    void setPausedFlag(bool paused);
    QString nameOf(const QString& objectID) const;

    QHash<QString, VideoProperties*> m_videos;
    QHash<QString, VideoMetadata> m_savedMetadata;
    QHash<QString, QString> m_savedThumbnails;
    QList<DownloadRequest> m_queue;
    QMutex m_mutex;
    bool m_downloading = false;
    qint64 m_bytesDone = 0;
    ProgressHandler* m_handler;
    AutoSelectionType m_autoSelectionType = None;
    bool m_paused = true;
    int m_downloadedCount = 0;
    int m_toDownloadCount = 0;
    bool m_metadataLoaded = false;
};

Q_DECLARE_METATYPE(VideosModel::DownloadRequest)
Q_DECLARE_METATYPE(VideosModel::VideoMetadata)
