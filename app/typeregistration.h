#pragma once

#include "core/identity.h"

// Registration of the value types and QML types of every subsystem, in one place,
// so the order of registration stays the documented one.
namespace ostra {

// Registers the meta types that cross threads and reach QML.
void registerMetaTypes();

// Registers the QML module "com.quelt.ostra" 2.0: its uncreatable gadget, the
// module, the creatable types and the two singletons.
void registerQmlTypes();

} // namespace ostra
