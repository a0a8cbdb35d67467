#pragma once

namespace CIAPI {

class RendererBase;

// Applies one of the engine's tuning types (render defaults) to a renderer.
void ApplyTuning(int type, RendererBase& renderer);

} // namespace CIAPI
