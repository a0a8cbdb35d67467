#pragma once

#include <QPointer>
#include <QQuickImageProvider>
#include <QQuickItem>

#include <functional>

#include "reports/infoharvester.h"

// Grabs the anchor item's window whenever its image is requested and hands the grab
// to a store (the harvester's screenshots, under the provider's name).
class InfoHarvester::ScreenshotProvider : public QQuickImageProvider
{
public:
    using Store = std::function<void(const QImage&)>;

    ScreenshotProvider(QQuickItem* anchor, Store store);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

private:
    QPointer<QQuickItem> m_anchor;
    Store m_store;
};
