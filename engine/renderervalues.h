#pragma once

#include "ciapi/rendererbase.h"

// The parameters and the transform of a renderer as they were at one moment, readable
// like a renderer (without its input). Plain data: made on one thread, read on another.
class RendererValues : public CIAPI::RendererBase
{
public:
    explicit RendererValues(const CIAPI::RendererBase& from);
};
