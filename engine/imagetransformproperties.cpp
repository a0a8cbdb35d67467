#include "engine/imagetransformproperties.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {

// One quarter turn of the view in `direction` (-1 or 1), keeping the matrix normalised.
void quarterTurn(CIAPI::Transform& t, int direction)
{
    setTransformCropFromView(t, QRectF(0, 0, 1, 1));
    normalizeTransform(t);
    t.rotate90(direction);
}

void mirrorTurn(CIAPI::Transform& t)
{
    setTransformCropFromView(t, QRectF(0, 0, 1, 1));
    normalizeTransform(t);
    t.flipHorizontal();
}

// A turn and mirror as its 2 x 2 matrix (row-major): the mirror follows the turn.
struct Turn
{
    int m[4];
};

Turn matrixOf(TurnAndMirror d)
{
    CIAPI::Transform t;
    t.reset(0);
    t.rotate90(-d.rotation / 90);
    if (d.mirrored)
        t.flipHorizontal();
    return { { t.m(0), t.m(1), t.m(2), t.m(3) } };
}

// a * b^-1; the matrices are orthogonal, so the inverse is the transpose.
Turn timesInverse(const Turn& a, const Turn& b)
{
    return { { a.m[0] * b.m[0] + a.m[1] * b.m[1], a.m[0] * b.m[2] + a.m[1] * b.m[3],
        a.m[2] * b.m[0] + a.m[3] * b.m[1], a.m[2] * b.m[2] + a.m[3] * b.m[3] } };
}

TurnAndMirror decompose(const Turn& e)
{
    for (int rotation : { 0, 90, 180, 270 }) {
        for (bool mirrored : { false, true }) {
            const Turn c = matrixOf({ rotation, mirrored });
            if (std::equal(std::begin(c.m), std::end(c.m), std::begin(e.m)))
                return { rotation, mirrored };
        }
    }
    return {};
}

// The turn and mirror an orientation code shows a picture with untouched.
TurnAndMirror uprightOf(int orientationCode)
{
    CIAPI::Transform t;
    t.reset(orientationCode);
    return ImageTransformProperties::rotationAndMirror(t);
}

} // namespace

// The entries are owned by this object alone (no QObject parent), so the shared pointers
// that other objects keep of them never meet a second owner.
ImageTransformProperties::ImageTransformProperties(QObject* parent)
    : QObject(parent)
    , current(CIAPI::Point<int> { 4, 3 })
    , original(CIAPI::Point<int> { 4, 3 })
    , m_crop(std::make_shared<ImageProperty>(QStringLiteral("crop"), 0))
    , m_isHMirrored(std::make_shared<ImageProperty>(QStringLiteral("isHMirrored"), 0))
    , m_rotation(std::make_shared<ImageProperty>(QStringLiteral("rotation"), 0))
    , m_orientation(std::make_shared<ImageProperty>(QStringLiteral("orientation"), 0))
{
    m_isHMirrored->setCurrentValue(false);
    m_rotation->setCurrentValue(0);
    m_orientation->setCurrentValue(0);
}

void ImageTransformProperties::setFromTransform(const CIAPI::Transform& t, bool asOriginal)
{
    (asOriginal ? original : current) = t;
    const TurnAndMirror d = rotationAndMirror(t);
    const QRectF view = viewCrop(t);
    if (asOriginal) {
        m_crop->setOriginalValue(view);
        m_isHMirrored->setOriginalValue(d.mirrored);
        m_rotation->setOriginalValue(d.rotation);
    } else {
        m_crop->setCurrentValue(view);
        m_isHMirrored->setCurrentValue(d.mirrored);
        m_rotation->setCurrentValue(d.rotation);
    }
}

void ImageTransformProperties::setOrientation(int orientation)
{
    m_orientation->setOriginalValue(orientation);
    m_orientation->setCurrentValue(orientation);
}

int ImageTransformProperties::orientation() const
{
    return m_orientation->currentValue().toInt();
}

void ImageTransformProperties::setCropValue(const QRectF& rect)
{
    m_crop->setCurrentValue(rect);
}

bool ImageTransformProperties::sameAsTransform(const CIAPI::Transform& t) const
{
    const TurnAndMirror d = rotationAndMirror(t);
    return sameCrop(m_crop->currentValue().toRectF(), viewCrop(t))
        && m_isHMirrored->currentValue().toBool() == d.mirrored
        && m_rotation->currentValue().toInt() == d.rotation;
}

bool ImageTransformProperties::applyRotationFrom(const CIAPI::Transform& source, int orientationCode)
{
    const bool changed = turnToOrientation(current, orientation(), source, orientationCode);
    const TurnAndMirror d = rotationAndMirror(current);
    m_rotation->setCurrentValue(d.rotation);
    m_isHMirrored->setCurrentValue(d.mirrored);
    return changed;
}

TurnAndMirror ImageTransformProperties::rotationAndMirror(const CIAPI::Transform& t)
{
    return decomposeTransform(t);
}

bool ImageTransformProperties::isTransformTransposed(const CIAPI::Transform& t)
{
    return ::isTransformTransposed(t);
}

QRectF ImageTransformProperties::viewCrop(const CIAPI::Transform& t)
{
    return viewCropFromTransform(t);
}

void ImageTransformProperties::setViewCrop(CIAPI::Transform& t, const QRectF& rect)
{
    setTransformCropFromView(t, rect);
}

bool ImageTransformProperties::applyCropFrom(CIAPI::Transform& target, const CIAPI::Transform& source)
{
    if (isTransformTransposed(target) != isTransformTransposed(source))
        return false;
    QRectF r = viewCrop(source);
    if (rotationAndMirror(target).rotation != rotationAndMirror(source).rotation)
        r = QRectF(1.0 - r.width() - r.x(), 1.0 - r.y() - r.height(), r.width(), r.height());
    setViewCrop(target, r);
    return true;
}

void ImageTransformProperties::turnTo(CIAPI::Transform& t, int orientation, int relativeRotation, bool flip)
{
    const QRectF v = viewCrop(t);
    t.reset(orientation);
    const int turns = std::abs(relativeRotation / 90);
    for (int i = 0; i < turns; ++i) {
        quarterTurn(t, relativeRotation < 1 ? -1 : 1);
        setViewCrop(t, v);
    }
    if (flip)
        mirrorTurn(t);
    setViewCrop(t, v);
}

bool ImageTransformProperties::turnToOrientation(
    CIAPI::Transform& t, int fileOrientation, const CIAPI::Transform& source, int orientationCode)
{
    const TurnAndMirror before = rotationAndMirror(t);
    // What the user did to the source: the turn and mirror that take its untouched look
    // (its orientation code's) to its look now. The same is done to this picture's untouched
    // look. Turning the code's matrix in place instead would turn a mirrored picture the
    // other way and mirror it once more, so that an undo record (the picture's own look and
    // code) would not give the picture back.
    const TurnAndMirror edit
        = decompose(timesInverse(matrixOf(rotationAndMirror(source)), matrixOf(uprightOf(orientationCode))));
    const QRectF v = viewCrop(t);
    t.reset(fileOrientation);
    t.rotate90(-edit.rotation / 90);
    if (edit.mirrored)
        t.flipHorizontal();
    setViewCrop(t, v);
    return rotationAndMirror(t) != before;
}

bool ImageTransformProperties::sameCrop(const QRectF& a, const QRectF& b)
{
    return ::sameCrop(a, b);
}
