#pragma once

#include "capture/capturerequest.h"

class SessionListener;
class SessionProxy;

// One camera transport: finds devices (reported through its capture listener) and opens
// sessions with them.
class CaptureProxy
{
public:
    virtual ~CaptureProxy() = default;
    virtual void start() = 0;
    // Never null: a device that cannot be opened gets a NilSessionProxy. The caller owns it.
    virtual SessionProxy* createSession(CaptureRequest request, SessionListener* listener) = 0;
    virtual void stop() = 0;
};
