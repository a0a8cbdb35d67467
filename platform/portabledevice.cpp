#include "platform/portabledevice.h"

const char* const PortableDevice::kRootId = "DEVICE";

bool isSingleNameComponent(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

PortableDevice::Result readPropertiesInBatches(IPortableDevice& device, const QStringList& ids,
    const std::function<bool()>& cancelled, const std::function<void(const QList<DeviceObject>&)>& batchRead)
{
    QList<DeviceObject> batch;
    for (const QString& id : ids) {
        if (cancelled())
            return PortableDevice::kCancelled;
        DeviceObject object;
        if (device.properties(id, &object) == PortableDevice::kOk)
            batch << object;
        if (batch.size() == 100) {
            batchRead(batch);
            batch.clear();
        }
    }
    if (!batch.isEmpty())
        batchRead(batch);
    return PortableDevice::kOk;
}
