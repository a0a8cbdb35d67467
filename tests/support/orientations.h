#pragma once

#include "ciapi/transform.h"

#include <QByteArray>

namespace ostra::test {

// The eight ways the view can show a picture: quarter turns, mirrored or not.
struct Orientation
{
    int rotation;
    bool mirrored;
};

inline constexpr Orientation kAllOrientations[] = { { 0, false }, { 90, false }, { 180, false },
    { 270, false }, { 0, true }, { 90, true }, { 180, true }, { 270, true } };

// The transform the view shows as `o`, built the way the editor builds it (crop untouched).
inline CIAPI::Transform turnedTransform(Orientation o, CIAPI::Point<int> aspect = { 4, 3 })
{
    CIAPI::Transform t(aspect);
    t.reset(0);
    if (o.rotation)
        t.rotate90(-o.rotation / 90);
    if (o.mirrored)
        t.flipHorizontal();
    return t;
}

inline QByteArray orientationName(Orientation o)
{
    return QByteArray::number(o.rotation) + (o.mirrored ? " mirrored" : "");
}

} // namespace ostra::test
