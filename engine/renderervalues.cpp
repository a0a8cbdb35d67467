#include "engine/renderervalues.h"

RendererValues::RendererValues(const CIAPI::RendererBase& from)
{
    properties().assign(from.properties().snapshot());
    transform() = from.transform();
}
