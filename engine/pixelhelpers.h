#pragma once

#include "ciapi/image.h"

#include <QSizeF>

#include <cstdint>

// The full rectangle of an image {0, 0, width, height}.
CIAPI::ROI imageRect(const CIAPI::Image& image);

// Exchanges bytes 0 and 2 of every 32-bit pixel of `rows` rows of `width` pixels, rows
// `stride` bytes apart, in place (RGBA to BGRA and back). Never touches a byte at or
// past `end`, nor the padding between rows. `data` and `stride` are multiples of 4.
void swapRedBlue(uint8_t* data, int width, int rows, int stride, const uint8_t* end);

// Shrink factors that fit a frame of the given width/height ratio into w x h.
QSizeF aspectScale(qreal w, qreal h, qreal ratio);
