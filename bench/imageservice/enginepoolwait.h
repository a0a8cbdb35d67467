#pragma once

#include <QString>

namespace imageservicebench {

// How long an editor's render waits on the engine's own worker pool while the image service
// draws a folder of thumbnails there, against the same render's run time on an idle pool.
// `pictures` demo pictures, each indexed `copies` times; files go below `folder`. Rounds
// alternate between background work at lowered CPU priority and not.
void editorRenderWait(const QString& folder, int pictures, int copies, int rounds);

} // namespace imageservicebench
