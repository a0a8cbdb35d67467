#pragma once

#include "capture/capturelistener.h"
#include "capture/captureproxy.h"
#include "platform/portabledevice.h"

#include <QHash>
#include <QMutex>

#include <memory>

#include "core/leavableworker.h"

class ReplyTarget;

// Watches the portable devices and keeps those of the maker (manufacturer "Quelt", or
// "Unknown" for a device that does not say); opens sessions on them. The device list is
// refreshed on a thread of its own (refreshing may open devices) and compared here; a
// change that arrives during a refresh leads to one more refresh afterwards. Going never
// waits long for a device: a refresh under way is waited for kLeaveMs at most, an open
// under way not at all; both then end on their own, keeping the manager until they do.
class WinCaptureProxy : public CaptureListener, public CaptureProxy
{
    Q_OBJECT
public:
    // Shares the manager, which must be safe to use from other threads, with the refresh
    // and the opens under way.
    explicit WinCaptureProxy(std::shared_ptr<IPortableDeviceManager> manager, QObject* parent = nullptr);
    // Does not take the manager, which must outlive every refresh and open it serves.
    explicit WinCaptureProxy(IPortableDeviceManager* manager, QObject* parent = nullptr);
    ~WinCaptureProxy() override;

    static constexpr int kLeaveMs = 1000;

    void start() override;
    // Returns at once: the device is opened on the session's thread (one that cannot be
    // opened lists nothing). An id the manager does not list gives a NilSessionProxy.
    SessionProxy* createSession(CaptureRequest request, SessionListener* listener) override;
    void stop() override;

public slots:
    void reenumerate();

private:
    void apply(const QList<PortableDeviceInfo>& devices);

    // The manager as the sessions' threads see it: none once this object is gone, so that
    // a session opened late opens nothing. An open under way keeps its own share.
    struct Opener
    {
        QMutex mutex;
        std::shared_ptr<IPortableDeviceManager> manager;
    };

    std::shared_ptr<IPortableDeviceManager> m_manager;
    std::shared_ptr<Opener> m_opener = std::make_shared<Opener>();
    std::shared_ptr<ReplyTarget> m_replies;
    bool m_started = false;
    bool m_refreshing = false;
    bool m_again = false;
    LeavableWorker m_discovery;
    QHash<QString, QString> m_known; // id -> friendly name
};
