#include "app/importservices.h"

#include "capture/democamera.h"
#include "platform/combineddevicemanager.h"
#include "platform/folderdevice.h"
#include "platform/mtpdevicemanager.h"

#include <QQmlContext>

ImportServices::ImportServices(const QString& journal, IPortableDeviceManager* manager)
{
    logger.setDelegate(&router);
    logger.setDbConnString(journal);
    devices = std::make_unique<CaptureFacade>(manager);
    devices->setPipeline(&logger);
}

IPortableDeviceManager* ImportServices::deviceManagers()
{
    auto* combined = new CombinedDeviceManager;
    combined->add(new MtpDeviceManager(combined));
    combined->add(demoCameraManager(combined));
    return combined;
}

void ImportServices::expose(QQmlContext* context)
{
    context->setContextProperty(QStringLiteral("pipelineRouter"), &router);
    context->setContextProperty(QStringLiteral("pipelineLogger"), &logger);
    context->setContextProperty(QStringLiteral("devicesModel"), devices.get());
}

void ImportServices::start()
{
    devices->preload();
    logger.start();
}
