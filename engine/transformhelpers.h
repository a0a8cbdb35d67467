#pragma once

#include "ciapi/transform.h"

#include <QRectF>

// The geometry of a picture is an engine transform: one of the eight quarter turns and
// mirrors, and a crop in fractions of the unturned frame. The user sees and edits the crop
// in the turned and mirrored view. These helpers translate between the two forms; the
// image properties, the editor's geometry tool and the display items all use them, so the
// conversions agree everywhere.

// Rotation in degrees (0, 90, 180, 270) and mirroring of a transform, as the view shows it.
struct TurnAndMirror
{
    int rotation = 0;
    bool mirrored = false;
    bool operator==(const TurnAndMirror& o) const { return rotation == o.rotation && mirrored == o.mirrored; }
    bool operator!=(const TurnAndMirror& o) const { return !(*this == o); }
};

// The matrix turns a quarter (width and height swap).
bool isTransformTransposed(const CIAPI::Transform& t);
bool isTransformMirrored(const CIAPI::Transform& t);
// A matrix that fits none of the eight sign patterns counts as 0 degrees, not mirrored.
TurnAndMirror decomposeTransform(const CIAPI::Transform& t);
// Rebuilds the matrix from its decomposition (the crop becomes the full frame).
void normalizeTransform(CIAPI::Transform& t);

// The smallest width and height of a crop, in view fractions: the crop tool makes none
// smaller, and a stored crop smaller than this is grown to it.
constexpr double kSmallestCropSide = 0.05;
// `view` (in [0, 1]) grown about its centre to at least the smallest side, inside [0, 1].
QRectF atLeastSmallestCrop(const QRectF& view);

// The transform's crop as the view shows it, clamped to [0, 1].
QRectF viewCropFromTransform(const CIAPI::Transform& t);
// Sets the transform's crop from a rectangle of the view.
void setTransformCropFromView(CIAPI::Transform& t, const QRectF& view);

// The crop of a quarter-turned transform is kept in the picture's own axes, squeezed into
// the turned frame (so the whole view reaches outside [0, 1]). This is the part of the
// unturned picture that the crop shows, in fractions of the picture, for code that cuts
// pixels; for other transforms it is the crop itself.
CIAPI::RectF pictureCropFromFrame(const CIAPI::Transform& t);

// A transform whose frame aspect is not the picture's (a 16:9 frame recorded for a picture
// rendered 4:3) takes the picture's aspect, keeping the part of the view it shows. Every
// ratio drawn from the transform (crop presets, cells, exports) then matches the pixels.
// False when nothing changed (unset transform, no size, same aspect).
bool fitTransformToPicture(CIAPI::Transform& t, int pictureWidth, int pictureHeight);
// The same for a renderer's picture, whose size follows its focal length; false also
// when the renderer has no picture it can render.
bool fitTransformToPicture(CIAPI::Transform& t, float focalLength);

// Two crops are the same when each of left, top, width and height agree to about five
// significant digits (a difference against an exact 0 never agrees).
bool sameCrop(const QRectF& a, const QRectF& b);
// The same relative test for two numbers.
bool fuzzyEqualRelative(double a, double b);
