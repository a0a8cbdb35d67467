#pragma once

// Registration of the value types and QML types of every subsystem, in one place,
// so the order of registration stays the documented one.
namespace ostra {

// Registers the meta types that cross threads and reach QML.
void registerMetaTypes();

// Registers the QML module "com.quelt.ostra" 2.0: its uncreatable gadget, the
// module, the creatable types and the two singletons.
void registerQmlTypes();

// The QML module URI; also the organisation domain and the default local socket name.
constexpr const char* applicationId = "com.quelt.ostra";

} // namespace ostra
