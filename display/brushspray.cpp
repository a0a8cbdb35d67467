#include "display/brushspray.h"

#include <algorithm>
#include <cmath>
#include <random>

std::vector<QPointF> BrushSpray::resample(const std::vector<QPointF>& stroke)
{
    const int n = int(stroke.size());
    if (n < 2)
        return stroke;
    const double sigma = std::min(n, 2);
    const int count = (n - 1) * kSamplesPerSegment + 1;
    // Weights below exp(-9) change nothing visible: three sigmas are enough.
    const int reach = int(std::ceil(3 * sigma));
    std::vector<QPointF> out;
    out.reserve(size_t(count));
    for (int k = 0; k < count; ++k) {
        const double t = double(k) / kSamplesPerSegment;
        const int lo = std::max(0, int(std::floor(t)) - reach);
        const int hi = std::min(n - 1, int(std::ceil(t)) + reach);
        double wx = 0, wy = 0, wsum = 0;
        for (int i = lo; i <= hi; ++i) {
            const double d = i - t;
            const double w = std::exp(-(d * d) / (sigma * sigma));
            wx += w * stroke[size_t(i)].x();
            wy += w * stroke[size_t(i)].y();
            wsum += w;
        }
        out.emplace_back(wx / wsum, wy / wsum);
    }
    return out;
}

BrushSpray::Result BrushSpray::build(
    const std::vector<QPointF>& stroke, float radius, bool asLines, Style style)
{
    Result result;
    std::vector<QPointF> samples = resample(stroke);
    if (samples.empty())
        return result;
    const int perPoint = asLines ? 2 : 1;
    const double wanted = double(samples.size()) * kPointsPerSample * perPoint;
    int perSample = kPointsPerSample;
    if (wanted > kMaxVertices) {
        perSample = std::max(1, int(kMaxVertices / (double(samples.size()) * perPoint)));
        // Even one point per sample is too many: keep every step-th sample.
        if (double(samples.size()) * perPoint > kMaxVertices) {
            const size_t step = size_t(std::ceil(double(samples.size()) * perPoint / kMaxVertices));
            std::vector<QPointF> thinned;
            for (size_t i = 0; i < samples.size(); i += step)
                thinned.push_back(samples[i]);
            samples.swap(thinned);
        }
    }
    const double drawn = double(samples.size()) * perSample * perPoint;
    result.pointSize = kPointSize * float(std::sqrt(std::max(1.0, wanted / drawn)));
    result.samples = int(samples.size());
    result.pointsPerSample = perSample;

    std::mt19937 random(0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 0.5);
    result.vertices.reserve(size_t(drawn));
    const double half = 0.5 * double(result.pointSize);
    for (const QPointF& s : samples) {
        for (int j = 0; j < perSample; ++j) {
            const double angle = unit(random) * 2 * M_PI;
            const double r = style == Normal
                ? std::min(1.0, std::abs(normal(random)))
                : std::pow(unit(random) * 0.9998999834060669 + 9.999999747378752e-5, 0.7);
            const QPointF p(s.x() + std::cos(angle) * r * radius, s.y() + std::sin(angle) * r * radius);
            if (asLines) {
                result.vertices.emplace_back(p.x() - half, p.y());
                result.vertices.emplace_back(p.x() + half, p.y());
            } else {
                result.vertices.push_back(p);
            }
        }
    }
    return result;
}
