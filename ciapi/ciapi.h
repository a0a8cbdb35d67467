#pragma once

// Our imaging engine. Callers include this one header.
#include "ciapi/backgroundwork.h"
#include "ciapi/deptheditor.h"
#include "ciapi/directrenderer.h"
#include "ciapi/image.h"
#include "ciapi/parameters.h"
#include "ciapi/propertyaccessor.h"
#include "ciapi/renderer.h"
#include "ciapi/rendererbase.h"
#include "ciapi/statefileeditor.h"
#include "ciapi/stream.h"
#include "ciapi/transform.h"
#include "ciapi/tuning.h"

namespace CIAPI {

// Releases the engine's process-wide resources (joins its worker threads).
// Safe to call more than once; the engine may be used again afterwards.
void StaticShutdown();

} // namespace CIAPI
