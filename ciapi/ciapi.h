#pragma once

// Our imaging engine. Callers include this one header.
namespace CIAPI {

// Releases the engine's process-wide resources (joins its worker threads).
// Safe to call more than once; the engine may be used again afterwards.
void StaticShutdown();

} // namespace CIAPI
