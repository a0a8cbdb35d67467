#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace vrxgen {

// A synthetic scene seen by the reference module: textured planes facing the camera at
// known depths, the nearest first. Coordinates are normalised to the reference frame.
struct Plane
{
    enum Shape { Everywhere, Rectangle, Disc };
    Shape shape = Everywhere;
    float depth = 8.f; // metres
    float cx = 0.5f, cy = 0.5f; // centre
    float rx = 0.5f, ry = 0.5f; // half sizes (disc: radius rx in x units, ry in y units)
    std::array<float, 3> colorA { { 0.6f, 0.5f, 0.4f } }; // linear RGB
    std::array<float, 3> colorB { { 0.2f, 0.3f, 0.5f } };
    int pattern = 0; // 0 checker + gradient, 1 stripes, 2 rings
    float frequency = 12.f;

    bool covers(float u, float v) const;
    std::array<float, 3> color(float u, float v) const;
};

class Scene
{
public:
    // A scene of three planes whose colours, positions and depths follow from the seed.
    static Scene make(std::uint32_t seed);

    std::vector<Plane> planes; // nearest first; the last covers everything

    // Colour and depth at a reference point, seen from a module displaced by a baseline
    // (module pixels at 1 m, divided by the module's width to stay normalised).
    void sample(float u, float v, float baseU, float baseV, std::array<float, 3>* rgb, float* depth) const;
    float nearest() const;
    float farthest() const;
};

} // namespace vrxgen
