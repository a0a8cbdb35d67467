#include "capture/wincaptureproxy.h"

#include "capture/logging.h"
#include "capture/nilsessionproxy.h"
#include "capture/sessionlistener.h"
#include "capture/winsessionproxy.h"

#include <QMutexLocker>

using namespace PortableDevice;

WinCaptureProxy::WinCaptureProxy(IPortableDeviceManager* manager, QObject* parent)
    : CaptureListener(parent)
    , m_manager(manager)
{
    m_discovery.setMaxThreadCount(1);
    m_opener->manager = m_manager;
    if (m_manager)
        connect(m_manager, &IPortableDeviceManager::devicesChanged, this, &WinCaptureProxy::reenumerate,
            Qt::QueuedConnection);
}

WinCaptureProxy::~WinCaptureProxy()
{
    m_started = false;
    m_discovery.waitForDone();
    // An open under way ends first (the manager goes after this object).
    QMutexLocker lock(&m_opener->mutex);
    m_opener->manager = nullptr;
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
    IPortableDeviceManager* manager = m_manager;
    m_discovery.start([this, manager] {
        if (manager->refresh() != kOk)
            qCWarning(lcCapture) << "reenumerate refresh";
        const QList<PortableDeviceInfo> devices = manager->devices();
        // The destructor waits for this task: the object is still there.
        QMetaObject::invokeMethod(
            this,
            [this, devices] {
                m_refreshing = false;
                apply(devices);
                if (std::exchange(m_again, false))
                    reenumerate();
            },
            Qt::QueuedConnection);
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
            QMutexLocker lock(&opener->mutex);
            return opener->manager ? opener->manager->open(id, readOnly, device) : kFailed;
        },
        request, listener);
    // Targets are let go of through the listener, which asks the image service.
    session->setBailiff(listener);
    return session;
}
