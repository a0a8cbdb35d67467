#pragma once

#include "capture/capturedimage.h"
#include "capture/videosmodel.h"
#include "core/progressratio.h"
#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/ibailiff.h"
#include "pipeline/interfaces/recipe.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QVector>

#include <cstdint>

class CaptureSession;

// The signals through which a transport reports to its capture session. Transports that
// work on threads of their own emit them from there; the session's connections bring
// them to the GUI thread. It is also the bailiff a transport asks to let go of a file
// before replacing it, forwarding to the image service's.
class SessionListener : public QObject, public IBailiff
{
    Q_OBJECT
public:
    // A listener that reaches no session (transports under test).
    explicit SessionListener(QObject* parent = nullptr);
    // The session's own listener: a child of the session, its signals connected to it.
    SessionListener(IBailiff* bailiff, CaptureSession* session);

    std::shared_ptr<QSemaphoreReleaser> evictPath(QString path) override;
    std::shared_ptr<QSemaphoreReleaser> evict(QUrl url) override;

    // Cuts every connection to the session and stops reporting: the device is gone.
    void detach();

signals:
    void notifyEnumerated(bool enumerated);
    void notifyProgress(QUrl location, Recipe recipe, ProgressRatio progress);
    void notifyItemsFound(QList<CapturedImage> images);
    void notifyPresetFound(QString name, QString objectID, uint32_t size);
    void notifyVideoThumbnailReady(QString name, QString path);
    void notifyVideoFound(QString name, QString objectID, qint64 size, QDateTime dateCreated);
    void reportProgress(qlonglong downloaded);
    void videoDownloaded(VideosModel::DownloadRequest request);
    void notifyItemsRemoved(QStringList idList);
    void notifyObstacle(QUrl location, Recipe recipe, IFileSink::Error error);
    void notifyReserved(QString fileName, QUrl location);
    void notifyItemFile(QUrl location, Recipe recipe);
    // Brackets reports that belong together (copies forced to disk at once): the session
    // has the pipeline journal them in one transaction.
    void notifyBatch(bool open);
    void notifyDeviceLost();
    void notifyDeviceStarted();

private:
    IBailiff* m_bailiff = nullptr;
    QVector<QMetaObject::Connection> m_connections;
};
