#pragma once

#include <QString>

namespace imageservicebench {

// CPU time of a gallery thumbnail drawn from the raw file against `vipsthumbnail` on the
// same pixels: one thread and all threads; prints the ratios and the aim. `pictures` demo
// pictures, each drawn `repeats` times; files go below `folder`.
void thumbnailCpu(const QString& folder, int pictures, int repeats);

} // namespace imageservicebench
