#pragma once

#include "capture/capturedimage.h"
#include "capture/videosmodel.h"
#include "core/progressratio.h"
#include "pipeline/ifilesink.h"
#include "pipeline/interfaces/recipe.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <cstdint>

// The signals through which a transport reports to its capture session. Transports that
// work on threads of their own emit them from there; the session's connections bring
// them to the GUI thread.
class SessionListener : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

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
    void notifyDeviceLost();
    void notifyDeviceStarted();
};
