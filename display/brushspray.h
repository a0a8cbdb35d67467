#pragma once

#include <QPointF>

#include <vector>

// The brush stroke as drawn: a spray of single points around a smoothed resampling of the
// stroke. The pattern comes from a generator seeded afresh at every build, so it stays put
// from frame to frame.
class BrushSpray
{
public:
    enum Style { Uniform, Normal };

    static constexpr int kSamplesPerSegment = 22;
    static constexpr int kPointsPerSample = 24;
    static constexpr int kMaxVertices = 65535;
    static constexpr float kPointSize = 1.5f;

    struct Result
    {
        std::vector<QPointF> vertices; // item pixels; pairs of vertices when drawn as lines
        float pointSize = kPointSize;
        int samples = 0; // samples kept
        int pointsPerSample = 0;
    };

    // `stroke` in item pixels, `radius` the brush radius in item pixels. With `asLines`
    // every point becomes a two-vertex line (for drivers that cannot draw points).
    static Result build(
        const std::vector<QPointF>& stroke, float radius, bool asLines, Style style = Uniform);
    // The stroke resampled at (n - 1) * 22 + 1 samples, each a Gaussian-weighted average of
    // the nearby stroke points.
    static std::vector<QPointF> resample(const std::vector<QPointF>& stroke);
};
