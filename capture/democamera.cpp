#include "capture/democamera.h"

#include "capture/logging.h"
#include "capture/wincaptureproxy.h"
#include "platform/folderdevice.h"

#include <QDir>

WinCaptureProxy* startDemoCamera(QObject* parent)
{
    const QString folder = qEnvironmentVariable("OSTRA_DEMO_CAMERA");
    if (folder.isEmpty())
        return nullptr;
    if (!QDir(folder).exists()) {
        qCWarning(lcCapture) << "OSTRA_DEMO_CAMERA names no folder:" << folder;
        return nullptr;
    }
    auto* manager = new FolderDeviceManager;
    auto* proxy = new WinCaptureProxy(manager, parent);
    manager->setParent(proxy);
    QObject::connect(proxy, &CaptureListener::notifyCaptureDeviceFound,
        [](CaptureDevice device) { qCInfo(lcCapture) << "Demo camera" << device.name << device.deviceId; });
    manager->attach(folder, QStringLiteral("Z40 (demo)"), QStringLiteral("Quelt"));
    proxy->start();
    return proxy;
}
