#pragma once

#include "capture/capturelistener.h"
#include "capture/captureproxy.h"
#include "platform/portabledevice.h"

#include <QHash>
#include <QMutex>
#include <QThreadPool>

#include <memory>

// Watches the portable devices and keeps those of the maker (manufacturer "Quelt", or
// "Unknown" for a device that does not say); opens sessions on them. The device list is
// refreshed on a thread of its own (refreshing may open devices) and compared here; a
// change that arrives during a refresh leads to one more refresh afterwards.
class WinCaptureProxy : public CaptureListener, public CaptureProxy
{
    Q_OBJECT
public:
    // Does not take the manager, which must be safe to use from other threads.
    explicit WinCaptureProxy(IPortableDeviceManager* manager, QObject* parent = nullptr);
    ~WinCaptureProxy() override;

    void start() override;
    // Returns at once: the device is opened on the session's thread (one that cannot be
    // opened lists nothing). An id the manager does not list gives a NilSessionProxy.
    SessionProxy* createSession(CaptureRequest request, SessionListener* listener) override;
    void stop() override;

public slots:
    void reenumerate();

private:
    void apply(const QList<PortableDeviceInfo>& devices);

    // The manager as the sessions' threads see it: gone with this object, so that a
    // device opened late never reaches a manager that is no more.
    struct Opener
    {
        QMutex mutex;
        IPortableDeviceManager* manager = nullptr;
    };

    IPortableDeviceManager* m_manager;
    std::shared_ptr<Opener> m_opener = std::make_shared<Opener>();
    bool m_started = false;
    bool m_refreshing = false;
    bool m_again = false;
    QThreadPool m_discovery;
    QHash<QString, QString> m_known; // id -> friendly name
};
