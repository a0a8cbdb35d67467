#include "capture/wincaptureproxy.h"

#include "capture/logging.h"
#include "capture/nilsessionproxy.h"
#include "capture/sessionlistener.h"
#include "capture/winsessionproxy.h"
#include "platform/portabledevice.h"

using namespace PortableDevice;

WinCaptureProxy::WinCaptureProxy(IPortableDeviceManager* manager, QObject* parent)
    : CaptureListener(parent)
    , m_manager(manager)
{
    if (m_manager)
        connect(m_manager, &IPortableDeviceManager::devicesChanged, this, &WinCaptureProxy::reenumerate,
            Qt::QueuedConnection);
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
    if (m_manager->refresh() != kOk)
        qCWarning(lcCapture) << "reenumerate refresh";
    QHash<QString, QString> snapshot = m_known;
    const QList<PortableDeviceInfo> devices = m_manager->devices();
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
    std::unique_ptr<IPortableDevice> device;
    Result result = m_manager ? m_manager->open(request.deviceId, false, &device) : kFailed;
    if (result == kAccessDenied)
        result = m_manager->open(request.deviceId, true, &device);
    if (result != kOk || !device) {
        qCWarning(lcCapture) << "Cannot open" << request.deviceId << QString::number(result, 16);
        return new NilSessionProxy;
    }
    qCDebug(lcCapture) << "WinSessionProxy" << request.deviceId;
    auto* session = new WinSessionProxy(std::move(device), request, listener);
    // Targets are let go of through the listener, which asks the image service.
    session->setBailiff(listener);
    return session;
}
