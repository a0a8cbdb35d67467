#include "capture/sessionlistener.h"

#include "capture/capturesession.h"

SessionListener::SessionListener(QObject* parent)
    : QObject(parent)
{ }

SessionListener::SessionListener(IBailiff* bailiff, CaptureSession* session)
    : QObject(session)
    , m_bailiff(bailiff)
{
    // Automatic connections: reports emitted on a transport's own threads arrive queued.
    using L = SessionListener;
    using S = CaptureSession;
    m_connections = {
        connect(this, &L::notifyReserved, session, &S::onReserved),
        connect(this, &L::notifyEnumerated, session, &S::onEnumerated),
        connect(this, &L::notifyProgress, session, &S::onProgress),
        connect(this, &L::notifyItemsFound, session, &S::onItemsFound),
        connect(this, &L::notifyPresetFound, session, &S::notifyPresetFound),
        connect(this, &L::notifyVideoThumbnailReady, session, &S::notifyVideoThumbnailReady),
        connect(this, &L::notifyVideoFound, session, &S::notifyVideoFound),
        connect(this, &L::notifyItemsRemoved, session, &S::onItemsRemoved),
        connect(this, &L::notifyItemFile, session, &S::onItemFile),
        connect(this, &L::notifyBatch, session, &S::onBatch),
        connect(this, &L::notifyObstacle, session, &S::onObstacle),
        connect(this, &L::notifyDeviceLost, session, &S::onDeviceLost),
        connect(this, &L::notifyDeviceStarted, session, &S::deviceFound),
        connect(this, &L::reportProgress, session, &S::reportProgress),
        connect(this, &L::videoDownloaded, session, &S::videoDownloaded),
    };
}

std::shared_ptr<QSemaphoreReleaser> SessionListener::evictPath(QString path)
{
    return m_bailiff ? m_bailiff->evictPath(path) : std::shared_ptr<QSemaphoreReleaser>();
}

std::shared_ptr<QSemaphoreReleaser> SessionListener::evict(QUrl url)
{
    return m_bailiff ? m_bailiff->evict(url) : std::shared_ptr<QSemaphoreReleaser>();
}

void SessionListener::detach()
{
    blockSignals(true);
    setParent(nullptr);
    for (const QMetaObject::Connection& connection : qAsConst(m_connections))
        disconnect(connection);
    m_connections.clear();
}
