#pragma once

#include <QObject>

class QQuickWindow;

// Listens for the main window losing its scene graph (and with it every GL texture
// the display items hold).
class BufferBanker : public QObject
{
    Q_OBJECT
public:
    explicit BufferBanker(QObject* parent = nullptr);

    // Connects the window's sceneGraphInvalidated directly, so the slot runs in the
    // render thread while the context is still current.
    void connectWindow(QQuickWindow* window);

public slots:
    void sceneGraphInvalidated();
};
