#pragma once

#include <QObject>
#include <QUrl>

class DepthClient;
class ImageClient;
class ImageEditor;

// The few calls the display items make on the image service: thumbnails for their
// listeners, an editor lent for the canvas, a rating and the GL channel order the
// service's pixels come in.
class IImageService
{
public:
    virtual ~IImageService() = default;

    // Sends `client` the file's output, rendering it when none is kept.
    virtual void requestLoad(QUrl url, ImageClient* client) = 0;
    virtual void releaseClient(QUrl url, ImageClient* client) = 0;
    // Lends an editor with the file open in it; blocks while none is free.
    virtual ImageEditor* openForView(QUrl url, DepthClient* client) = 0;
    // The same without waiting: null when no editor can be lent now (both lent, or being
    // saved after they were handed back). The service's object then emits editorFreed()
    // once one is free again.
    virtual ImageEditor* tryOpenForView(QUrl url, DepthClient* client) = 0;
    virtual void releaseEditorSlot(ImageEditor* editor, ImageClient* client) = 0;
    virtual void rate(QUrl url, int rating) = 0;
    // The GL pixel format of its pictures: GL_RGBA or GL_BGRA.
    virtual int channelOrder() const = 0;

    // The key under which a file is known everywhere in the service: the absolute,
    // clean URL of the path as it was asked for (links are not resolved).
    static QUrl fileKey(const QUrl& url);
};

Q_DECLARE_INTERFACE(IImageService, "com.quelt.ostra.IImageService")
