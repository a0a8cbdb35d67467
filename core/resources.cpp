#include "core/resources.h"

#include <QtGlobal>

// Outside any namespace, as the resource initialiser's declaration requires.
static bool registerCoreResources()
{
    Q_INIT_RESOURCE(resources);
    Q_INIT_RESOURCE(fonts);
    return true;
}

namespace ostra {

void initResources()
{
    // A function-local static: its first use runs once, even when threads race for it.
    static const bool registered = registerCoreResources();
    Q_UNUSED(registered);
}

} // namespace ostra
