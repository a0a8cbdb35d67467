#include "engine/imageproperties.h"
#include "engine/logging.h"

#include "ciapi/rendererbase.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlEngine>
#include <QSignalBlocker>
#include <QSysInfo>

#include <cmath>
#include <limits>

namespace {

struct ToneSpec
{
    const char* name;
    int parameter;
    int min;
    int max;
};

constexpr ToneSpec kTuneTone[] = {
    { "exposure", 2, -3, 3 },
    { "contrast", 7, -100, 100 },
    { "temp", 3, 2000, 20000 },
    { "tint", 4, -150, 150 },
    { "vibrance", 9, -100, 100 },
    { "saturation", 8, -100, 100 },
    { "sharpening", 13, -100, 100 },
};

float engineValue(const QVariant& value)
{
    return float(value.toDouble());
}

float rendererValue(const CIAPI::RendererBase& renderer, int parameter)
{
    return renderer.getProperty(CIAPI::FloatParam(parameter));
}

int fileOrientation(const CIAPI::RendererBase& renderer)
{
    return int(renderer.getProperty(CIAPI::IntParam::Orientation));
}

const int kVersionMajor = 1;
const int kVersionMinor = 0;

// Quarter turns repeat after a full turn; a hostile document's huge rotation must not
// make the turn loop run for minutes.
int oneTurnAtMost(int degrees)
{
    return degrees % 360;
}

// Orientation codes run from 0 to 7; anything else is taken as the upright 0.
int knownOrientation(int code)
{
    return code >= 0 && code <= 7 ? code : 0;
}

// The turn and mirror that, applied to the upright picture of `orientation` the way a
// reader of the document applies them (ImageTransformProperties::turnTo), give the turn
// and mirror of `t`.
TurnAndMirror relativeTurn(const CIAPI::Transform& t, int orientation)
{
    const TurnAndMirror wanted = ImageTransformProperties::rotationAndMirror(t);
    for (int degrees : { 0, 90, 180, 270 }) {
        for (bool flip : { false, true }) {
            CIAPI::Transform candidate(t.aspectRatio());
            ImageTransformProperties::turnTo(candidate, orientation, degrees, flip);
            if (ImageTransformProperties::rotationAndMirror(candidate) == wanted)
                return { degrees, flip };
        }
    }
    return {};
}

// Seconds from 1970 to the end of year 9999: a creation time outside is no time at all.
constexpr double kLatestSeconds = 253402300799.0;

// "timestampUTC" is seconds since 1970; files made by the camera carry an ISO date instead.
// A number out of range (or not a number) gives the epoch, as a missing member does.
QDateTime createdFrom(const QJsonValue& value)
{
    QDateTime created;
    if (value.isString()) {
        created = QDateTime::fromString(value.toString(), Qt::ISODate);
    } else {
        const double seconds = value.toDouble(0.0);
        if (std::isfinite(seconds) && std::fabs(seconds) <= kLatestSeconds)
            created = QDateTime::fromSecsSinceEpoch(qint64(seconds));
    }
    return created.isValid() ? created.toLocalTime() : QDateTime::fromSecsSinceEpoch(0);
}

// A JSON number that is a whole int, else `fallback` (never an out-of-range conversion).
int wholeNumber(const QJsonValue& value, int fallback)
{
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (!(number >= double(std::numeric_limits<int>::min())
            && number <= double(std::numeric_limits<int>::max()))
        || std::trunc(number) != number)
        return fallback;
    return int(number);
}

} // namespace

ImageProperties::ImageProperties(QObject* parent)
    : Z40ElementProperties(parent)
    , m_transform(std::make_shared<ImageTransformProperties>())
{
    for (const ToneSpec& tone : kTuneTone) {
        auto entry = std::make_shared<ImageNumberProperty>(
            QString::fromLatin1(tone.name), tone.parameter, tone.min, tone.max);
        entry->setCurrentValue(0);
        // The entries live as long as this object, whatever the QML engine thinks.
        QQmlEngine::setObjectOwnership(entry.get(), QQmlEngine::CppOwnership);
        connect(entry.get(), &ImageProperty::currentValueChanged, this, &ImageProperties::changed);
        m_tuneTone.append(entry);
    }
}

ImageProperties::~ImageProperties() = default;

QVariant ImageProperties::tuneToneProperties() const
{
    QVariantList list;
    for (const auto& entry : m_tuneTone)
        list.append(QVariant::fromValue(static_cast<QObject*>(entry.get())));
    return list;
}

bool ImageProperties::isTuneToneOriginal() const
{
    for (const auto& entry : m_tuneTone) {
        if (entry->currentValue() != entry->originalValue()
            || entry->currentValue().isValid() != entry->originalValue().isValid())
            return false;
    }
    return true;
}

std::shared_ptr<ImageNumberProperty> ImageProperties::tuneToneEntry(const QString& name) const
{
    for (const auto& entry : m_tuneTone) {
        if (entry->name() == name)
            return entry;
    }
    return nullptr;
}

void ImageProperties::cloneProperties(ImageProperties* another)
{
    if (!another || another == this)
        return;
    for (int i = 0; i < m_tuneTone.size() && i < another->m_tuneTone.size(); ++i) {
        m_tuneTone[i]->setOriginalValue(another->m_tuneTone.at(i)->originalValue());
        m_tuneTone[i]->setCurrentValue(another->m_tuneTone.at(i)->currentValue());
    }
    const CIAPI::Transform t = another->m_transform->current;
    m_transform->setFromTransform(t, false);
    m_transform->setFromTransform(t, true);
    m_transform->setOrientation(another->m_transform->orientation());
}

void ImageProperties::copyFrom(ImageProperties& other)
{
    if (&other == this)
        return;
    m_completed = 0;
    m_rotationAndMirrorPatched = other.m_rotationAndMirrorPatched;
    m_cropPatched = other.m_cropPatched;
    m_patch.clear();
    m_transform->setFromTransform(other.m_transform->current, other.m_transform->orientation() != 0);
    for (const auto& entry : other.m_patch) {
        if (auto own = tuneToneEntry(entry->name())) {
            // A patch entry without its value would save or apply this object's stale value.
            own->setCurrentValue(entry->currentValue());
            m_patch.append(own);
        }
    }
}

void ImageProperties::markTuneTonePatch(ImageProperty* property, bool shouldPatch)
{
    std::shared_ptr<ImageProperty> own;
    for (const auto& entry : m_tuneTone) {
        if (entry.get() == property)
            own = entry;
    }
    if (!own)
        return;
    const bool present = m_patch.contains(own);
    if (shouldPatch && !present)
        m_patch.append(own);
    else if (!shouldPatch)
        m_patch.removeAll(own);
}

void ImageProperties::markCustomPatch(int customPatch, bool shouldPatch)
{
    if (customPatch == RotationAndMirror)
        m_rotationAndMirrorPatched = shouldPatch;
    else if (customPatch == Crop)
        m_cropPatched = shouldPatch;
}

bool ImageProperties::hasPatch() const
{
    return m_cropPatched || m_rotationAndMirrorPatched || !m_patch.isEmpty();
}

bool ImageProperties::takePatchedTones(const ImageProperties& patch)
{
    bool changed = false;
    for (const auto& p : patch.m_patch) {
        for (const auto& q : m_tuneTone) {
            if (q->name() == p->name() && q->currentValue() != p->currentValue()) {
                q->setCurrentValue(p->currentValue());
                changed = true;
            }
        }
    }
    return changed;
}

void ImageProperties::applyPatch(ImageProperties* patch)
{
    if (!patch)
        return;
    bool toneChanged = false;
    bool geometryChanged = false;
    {
        const QSignalBlocker blocker(this);
        toneChanged = takePatchedTones(*patch);
        if (patch->m_rotationAndMirrorPatched)
            geometryChanged = m_transform->applyRotationFrom(
                patch->m_transform->current, patch->m_transform->orientation());
        if (patch->m_cropPatched) {
            if (!ImageTransformProperties::applyCropFrom(m_transform->current, patch->m_transform->current))
                patch->m_skippedCrops = 1;
            geometryChanged = true;
            m_transform->setCropValue(ImageTransformProperties::viewCrop(m_transform->current));
        }
    }
    if (geometryChanged)
        emit transformChanged();
    else if (toneChanged)
        emit changed();
}

void ImageProperties::resetPatch(ImageProperties* patch)
{
    if (!patch)
        return;
    bool toneChanged = false;
    bool geometryChanged = false;
    {
        const QSignalBlocker blocker(this);
        toneChanged = takePatchedTones(*patch);
        if (patch->m_rotationAndMirrorPatched)
            geometryChanged = m_transform->applyRotationFrom(
                patch->m_transform->current, patch->m_transform->orientation());
        if (patch->m_cropPatched) {
            ImageTransformProperties::setViewCrop(
                m_transform->current, ImageTransformProperties::viewCrop(patch->m_transform->current));
            geometryChanged = true;
            m_transform->setCropValue(ImageTransformProperties::viewCrop(m_transform->current));
        }
    }
    if (geometryChanged)
        emit transformChanged();
    if (toneChanged)
        emit changed();
}

void ImageProperties::revertToOriginal()
{
    bool toneChanged = false;
    bool geometryChanged = false;
    {
        const QSignalBlocker blocker(this);
        for (const auto& entry : m_tuneTone) {
            if (entry->currentValue() != entry->originalValue()) {
                entry->setCurrentValue(entry->originalValue());
                toneChanged = true;
            }
        }
        if (!m_transform->sameAsTransform(m_transform->original)) {
            m_transform->setFromTransform(m_transform->original, false);
            geometryChanged = true;
        }
    }
    if (geometryChanged)
        emit transformChanged();
    else if (toneChanged)
        emit changed();
}

void ImageProperties::resetTuneTone()
{
    bool toneChanged = false;
    {
        const QSignalBlocker blocker(this);
        for (const auto& entry : m_tuneTone) {
            if (entry->currentValue() != entry->originalValue()) {
                entry->setCurrentValue(entry->originalValue());
                toneChanged = true;
            }
        }
    }
    if (toneChanged)
        emit changed();
}

void ImageProperties::resetTransform()
{
    m_transform->setFromTransform(m_transform->original, false);
    emit transformChanged();
}

void ImageProperties::cleanPatchProgress()
{
    m_skippedCrops = 0;
    m_completed = 0;
}

void ImageProperties::setTransform(const CIAPI::Transform& t, bool asOriginal)
{
    m_transform->setFromTransform(t, asOriginal);
}

void ImageProperties::applyToRenderer(CIAPI::RendererBase& renderer) const
{
    for (const auto& entry : m_tuneTone)
        renderer.setProperty(CIAPI::FloatParam(entry->parameter()), engineValue(entry->currentValue()));
    renderer.transform() = m_transform->current;
}

void ImageProperties::loadFromRenderer(const CIAPI::RendererBase& renderer, bool asOriginal)
{
    for (const auto& entry : m_tuneTone) {
        const QVariant value(rendererValue(renderer, entry->parameter()));
        if (asOriginal)
            entry->setOriginalValue(value);
        entry->setCurrentValue(value);
    }
    if (asOriginal)
        m_transform->setFromTransform(renderer.transform(), true);
    m_transform->setFromTransform(renderer.transform(), false);
    m_transform->setOrientation(fileOrientation(renderer));
}

bool ImageProperties::applyPatchToRenderer(CIAPI::RendererBase& renderer, ImageProperties* undo)
{
    bool anything = false;
    for (const auto& p : m_patch) {
        const float r = rendererValue(renderer, p->parameter());
        const float value = engineValue(p->currentValue());
        if (fuzzyEqualRelative(r, value))
            continue;
        if (undo) {
            auto number = std::dynamic_pointer_cast<ImageNumberProperty>(p);
            std::shared_ptr<ImageProperty> before = number
                ? std::shared_ptr<ImageProperty>(number->clone(false))
                : std::make_shared<ImageProperty>(p->name(), p->parameter());
            before->setCurrentValue(r);
            undo->m_patch.append(before);
        }
        renderer.setProperty(CIAPI::FloatParam(p->parameter()), value);
        anything = true;
    }
    const int orientation = fileOrientation(renderer);
    if (undo && (m_rotationAndMirrorPatched || m_cropPatched)) {
        undo->m_transform->setFromTransform(renderer.transform(), false);
        // Undoing turns relative to the file's own orientation.
        undo->m_transform->setOrientation(orientation);
    }
    if (m_rotationAndMirrorPatched) {
        if (ImageTransformProperties::turnToOrientation(
                renderer.transform(), orientation, m_transform->current, m_transform->orientation())) {
            anything = true;
            if (undo)
                undo->m_rotationAndMirrorPatched = true;
        }
    }
    if (m_cropPatched) {
        const QRectF before = ImageTransformProperties::viewCrop(renderer.transform());
        if (!ImageTransformProperties::applyCropFrom(renderer.transform(), m_transform->current)) {
            ++m_skippedCrops;
        } else if (!sameCrop(before, ImageTransformProperties::viewCrop(renderer.transform()))) {
            anything = true;
            if (undo)
                undo->m_cropPatched = true;
        }
    }
    ++m_completed;
    return anything;
}

bool ImageProperties::differsFromRenderer(const CIAPI::RendererBase& renderer) const
{
    for (const auto& entry : m_tuneTone) {
        if (engineValue(entry->currentValue()) != rendererValue(renderer, entry->parameter())) {
            qCDebug(lcEngine) << "diff tune!";
            return true;
        }
    }
    if (!m_transform->sameAsTransform(renderer.transform())) {
        qCDebug(lcEngine) << "diff transform!";
        return true;
    }
    return false;
}

QByteArray ImageProperties::savePatch() const
{
    QJsonObject top;
    top.insert(QStringLiteral("versionMajor"), kVersionMajor);
    top.insert(QStringLiteral("versionMinor"), kVersionMinor);
    top.insert(QStringLiteral("name"), name());
    top.insert(QStringLiteral("device"), QStringLiteral("Ostra"));
    top.insert(QStringLiteral("deviceID"), QSysInfo::machineHostName());
    top.insert(QStringLiteral("timestampUTC"), double(timestampCreated().toUTC().toSecsSinceEpoch()));
    const QString file = fileName();
    const int dot = file.lastIndexOf(QLatin1Char('.'));
    top.insert(QStringLiteral("uuid"), dot < 0 ? file : file.left(dot));

    if (!m_patch.isEmpty()) {
        QJsonObject colormetrics;
        for (const auto& entry : m_patch)
            colormetrics.insert(entry->name(), double(engineValue(entry->currentValue())));
        top.insert(QStringLiteral("colormetrics"), colormetrics);
    }
    if (m_rotationAndMirrorPatched || m_cropPatched) {
        QJsonObject geometry;
        const CIAPI::Transform& t = m_transform->current;
        if (m_cropPatched) {
            const QRectF crop = ImageTransformProperties::viewCrop(t);
            geometry.insert(
                QStringLiteral("crop"), QJsonArray { crop.x(), crop.y(), crop.width(), crop.height() });
        }
        if (m_rotationAndMirrorPatched) {
            const TurnAndMirror turn = relativeTurn(t, m_transform->orientation());
            geometry.insert(QStringLiteral("flipHorizontal"), turn.mirrored);
            geometry.insert(QStringLiteral("relativeRotation"), turn.rotation);
        }
        geometry.insert(QStringLiteral("orientation"), m_transform->orientation());
        top.insert(QStringLiteral("geometry"), geometry);
    }
    return QJsonDocument(top).toJson();
}

bool ImageProperties::loadPatch(const QByteArray& json)
{
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    const QJsonObject top = document.object();
    const QJsonValue major = top.value(QStringLiteral("versionMajor"));
    if (parseError.error != QJsonParseError::NoError)
        m_patchError = tr("The adjustments are not readable: %1.").arg(parseError.errorString());
    else if (!document.isObject())
        m_patchError = tr("The adjustments are not readable: not a JSON object.");
    else if (major.isUndefined() || !top.contains(QStringLiteral("versionMinor")))
        m_patchError = tr("The adjustments have no version.");
    else if (!major.isDouble() || wholeNumber(major, kVersionMajor + 1) != kVersionMajor)
        m_patchError = tr("The adjustments have version %1, which this version of Ostra cannot read.")
                           .arg(major.isDouble() ? QString::number(major.toDouble()) : tr("(not a number)"));
    else
        m_patchError.clear();
    if (!m_patchError.isEmpty()) {
        qCWarning(lcEngine) << "Refused patch:" << m_patchError;
        return false;
    }

    setName(top.value(QStringLiteral("name")).toString());
    setTimestampCreated(createdFrom(top.value(QStringLiteral("timestampUTC"))));

    const QJsonValue colormetrics = top.value(QStringLiteral("colormetrics"));
    if (colormetrics.isObject()) {
        const QJsonObject values = colormetrics.toObject();
        for (const auto& entry : m_tuneTone) {
            if (!values.contains(entry->name()))
                continue;
            const double value = values.value(entry->name()).toDouble(0.0);
            entry->setCurrentValue(qBound(entry->min().toDouble(), value, entry->max().toDouble()));
            if (!m_patch.contains(entry))
                m_patch.append(entry);
        }
    }
    const QJsonValue geometry = top.value(QStringLiteral("geometry"));
    if (geometry.isObject())
        loadGeometry(geometry.toObject());
    return true;
}

void ImageProperties::loadGeometry(const QJsonObject& geometry)
{
    const QJsonValue rotation = geometry.value(QStringLiteral("relativeRotation"));
    const QJsonValue flip = geometry.value(QStringLiteral("flipHorizontal"));
    const int orientation = knownOrientation(wholeNumber(geometry.value(QStringLiteral("orientation")), 0));
    m_transform->setOrientation(orientation);
    if (!rotation.isUndefined() || !flip.isUndefined()) {
        ImageTransformProperties::turnTo(
            m_transform->current, orientation, oneTurnAtMost(wholeNumber(rotation, 0)), flip.toBool(false));
        m_transform->setFromTransform(m_transform->current, false);
        m_rotationAndMirrorPatched = true;
    } else if (geometry.contains(QStringLiteral("crop"))) {
        // A crop alone was drawn on the picture as shot: kept against the unturned frame,
        // it would be refused by pictures shot turned a quarter like it and reflected on
        // those shot upside down.
        m_transform->current.reset(orientation);
        m_transform->setFromTransform(m_transform->current, false);
    }
    const QJsonArray crop = geometry.value(QStringLiteral("crop")).toArray();
    if (crop.size() != 4)
        return;
    double element[4];
    for (int i = 0; i < 4; ++i)
        element[i] = qBound(0.0, crop.at(i).toDouble(0.0), 1.0);
    // Clipped to the picture: what lies beyond its right or bottom edge is dropped.
    const QRectF rect(
        element[0], element[1], qMin(element[2], 1.0 - element[0]), qMin(element[3], 1.0 - element[1]));
    if (rect.width() <= 0.0 || rect.height() <= 0.0) {
        qCWarning(lcEngine) << "Ignored an empty crop in a patch:" << crop;
        return;
    }
    // A sliver would leave the pictures it is pasted on next to nothing to show and an
    // export without a single pixel.
    const QRectF kept = atLeastSmallestCrop(rect);
    if (kept != rect)
        qCWarning(lcEngine) << "Grew a crop smaller than the crop tool makes in a patch:" << crop;
    ImageTransformProperties::setViewCrop(m_transform->current, kept);
    m_transform->setCropValue(ImageTransformProperties::viewCrop(m_transform->current));
    m_cropPatched = true;
}
