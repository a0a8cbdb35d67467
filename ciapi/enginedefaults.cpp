#include "ciapi/enginedefaults.h"

#include "ciapi/parameters.h"
#include "ciapi/vrx/vrximage.h"

#include <cmath>

namespace CIAPI::defaults {

namespace {
int n(IntParam p)
{
    return static_cast<int>(p);
}
int n(FloatParam p)
{
    return static_cast<int>(p);
}
int n(IntArrayParam p)
{
    return static_cast<int>(p);
}
int n(FloatArrayParam p)
{
    return static_cast<int>(p);
}
} // namespace

void fillFileFacts(PropertyStore::Values& v, const vrx::VrxImage* input)
{
    if (!input) {
        for (int i = 0; i <= 7; ++i)
            v.ints.erase(i);
        v.intArrays.erase(n(IntArrayParam::CameraUuid));
        v.intArrays.erase(n(IntArrayParam::PictureUuid));
        v.floats.erase(n(FloatParam::ExposureTime));
        v.floats.erase(n(FloatParam::EvOffset));
        v.floatArrays.erase(n(FloatArrayParam::DepthRange));
        return;
    }
    const vrx::Metadata& m = input->metadata();
    v.ints[n(IntParam::Iso)] = m.iso;
    v.ints[n(IntParam::FocalLength)] = m.focalLength;
    v.ints[n(IntParam::Orientation)] = (m.orientation >= 0 && m.orientation <= 7) ? m.orientation : 0;
    v.ints[n(IntParam::AspectMode)] = m.aspectMode;
    v.ints[n(IntParam::CaptureTime)] = m.captureTime;
    v.ints[n(IntParam::UtcOffset)] = m.utcOffsetMinutes;
    v.ints[n(IntParam::Compressed)] = input->compressed() ? 1 : 0;
    v.ints[n(IntParam::FrameCount)] = m.frameCount;
    v.intArrays[n(IntArrayParam::CameraUuid)] = { m.cameraUuid.begin(), m.cameraUuid.end() };
    v.intArrays[n(IntArrayParam::PictureUuid)] = { m.imageUuid.begin(), m.imageUuid.end() };
    v.floats[n(FloatParam::ExposureTime)] = std::isfinite(m.exposureTimeMs) ? m.exposureTimeMs : 0.f;
    v.floats[n(FloatParam::EvOffset)] = std::isfinite(m.evOffset) ? m.evOffset : 0.f;
    v.floatArrays[n(FloatArrayParam::DepthRange)] = { input->depthNear(), input->depthFar() };
}

void fillEditDefaults(PropertyStore::Values& v, const vrx::VrxImage* input)
{
    float temperature = 5500.f;
    float tint = 0.f;
    float nearDepth = 0.5f;
    float farDepth = 20.f;
    if (input) {
        const vrx::Metadata& m = input->metadata();
        if (std::isfinite(m.wbTemperature) && m.wbTemperature >= 1000.f && m.wbTemperature <= 50000.f)
            temperature = m.wbTemperature;
        if (std::isfinite(m.wbTint) && std::fabs(m.wbTint) <= 1000.f)
            tint = m.wbTint;
        nearDepth = input->depthNear();
        farDepth = input->depthFar();
    }
    v.floats[n(FloatParam::DepthOfField)] = kDefaultDepthOfField;
    v.floats[n(FloatParam::FocusDepth)] = std::sqrt(nearDepth * farDepth);
    v.floats[n(FloatParam::Exposure)] = 0.f;
    v.floats[n(FloatParam::Temperature)] = temperature;
    v.floats[n(FloatParam::Tint)] = tint;
    v.floats[n(FloatParam::Contrast)] = 0.f;
    v.floats[n(FloatParam::Saturation)] = 0.f;
    v.floats[n(FloatParam::Vibrance)] = 0.f;
    v.floats[n(FloatParam::Sharpening)] = 0.f;
    v.floats[n(FloatParam::MinDepthOfField)] = kMinDepthOfField;
    v.floats[n(FloatParam::MaxDepthOfField)] = kMaxDepthOfField;
    if (!v.floatArrays.count(n(FloatArrayParam::BackgroundColor)))
        v.floatArrays[n(FloatArrayParam::BackgroundColor)] = { 0.f, 0.f, 0.f, 1.f };
}

Transform fileTransform(const vrx::VrxImage* input)
{
    if (!input)
        return Transform();
    const vrx::Metadata& m = input->metadata();
    Transform t(m.aspectMode == 1 ? Point<int> { 16, 9 } : Point<int> { 4, 3 });
    t.reset(m.orientation);
    return t;
}

bool isSessionSetting(int p)
{
    return p == n(IntParam::ChannelOrderBGRA) || p == n(IntParam::Interactive)
        || p == n(IntParam::HighFidelity) || p == n(IntParam::EagerDepth)
        || p == n(IntParam::ExportColorSpace);
}

} // namespace CIAPI::defaults
