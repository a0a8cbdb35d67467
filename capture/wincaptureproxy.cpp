#include "capture/wincaptureproxy.h"

#include "capture/logging.h"
#include "capture/nilsessionproxy.h"
#include "capture/sessionlistener.h"
#include "capture/winsessionproxy.h"
#include "core/replytarget.h"

#include <QMutexLocker>

using namespace PortableDevice;

WinCaptureProxy::WinCaptureProxy(std::shared_ptr<IPortableDeviceManager> manager, QObject* parent)
    : CaptureListener(parent)
    , m_manager(std::move(manager))
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    m_opener->manager = m_manager;
    if (m_manager)
        connect(m_manager.get(), &IPortableDeviceManager::devicesChanged, this, &WinCaptureProxy::reenumerate,
            Qt::QueuedConnection);
}

WinCaptureProxy::WinCaptureProxy(IPortableDeviceManager* manager, QObject* parent)
    : WinCaptureProxy(
        std::shared_ptr<IPortableDeviceManager>(manager, [](IPortableDeviceManager*) {}), parent)
{ }

WinCaptureProxy::~WinCaptureProxy()
{
    m_started = false;
    m_replies->close();
    {
        // Sessions opened from now on find no manager; an open under way keeps its share.
        QMutexLocker lock(&m_opener->mutex);
        m_opener->manager.reset();
    }
    // A device that hangs in the refresh (which may open it) does not hold the quit.
    if (!m_discovery.leave(kLeaveMs))
        qCWarning(lcCapture) << "A device refresh is still under way: left to end on its own";
}

void WinCaptureProxy::start()
{
    m_started = true;
    reenumerate();
}

void WinCaptureProxy::stop()
{
    m_started = false;
}

void WinCaptureProxy::reenumerate()
{
    if (!m_manager || !m_started)
        return;
    if (m_refreshing) {
        m_again = true;
        return;
    }
    m_refreshing = true;
    // The task owns what it uses: it may outlive this object (see the destructor).
    const std::shared_ptr<IPortableDeviceManager> manager = m_manager;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_discovery.start([this, manager, replies] {
        if (manager->refresh() != kOk)
            qCWarning(lcCapture) << "reenumerate refresh";
        const QList<PortableDeviceInfo> devices = manager->devices();
        replies->post([this, devices] {
            m_refreshing = false;
            apply(devices);
            if (std::exchange(m_again, false))
                reenumerate();
        });
    });
}

void WinCaptureProxy::apply(const QList<PortableDeviceInfo>& devices)
{
    if (!m_started)
        return;
    QHash<QString, QString> snapshot = m_known;
    for (const PortableDeviceInfo& info : devices) {
        if (info.manufacturer != QLatin1String("Quelt") && info.manufacturer != QLatin1String("Unknown"))
            continue;
        const CaptureDevice device { info.id, info.friendlyName, CaptureDevice::kPortableDevice };
        m_known.insert(info.id, info.friendlyName);
        if (snapshot.remove(info.id))
            emit notifyCaptureDeviceUpdated(device);
        else
            emit notifyCaptureDeviceFound(device);
    }
    for (auto it = snapshot.constBegin(); it != snapshot.constEnd(); ++it) {
        m_known.remove(it.key());
        emit notifyCaptureDeviceLost(CaptureDevice { it.key(), it.value(), CaptureDevice::kPortableDevice });
    }
}

SessionProxy* WinCaptureProxy::createSession(CaptureRequest request, SessionListener* listener)
{
    // The manager's list is what its last refresh found: no device is asked here.
    bool listed = false;
    if (m_manager)
        for (const PortableDeviceInfo& info : m_manager->devices())
            listed = listed || info.id == request.deviceId;
    if (!listed) {
        qCWarning(lcCapture) << "Cannot open" << request.deviceId << "(not listed)";
        return new NilSessionProxy;
    }
    qCDebug(lcCapture) << "WinSessionProxy" << request.deviceId;
    const std::shared_ptr<Opener> opener = m_opener;
    const QString id = request.deviceId;
    auto* session = new WinSessionProxy(
        [opener, id](bool readOnly, std::unique_ptr<IPortableDevice>* device) {
            std::shared_ptr<IPortableDeviceManager> manager;
            {
                QMutexLocker lock(&opener->mutex);
                manager = opener->manager;
            }
            // Not under the lock: an open that hangs holds no one but this session.
            return manager ? manager->open(id, readOnly, device) : kFailed;
        },
        request, listener);
    // Targets are let go of through the listener, which asks the image service.
    session->setBailiff(listener);
    return session;
}
