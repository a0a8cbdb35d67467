#include "ciapi/vrx/focalsize.h"

#include <cmath>
#include <stdexcept>

namespace CIAPI::vrx {

namespace {
int snap(float x, int n)
{
    const long long t = static_cast<long long>(x);
    return static_cast<int>((t + n / 2) / n * n);
}
} // namespace

Point<int> cropSizeForFocalLength(float f)
{
    if (!(f >= 0.f && f <= 150.f))
        throw std::runtime_error("Invalid focal length!");
    if (f < 1.f)
        f = 1.f;
    float low;
    float high;
    if (f < 70.f) {
        low = 28.f;
        high = 70.f;
    } else if (f < 150.f) {
        low = 70.f;
        high = 150.f;
    } else {
        low = 150.f;
        high = 150.f;
    }
    const float ratio = high / low;
    const float scale = low / f;
    const int baseWidth = snap(4160.f * ratio, 64);
    const int baseHeight = snap(3120.f * ratio, 48);
    return { snap(static_cast<float>(baseWidth) * scale, 64),
        snap(static_cast<float>(baseHeight) * scale, 48) };
}

} // namespace CIAPI::vrx
