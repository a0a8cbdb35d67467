#include "tools/vrxgen/scene.h"

#include <cmath>

namespace vrxgen {

namespace {
std::uint32_t next(std::uint32_t& s)
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}
float unit(std::uint32_t& s)
{
    return static_cast<float>(next(s) % 10000) / 10000.f;
}
} // namespace

bool Plane::covers(float u, float v) const
{
    switch (shape) {
    case Everywhere:
        return true;
    case Rectangle:
        return std::fabs(u - cx) <= rx && std::fabs(v - cy) <= ry;
    case Disc: {
        const float du = (u - cx) / rx;
        const float dv = (v - cy) / ry;
        return du * du + dv * dv <= 1.f;
    }
    }
    return false;
}

std::array<float, 3> Plane::color(float u, float v) const
{
    float t = 0.f;
    switch (pattern) {
    case 0: {
        const int cu = static_cast<int>(std::floor(u * frequency));
        const int cv = static_cast<int>(std::floor(v * frequency));
        t = ((cu + cv) & 1) ? 0.75f : 0.25f;
        t = 0.6f * t + 0.4f * v;
        break;
    }
    case 1:
        t = 0.5f + 0.5f * std::sin((u + 0.3f * v) * frequency * 6.2831853f);
        break;
    default: {
        const float r = std::sqrt((u - cx) * (u - cx) + (v - cy) * (v - cy));
        t = 0.5f + 0.5f * std::cos(r * frequency * 6.2831853f);
        break;
    }
    }
    return { colorA[0] * (1 - t) + colorB[0] * t, colorA[1] * (1 - t) + colorB[1] * t,
        colorA[2] * (1 - t) + colorB[2] * t };
}

Scene Scene::make(std::uint32_t seed)
{
    std::uint32_t s = seed * 2654435761u + 12345u;
    if (!s)
        s = 1;
    Scene scene;
    Plane nearPlane;
    nearPlane.shape = Plane::Disc;
    nearPlane.depth = 0.8f + unit(s) * 0.8f;
    nearPlane.cx = 0.25f + unit(s) * 0.2f;
    nearPlane.cy = 0.55f + unit(s) * 0.15f;
    nearPlane.rx = 0.12f + unit(s) * 0.05f;
    nearPlane.ry = nearPlane.rx * 4.f / 3.f;
    nearPlane.colorA = { 0.7f + 0.2f * unit(s), 0.25f, 0.15f };
    nearPlane.colorB = { 0.95f, 0.8f, 0.3f * unit(s) };
    nearPlane.pattern = 2;
    nearPlane.frequency = 6.f + 6.f * unit(s);

    Plane middle;
    middle.shape = Plane::Rectangle;
    middle.depth = 2.5f + unit(s) * 1.5f;
    middle.cx = 0.62f + unit(s) * 0.1f;
    middle.cy = 0.42f + unit(s) * 0.1f;
    middle.rx = 0.18f + 0.06f * unit(s);
    middle.ry = 0.22f + 0.06f * unit(s);
    middle.colorA = { 0.15f, 0.45f + 0.3f * unit(s), 0.2f };
    middle.colorB = { 0.6f, 0.85f, 0.5f };
    middle.pattern = 1;
    middle.frequency = 8.f + 8.f * unit(s);

    Plane back;
    back.depth = 9.f + unit(s) * 6.f;
    back.colorA = { 0.25f + 0.3f * unit(s), 0.35f, 0.55f + 0.3f * unit(s) };
    back.colorB = { 0.8f, 0.8f, 0.75f };
    back.pattern = 0;
    back.frequency = 10.f + 10.f * unit(s);

    scene.planes = { nearPlane, middle, back };
    return scene;
}

void Scene::sample(float u, float v, float baseU, float baseV, std::array<float, 3>* rgb, float* depth) const
{
    for (const Plane& p : planes) {
        const float pu = u - baseU / p.depth;
        const float pv = v - baseV / p.depth;
        if (p.covers(pu, pv)) {
            if (rgb)
                *rgb = p.color(pu, pv);
            if (depth)
                *depth = p.depth;
            return;
        }
    }
    if (rgb)
        *rgb = { 0.f, 0.f, 0.f };
    if (depth)
        *depth = farthest();
}

float Scene::nearest() const
{
    float d = planes.front().depth;
    for (const Plane& p : planes)
        d = std::min(d, p.depth);
    return d;
}

float Scene::farthest() const
{
    float d = planes.front().depth;
    for (const Plane& p : planes)
        d = std::max(d, p.depth);
    return d;
}

} // namespace vrxgen
