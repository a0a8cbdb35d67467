#pragma once

#include <QUrl>

class QObject;
class ImageRouter;
class VrxMessage;

// A listener of render output: gallery cells and the editor canvas implement it as a
// second base. Every call arrives on the router's (GUI) thread.
class ImageClient
{
public:
    // The implementing object, or null. A non-null object is dropped from a router's
    // listeners automatically when it is destroyed.
    virtual QObject* object() = 0;
    virtual void imageOutput(const VrxMessage& message) = 0;
    virtual void fileInvalid(QUrl location) = 0;
    // The router that served this client has dropped all its listeners (it was cleared
    // or destroyed); a client bound to it unbinds itself. Called once per detachment.
    virtual void routerDetached(ImageRouter* router) = 0;
    // Whether the client shows the file's output now. Output that no client shows may be
    // dropped by a cache, and is sent again when the client asks for it.
    virtual bool showsOutput() const { return true; }
    virtual ~ImageClient() = default;
};
