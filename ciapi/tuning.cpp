#include "ciapi/tuning.h"

#include "ciapi/render/rendererprivate.h"
#include "ciapi/renderer.h"

namespace CIAPI {

namespace {

struct Tuning
{
    float exposure, contrast, vibrance, saturation, sharpening;
};

// 0 natural (the file's own look), 1 vivid, 2 soft, 3 crisp. Unknown types are natural.
Tuning tuningFor(int type)
{
    switch (type) {
    case 1:
        return { 0.f, 15.f, 25.f, 5.f, 20.f };
    case 2:
        return { 0.f, -15.f, -10.f, -5.f, 0.f };
    case 3:
        return { 0.f, 10.f, 5.f, 0.f, 40.f };
    default:
        return { 0.f, 0.f, 0.f, 0.f, 10.f };
    }
}

} // namespace

void ApplyTuning(int type, RendererBase& renderer)
{
    const Tuning t = tuningFor(type);
    renderer.setProperty(FloatParam::Exposure, t.exposure);
    renderer.setProperty(FloatParam::Contrast, t.contrast);
    renderer.setProperty(FloatParam::Vibrance, t.vibrance);
    renderer.setProperty(FloatParam::Saturation, t.saturation);
    renderer.setProperty(FloatParam::Sharpening, t.sharpening);
    if (auto* r = dynamic_cast<Renderer*>(&renderer))
        r->privateData().tuningType = type;
}

} // namespace CIAPI
