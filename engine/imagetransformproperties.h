#pragma once

#include "ciapi/transform.h"
#include "engine/imageproperty.h"
#include "engine/transformhelpers.h"

#include <QObject>
#include <QRectF>

#include <memory>

// A picture's geometry as the engine's transform, mirrored into four entries (crop as the
// view shows it, mirror, rotation in degrees, the file's orientation code) that the editor
// binds to. It also re-applies rotation, mirror and crop from one picture to another.
class ImageTransformProperties : public QObject
{
    Q_OBJECT

public:
    explicit ImageTransformProperties(QObject* parent = nullptr);

    CIAPI::Transform current;
    CIAPI::Transform original;

    std::shared_ptr<ImageProperty> crop() const { return m_crop; }
    std::shared_ptr<ImageProperty> isHMirrored() const { return m_isHMirrored; }
    std::shared_ptr<ImageProperty> rotation() const { return m_rotation; }
    std::shared_ptr<ImageProperty> orientationProperty() const { return m_orientation; }

    // Copies t into the original or the current transform and updates the entries' original
    // or current values to match.
    void setFromTransform(const CIAPI::Transform& t, bool asOriginal);
    // Both values of the orientation entry (original first).
    void setOrientation(int orientation);
    int orientation() const;
    // Only the crop entry's current value.
    void setCropValue(const QRectF& rect);
    // The current entries describe t (crop within rounding).
    bool sameAsTransform(const CIAPI::Transform& t) const;
    // Turns `current` to the rotation and mirror of `source`, taken relative to the source
    // file's orientation code, keeping this file's orientation as the base; true when the
    // geometry changed.
    bool applyRotationFrom(const CIAPI::Transform& source, int orientationCode);

    // Transform operations shared with the batch edits.
    static TurnAndMirror rotationAndMirror(const CIAPI::Transform& t);
    static bool isTransformTransposed(const CIAPI::Transform& t);
    static QRectF viewCrop(const CIAPI::Transform& t);
    static void setViewCrop(CIAPI::Transform& t, const QRectF& rect);
    // Copies the view crop of `source` onto `target`; refused (false) when exactly one of
    // them is turned a quarter. Pictures turned half a turn apart get the crop reflected
    // through the centre.
    static bool applyCropFrom(CIAPI::Transform& target, const CIAPI::Transform& source);
    static void turnTo(CIAPI::Transform& t, int orientation, int relativeRotation, bool flip);
    // Gives t, a picture of orientation code `fileOrientation`, the turn and mirror the user
    // gave `source`, a picture of code `orientationCode`, keeping t's view crop; true when
    // t's turn or mirror changed.
    static bool turnToOrientation(
        CIAPI::Transform& t, int fileOrientation, const CIAPI::Transform& source, int orientationCode);
    static bool sameCrop(const QRectF& a, const QRectF& b);

private:
    std::shared_ptr<ImageProperty> m_crop;
    std::shared_ptr<ImageProperty> m_isHMirrored;
    std::shared_ptr<ImageProperty> m_rotation;
    std::shared_ptr<ImageProperty> m_orientation;
};
