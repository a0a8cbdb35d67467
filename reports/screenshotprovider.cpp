#include "reports/screenshotprovider.h"

#include <QQuickWindow>
#include <QThread>

InfoHarvester::ScreenshotProvider::ScreenshotProvider(QQuickItem* anchor, Store store)
    : QQuickImageProvider(QQuickImageProvider::Image)
    , m_anchor(anchor)
    , m_store(std::move(store))
{ }

QImage InfoHarvester::ScreenshotProvider::requestImage(
    const QString& id, QSize* size, const QSize& requestedSize)
{
    Q_UNUSED(id)
    QImage image;
    const auto grab = [this, &image] {
        QQuickWindow* window = m_anchor ? m_anchor->window() : nullptr;
        // A window that was never shown has nothing to grab (and grabbing it crashes).
        if (!window || !window->isExposed())
            return;
        image = window->grabWindow();
        m_store(image);
    };
    // A window is grabbed, and the harvester touched, on the GUI thread only.
    QQuickItem* anchor = m_anchor;
    if (!anchor)
        return image;
    if (QThread::currentThread() == anchor->thread())
        grab();
    else
        QMetaObject::invokeMethod(anchor, grab, Qt::BlockingQueuedConnection);
    if (size)
        *size = image.size();
    if (requestedSize.isValid() && !image.isNull())
        return image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
