#include "engine/vrxmetadata.h"

#include "ciapi/propertyaccessor.h"
#include "ciapi/rendererbase.h"
#include "ciapi/statefileeditor.h"
#include "ciapi/vrx/focalsize.h"
#include "core/uuidpacking.h"
#include "engine/transformhelpers.h"

#include <QFileInfo>

void VrxMetadata::resetFromFile(const QUrl& url)
{
    const QFileInfo info(url.toLocalFile());
    location = QUrl::fromLocalFile(info.absoluteFilePath());
    userRating = 0;
    hasDepthEdits = false;
    invalid = true;
    captureTime = info.birthTime();
    // Not every file system records a birth time.
    if (!captureTime.isValid())
        captureTime = info.lastModified();
    outputWidth = 4;
    outputHeight = 3;
    transform.reset(0);
    fileSize = info.size();
}

void VrxMetadata::readStateFileMetadata(const CIAPI::StateFileEditor& editor)
{
    imageUuid = uuidFromWords(editor.imageID());
    depthType = editor.depthType();
    hasDepthEdits = editor.hasDepthEdits();
    userRating = editor.userRating();
    // A state's transform is used only with an aspect a picture can have; otherwise the
    // picture's own transform stands.
    const CIAPI::Transform fromState = editor.transform();
    transformFromState = isSaneAspect(fromState.aspectRatio());
    if (transformFromState)
        transform = fromState;
}

void VrxMetadata::readFrom(const CIAPI::PropertyAccessor& accessor)
{
    readFacts(accessor);
}

void VrxMetadata::readRendererMetadata(const CIAPI::RendererBase& renderer)
{
    readFacts(renderer);
}

template <class Source> void VrxMetadata::readFacts(const Source& source)
{
    using CIAPI::IntArrayParam;
    using CIAPI::IntParam;

    incompatible = !source.isCompatible();
    frameCount = int(source.getProperty(IntParam::FrameCount));
    compressed = source.getProperty(IntParam::Compressed) != 0;
    if (location.fileName().contains(QLatin1String(kIncompatibleMarker)))
        incompatible = true;
    aspectMode = int(source.getProperty(IntParam::AspectMode));
    if (!transformFromState) {
        const CIAPI::Transform engineTransform = source.transform();
        if (engineTransform.isSet()) {
            transform = engineTransform;
        } else {
            transform = CIAPI::Transform(
                aspectMode == 1 ? CIAPI::Point<int> { 16, 9 } : CIAPI::Point<int> { 4, 3 });
            transform.reset(int(source.getProperty(IntParam::Orientation)));
        }
    }
    deviceUuid = cameraUuidFromWords(source.getProperty(IntArrayParam::CameraUuid));
    imageUuid = uuidFromWords(source.getProperty(IntArrayParam::PictureUuid));
    const qint64 seconds = source.getProperty(IntParam::CaptureTime);
    const qint64 offsetMinutes = source.getProperty(IntParam::UtcOffset);
    // A time no camera can record (a damaged or forged file) leaves the file's own time.
    const QDateTime recorded = captureTimeFrom(seconds, offsetMinutes);
    if (recorded.isValid())
        captureTime = recorded;
    if (!incompatible) {
        const auto size = cropSizeForFocalLength(float(source.getProperty(IntParam::FocalLength)));
        outputWidth = size.first;
        outputHeight = size.second;
        // The frame recorded with the picture or its state may claim another aspect than
        // the pixels have; the pixels decide.
        fitTransformToPicture(transform, outputWidth, outputHeight);
    } else {
        outputWidth = 0;
        outputHeight = 0;
    }
    invalid = false;
}

bool VrxMetadata::isSaneAspect(const CIAPI::Point<int>& aspect)
{
    return aspect.x >= 1 && aspect.y >= 1 && aspect.x <= 1000 && aspect.y <= 1000 && aspect.x <= 4 * aspect.y
        && aspect.y <= 4 * aspect.x;
}

std::pair<int, int> VrxMetadata::cropSizeForFocalLength(float focalLength)
{
    // The engine's own rule, so the size promised here is the size it renders.
    const CIAPI::Point<int> size = CIAPI::vrx::cropSizeForFocalLength(focalLength);
    return { size.x, size.y };
}

QDateTime VrxMetadata::captureTimeFrom(qint64 seconds, qint64 offsetMinutes)
{
    // 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z, with room for the offset.
    constexpr qint64 kFirst = -62135596800LL;
    constexpr qint64 kLast = 253402300799LL;
    constexpr qint64 kMaxOffsetMinutes = 18 * 60;
    if (seconds < kFirst || seconds > kLast || offsetMinutes < -kMaxOffsetMinutes
        || offsetMinutes > kMaxOffsetMinutes)
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(seconds * 1000, Qt::OffsetFromUTC, int(offsetMinutes * 60));
}

QUuid VrxMetadata::cameraUuidFromWords(const std::vector<uint32_t>& words)
{
    if (words.size() < 4)
        return QUuid();
    // Two little-endian 64-bit words over the first sixteen bytes.
    const quint64 high = quint64(words[0]) | (quint64(words[1]) << 32);
    const quint64 low = quint64(words[2]) | (quint64(words[3]) << 32);
    return uuidFromInt64Pair(qint64(high), qint64(low));
}
