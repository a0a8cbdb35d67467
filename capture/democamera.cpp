#include "capture/democamera.h"

#include "capture/logging.h"
#include "platform/folderdevice.h"

#include <QDir>

FolderDeviceManager* demoCameraManager(QObject* parent)
{
    const QString folder = qEnvironmentVariable("OSTRA_DEMO_CAMERA");
    if (folder.isEmpty())
        return nullptr;
    if (!QDir(folder).exists()) {
        qCWarning(lcCapture) << "OSTRA_DEMO_CAMERA names no folder:" << folder;
        return nullptr;
    }
    auto* manager = new FolderDeviceManager(parent);
    const QString id = manager->attach(folder, QStringLiteral("Z40 (demo)"), QStringLiteral("Quelt"));
    qCInfo(lcCapture) << "Demo camera" << id;
    return manager;
}
