#pragma once

#include "capture/videosmodel.h"
#include "pipeline/interfaces/recipe.h"

#include <QString>
#include <QUrl>

#include <cstdint>

// One open session of a transport with one device, owned by the capture session. It
// reports only through the session listener it was created with.
class SessionProxy
{
public:
    virtual ~SessionProxy() = default;
    // Enumerates the device: files, reserved files, presets and videos, then the end.
    virtual void start() = 0;
    // Fetches the file the recipe's file key names into `target`.
    virtual void transfer(QUrl target, Recipe recipe) = 0;
    virtual void fetchPreset(QString path, QString objectId, uint32_t size) = 0;
    virtual void cancelPendingRequests() = 0;
    // How many transfers the device channel takes at once (0: the pipeline copies itself).
    virtual int capacity() = 0;
    // Deletes (or on a volume retires) one file on the device.
    virtual void remove(QString remoteId) = 0;
    virtual void fetchVideo(VideosModel::DownloadRequest request) = 0;
    // True for a real device transport.
    virtual bool isDevice() = 0;
    // An extension no transport has yet: never present, and running it does nothing.
    virtual bool hasExtension() = 0;
    virtual void runExtension() = 0;
};
