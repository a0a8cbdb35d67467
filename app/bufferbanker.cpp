#include "app/bufferbanker.h"

#include <QQuickWindow>

BufferBanker::BufferBanker(QObject* parent)
    : QObject(parent)
{ }

void BufferBanker::connectWindow(QQuickWindow* window)
{
    connect(window, &QQuickWindow::sceneGraphInvalidated, this, &BufferBanker::sceneGraphInvalidated,
        Qt::DirectConnection);
}

void BufferBanker::sceneGraphInvalidated()
{
    // Nothing is banked yet: the texture tiles release themselves with their nodes.
}
