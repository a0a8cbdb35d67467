#include "platform/portabledevice.h"

const char* const PortableDevice::kRootId = "DEVICE";

bool isSingleNameComponent(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}
