#include "app/typeregistration.h"

#include <QtQml>

#include "engine/fileperm.h"

namespace ostra {

void registerMetaTypes()
{
    // Meta types, in their documented order; each subsystem adds its own as it lands.
}

void registerQmlTypes()
{
    // Uncreatable gadget, then the module, then the creatable types in their documented
    // order, then the singletons.
    qmlRegisterModule(applicationId, 2, 0);
    qmlRegisterType<FilePerm>(applicationId, 2, 0, "FilePerm");
}

} // namespace ostra
