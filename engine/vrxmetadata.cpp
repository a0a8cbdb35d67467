#include "engine/vrxmetadata.h"

#include "app/uuidpacking.h"
#include "ciapi/propertyaccessor.h"
#include "ciapi/rendererbase.h"
#include "ciapi/statefileeditor.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kBaseWidth = 4160;
constexpr int kBaseHeight = 3120;
constexpr int kWidthStep = 64;  // 4160 * 16 / 1040
constexpr int kHeightStep = 48; // 3120 * 16 / 1040

int snap(float x, int n)
{
    return ((static_cast<int>(x) + n / 2) / n) * n;
}

} // namespace

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
    transform = editor.transform();
    const CIAPI::Point<int> aspect = transform.aspectRatio();
    transformFromState = aspect.x != 0 && aspect.y != 0;
}

void VrxMetadata::readFrom(const CIAPI::PropertyAccessor& accessor)
{
    readFacts(accessor);
}

void VrxMetadata::readRendererMetadata(const CIAPI::RendererBase& renderer)
{
    readFacts(renderer);
}

template<class Source>
void VrxMetadata::readFacts(const Source& source)
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
            transform = CIAPI::Transform(aspectMode == 1 ? CIAPI::Point<int>{16, 9} : CIAPI::Point<int>{4, 3});
            transform.reset(int(source.getProperty(IntParam::Orientation)));
        }
    }
    deviceUuid = cameraUuidFromWords(source.getProperty(IntArrayParam::CameraUuid));
    imageUuid = uuidFromWords(source.getProperty(IntArrayParam::PictureUuid));
    const qint64 seconds = source.getProperty(IntParam::CaptureTime);
    const qint64 offsetMinutes = source.getProperty(IntParam::UtcOffset);
    captureTime = QDateTime::fromMSecsSinceEpoch(seconds * 1000, Qt::OffsetFromUTC, int(offsetMinutes * 60));
    if (!incompatible) {
        const auto size = cropSizeForFocalLength(float(source.getProperty(IntParam::FocalLength)));
        outputWidth = size.first;
        outputHeight = size.second;
    } else {
        outputWidth = 0;
        outputHeight = 0;
    }
    invalid = false;
}

std::pair<int, int> VrxMetadata::cropSizeForFocalLength(float focalLength)
{
    if (!(focalLength >= 0.f && focalLength <= 150.f))
        throw std::runtime_error("Invalid focal length!");
    float low;
    float high;
    if (focalLength < 70.f) {
        low = 28.f;
        high = 70.f;
    } else if (focalLength < 150.f) {
        low = 70.f;
        high = 150.f;
    } else {
        low = 150.f;
        high = 150.f;
    }
    const float ratio = high / low;
    // An unknown focal length (0) gets the widest frame of its step.
    const float scale = focalLength > 0.f ? low / focalLength : 1.f;
    // Sizes are kept on the grid of the base frame's greatest common divisor.
    const int baseWidth = snap(kBaseWidth * ratio, kWidthStep);
    const int baseHeight = snap(kBaseHeight * ratio, kHeightStep);
    // Tiny focal lengths would scale past any integer; no frame is that large.
    const float width = std::min(baseWidth * scale, 1.0e6f);
    const float height = std::min(baseHeight * scale, 1.0e6f);
    return {snap(width, kWidthStep), snap(height, kHeightStep)};
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
