#include "core/powerservices.h"

#include "platform/keepawakecounter.h"
#include "platform/logindinhibitor.h"
#include "platform/powersupplyreader.h"

namespace {

KeepAwakeCounter& counter()
{
    static LogindInhibitor inhibitor;
    static KeepAwakeCounter instance(inhibitor);
    return instance;
}

} // namespace

void keepAwake(bool awayMode, const QString& reason)
{
    Q_UNUSED(awayMode)
    counter().acquire(reason);
}

void allowSleep()
{
    counter().release();
}

bool isOnAcPower()
{
    return PowerSupplyReader().onAcPower();
}
