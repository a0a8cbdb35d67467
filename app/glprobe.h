#pragma once

#include "engine/channelorder.h"

class QOpenGLContext;
class QQuickWindow;

namespace ostra {

// GL_BGRA when the context has "GL_EXT_bgra", else GL_RGBA; `fallback` when there
// is no valid context. The context must be current in the calling thread.
int channelOrderOf(QOpenGLContext* context, int fallback);

// Waits for the window's first scene-graph initialisation, for at most `timeoutMs`,
// and returns the channel order of its context; `fallback` when the window gets no
// usable context in time. Only timers and posted events are handled meanwhile.
int probeChannelOrder(QQuickWindow* window, int fallback, int timeoutMs);

} // namespace ostra
