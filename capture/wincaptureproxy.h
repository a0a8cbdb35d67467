#pragma once

#include "capture/capturelistener.h"
#include "capture/captureproxy.h"

#include <QHash>

class IPortableDeviceManager;

// Watches the portable devices and keeps those of the maker (manufacturer "Quelt", or
// "Unknown" for a device that does not say); opens sessions on them.
class WinCaptureProxy : public CaptureListener, public CaptureProxy
{
    Q_OBJECT
public:
    // Does not take the manager.
    explicit WinCaptureProxy(IPortableDeviceManager* manager, QObject* parent = nullptr);

    void start() override;
    SessionProxy* createSession(CaptureRequest request, SessionListener* listener) override;
    void stop() override;

public slots:
    void reenumerate();

private:
    IPortableDeviceManager* m_manager;
    bool m_started = false;
    QHash<QString, QString> m_known; // id -> friendly name
};
