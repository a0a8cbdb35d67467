#include "ciapi/depth/depthtools.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <stdexcept>

#include "ciapi/render/workerpool.h"

namespace CIAPI::depth {

namespace {

// Rows a task of the pool works on.
constexpr int kRows = 16;

using render::WorkerPool;

float distToSegmentSq(float px, float py, float ax, float ay, float bx, float by)
{
    const float dx = bx - ax, dy = by - ay;
    const float len = dx * dx + dy * dy;
    float t = len > 0.f ? ((px - ax) * dx + (py - ay) * dy) / len : 0.f;
    t = std::clamp(t, 0.f, 1.f);
    const float ex = ax + t * dx - px, ey = ay + t * dy - py;
    return ex * ex + ey * ey;
}

// Pixels of the map covered by a stroke of radius r (pixels); calls f(x, y).
Rect strokeBounds(const DepthDocument& doc, const std::vector<NPoint>& pts, float r)
{
    float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
    for (const NPoint& p : pts) {
        x0 = std::min(x0, p.x * doc.width());
        x1 = std::max(x1, p.x * doc.width());
        y0 = std::min(y0, p.y * doc.height());
        y1 = std::max(y1, p.y * doc.height());
    }
    const Rect r2 { int(std::floor(x0 - r - 1)), int(std::floor(y0 - r - 1)), int(std::ceil(x1 + r + 1)),
        int(std::ceil(y1 + r + 1)) };
    return r2.intersected(Rect { 0, 0, doc.width(), doc.height() });
}

bool inStroke(const std::vector<NPoint>& pts, float px, float py, float r2, int w, int h)
{
    if (pts.size() == 1) {
        const float dx = pts[0].x * w - px, dy = pts[0].y * h - py;
        return dx * dx + dy * dy <= r2;
    }
    for (size_t i = 1; i < pts.size(); ++i)
        if (distToSegmentSq(px, py, pts[i - 1].x * w, pts[i - 1].y * h, pts[i].x * w, pts[i].y * h) <= r2)
            return true;
    return false;
}

std::vector<float> guideColour(const RgbPlanes<uint16_t>& g)
{
    const int w = g.width(), h = g.height();
    std::vector<float> out(size_t(w) * h * 3);
    WorkerPool::instance().parallelFor((h + kRows - 1) / kRows, [&](int band) {
        for (int y = band * kRows; y < std::min(h, (band + 1) * kRows); ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    out[(size_t(y) * w + x) * 3 + c] = std::sqrt(g.c[c].row(y)[x] / 65535.f);
    });
    return out;
}

PlaneF jointBilateral(const PlaneF& src, const std::vector<float>& col, int radius, float sigmaColour)
{
    const int w = src.width(), h = src.height();
    PlaneF out(w, h);
    const float inv2c = 1.f / (2.f * sigmaColour * sigmaColour);
    const float inv2s = 1.f / (2.f * radius * radius * 0.5f);
    // A few rows a task: every pixel costs the same, and many tasks leave the threads little
    // to wait for at the end (a map is a few hundred rows).
    constexpr int kFilterRows = 4;
    WorkerPool::instance().parallelFor((h + kFilterRows - 1) / kFilterRows, [&](int band) {
        for (int y = band * kFilterRows; y < std::min(h, (band + 1) * kFilterRows); ++y)
            for (int x = 0; x < w; ++x) {
                const float* c0 = &col[(size_t(y) * w + x) * 3];
                float sum = 0.f, wsum = 0.f;
                for (int dy = -radius; dy <= radius; ++dy) {
                    const int yy = std::clamp(y + dy, 0, h - 1);
                    for (int dx = -radius; dx <= radius; ++dx) {
                        const int xx = std::clamp(x + dx, 0, w - 1);
                        const float* c1 = &col[(size_t(yy) * w + xx) * 3];
                        const float d0 = c1[0] - c0[0], d1 = c1[1] - c0[1], d2 = c1[2] - c0[2];
                        const float wt = std::exp(
                            -(d0 * d0 + d1 * d1 + d2 * d2) * inv2c - float(dx * dx + dy * dy) * inv2s);
                        sum += wt * src.at(xx, yy);
                        wsum += wt;
                    }
                }
                out.at(x, y) = sum / wsum;
            }
    });
    return out;
}

} // namespace

void checkPoints(const std::vector<NPoint>& points)
{
    for (const NPoint& p : points)
        if (!(p.x >= 0.f && p.x <= 1.f && p.y >= 0.f && p.y <= 1.f))
            throw std::runtime_error("Depth edit point outside the picture");
}

DepthPatch brushPatch(
    const DepthDocument& doc, const std::vector<NPoint>& points, float brushSize, float depth)
{
    if (!doc.hasDepth())
        throw std::runtime_error("No depth yet");
    checkPoints(points);
    if (points.empty())
        throw std::runtime_error("Empty brush stroke");
    if (!(depth > 0.f) || !std::isfinite(depth))
        throw std::runtime_error("Bad depth for a brush stroke");
    const float r = std::max(0.5f, brushSize * doc.width());
    const Rect b = strokeBounds(doc, points, r);
    if (b.empty())
        throw std::runtime_error("Empty brush stroke");
    DepthPatch p;
    p.rect = b;
    p.after.resize(size_t(b.width()) * b.height());
    for (int y = b.y0; y < b.y1; ++y)
        for (int x = b.x0; x < b.x1; ++x)
            p.after[size_t(y - b.y0) * b.width() + (x - b.x0)]
                = inStroke(points, x + 0.5f, y + 0.5f, r * r, doc.width(), doc.height())
                ? depth
                : doc.current().at(x, y);
    return p;
}

DepthPatch healPatch(const DepthDocument& doc, const std::vector<NPoint>& points, float brushSize, bool edge)
{
    if (!doc.hasDepth())
        throw std::runtime_error("No depth yet");
    checkPoints(points);
    if (points.empty())
        throw std::runtime_error("Empty heal stroke");
    const float r = std::max(0.5f, brushSize * doc.width());
    const Rect b = strokeBounds(doc, points, r);
    if (b.empty())
        throw std::runtime_error("Empty heal stroke");
    const PlaneF& cur = doc.current();
    const int k = std::max(2, int(std::lround(r * 0.75f)));
    DepthPatch p;
    p.rect = b;
    p.after.resize(size_t(b.width()) * b.height());
    std::vector<float> win;
    for (int y = b.y0; y < b.y1; ++y)
        for (int x = b.x0; x < b.x1; ++x) {
            float v = cur.at(x, y);
            if (inStroke(points, x + 0.5f, y + 0.5f, r * r, doc.width(), doc.height())) {
                win.clear();
                for (int yy = std::max(0, y - k); yy <= std::min(doc.height() - 1, y + k); ++yy)
                    for (int xx = std::max(0, x - k); xx <= std::min(doc.width() - 1, x + k); ++xx)
                        win.push_back(cur.at(xx, yy));
                if (edge) {
                    std::nth_element(win.begin(), win.begin() + win.size() / 2, win.end());
                    v = win[win.size() / 2];
                } else {
                    double s = 0;
                    for (float f : win)
                        s += f;
                    v = float(s / win.size());
                }
            }
            p.after[size_t(y - b.y0) * b.width() + (x - b.x0)] = v;
        }
    return p;
}

DepthPatch lassoPatch(const DepthDocument& doc, const std::vector<NPoint>& points, float depth, float feather)
{
    if (!doc.hasDepth())
        throw std::runtime_error("No depth yet");
    checkPoints(points);
    if (!(depth > 0.f) || !std::isfinite(depth))
        throw std::runtime_error("Bad depth for a lasso");
    const int w = doc.width(), h = doc.height();
    std::vector<NPoint> poly;
    for (const NPoint& q : points)
        if (poly.empty() || poly.back().x != q.x || poly.back().y != q.y)
            poly.push_back({ q.x * w, q.y * h });
    if (poly.size() > 1 && poly.front().x == poly.back().x && poly.front().y == poly.back().y)
        poly.pop_back();
    double area = 0;
    for (size_t i = 0; i < poly.size(); ++i) {
        const NPoint& a = poly[i];
        const NPoint& c = poly[(i + 1) % poly.size()];
        area += double(a.x) * c.y - double(c.x) * a.y;
    }
    if (poly.size() < 3 || std::fabs(area) * 0.5 < 0.25)
        throw std::runtime_error("Lasso polygon has no area");
    const float f = std::max(0.f, feather) * w;
    std::vector<NPoint> npts;
    for (const NPoint& q : poly)
        npts.push_back({ q.x / w, q.y / h });
    const Rect b = strokeBounds(doc, npts, f);
    DepthPatch p;
    p.rect = b;
    p.after.resize(size_t(b.width()) * b.height());
    const PlaneF& cur = doc.current();
    for (int y = b.y0; y < b.y1; ++y)
        for (int x = b.x0; x < b.x1; ++x) {
            const float px = x + 0.5f, py = y + 0.5f;
            bool inside = false;
            float d2 = 1e30f;
            for (size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
                const NPoint& a = poly[i];
                const NPoint& c = poly[j];
                if (((a.y > py) != (c.y > py)) && (px < (c.x - a.x) * (py - a.y) / (c.y - a.y) + a.x))
                    inside = !inside;
                if (f > 0.f)
                    d2 = std::min(d2, distToSegmentSq(px, py, a.x, a.y, c.x, c.y));
            }
            float alpha = inside ? 1.f : 0.f;
            if (f > 0.f) {
                const float d = std::sqrt(d2) / f;
                alpha = inside ? std::min(1.f, 0.5f + 0.5f * d) : std::max(0.f, 0.5f - 0.5f * d);
            }
            const float old = cur.at(x, y);
            p.after[size_t(y - b.y0) * b.width() + (x - b.x0)] = old + (depth - old) * alpha;
        }
    return p;
}

void growSelection(DepthDocument& doc, const RgbPlanes<uint16_t>& guide, const std::vector<NPoint>& points,
    float brushSize, bool add, const std::array<float, 4>& roi)
{
    if (!doc.hasDepth())
        throw std::runtime_error("No depth yet");
    checkPoints(points);
    if (points.empty())
        throw std::runtime_error("Empty quick-select stroke");
    const int w = doc.width(), h = doc.height();
    if (guide.width() != w || guide.height() != h)
        throw std::runtime_error("Quick select has no picture to follow");
    if (doc.selection().width() != w)
        doc.clearSelection();
    Rect area { int(std::floor(roi[0] * w)), int(std::floor(roi[1] * h)), int(std::ceil(roi[2] * w)),
        int(std::ceil(roi[3] * h)) };
    area = area.intersected(Rect { 0, 0, w, h });
    if (area.empty())
        area = Rect { 0, 0, w, h };
    const PlaneF& depth = doc.current();
    const float r = std::max(0.5f, brushSize * w);
    // Seeds: the stroke itself; their mean colour and inverse depth steer the growth.
    std::vector<uint8_t> grown(size_t(w) * h, 0);
    std::deque<std::pair<int, int>> queue;
    double mean[4] = { 0, 0, 0, 0 };
    const Rect sb = strokeBounds(doc, points, r).intersected(area);
    for (int y = sb.y0; y < sb.y1; ++y)
        for (int x = sb.x0; x < sb.x1; ++x)
            if (inStroke(points, x + 0.5f, y + 0.5f, r * r, w, h)) {
                grown[size_t(y) * w + x] = 1;
                queue.emplace_back(x, y);
                for (int c = 0; c < 3; ++c)
                    mean[c] += std::sqrt(guide.c[c].row(y)[x] / 65535.f);
                mean[3] += 1.0 / std::max(1e-3f, depth.at(x, y));
            }
    if (queue.empty())
        return;
    for (double& m : mean)
        m /= double(queue.size());
    const float colourTol = 0.12f, depthTol = 0.15f * float(mean[3]);
    auto similar = [&](int x, int y) {
        double d = 0;
        for (int c = 0; c < 3; ++c) {
            const double e = std::sqrt(guide.c[c].row(y)[x] / 65535.f) - mean[c];
            d += e * e;
        }
        const double dz = 1.0 / std::max(1e-3f, depth.at(x, y)) - mean[3];
        return d < colourTol * colourTol && std::fabs(dz) < depthTol;
    };
    while (!queue.empty()) {
        const auto [x, y] = queue.front();
        queue.pop_front();
        static const int nb[4][2] = { { 1, 0 }, { -1, 0 }, { 0, 1 }, { 0, -1 } };
        for (const auto& o : nb) {
            const int nx = x + o[0], ny = y + o[1];
            if (nx < area.x0 || ny < area.y0 || nx >= area.x1 || ny >= area.y1 || grown[size_t(ny) * w + nx])
                continue;
            if (!similar(nx, ny))
                continue;
            grown[size_t(ny) * w + nx] = 1;
            queue.emplace_back(nx, ny);
        }
    }
    PlaneU8& sel = doc.selection();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (grown[size_t(y) * w + x])
                sel.at(x, y) = add ? 1 : 0;
    doc.touchSelection();
}

DepthPatch selectionPatch(const DepthDocument& doc, float depth)
{
    if (!doc.hasDepth())
        throw std::runtime_error("No depth yet");
    if (!(depth > 0.f) || !std::isfinite(depth))
        throw std::runtime_error("Bad depth for a selection");
    const PlaneU8& sel = doc.selection();
    Rect b { doc.width(), doc.height(), 0, 0 };
    for (int y = 0; y < sel.height(); ++y)
        for (int x = 0; x < sel.width(); ++x)
            if (sel.at(x, y)) {
                b.x0 = std::min(b.x0, x);
                b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x + 1);
                b.y1 = std::max(b.y1, y + 1);
            }
    if (b.empty())
        throw std::runtime_error("Nothing is selected");
    DepthPatch p;
    p.rect = b;
    p.after.resize(size_t(b.width()) * b.height());
    for (int y = b.y0; y < b.y1; ++y)
        for (int x = b.x0; x < b.x1; ++x)
            p.after[size_t(y - b.y0) * b.width() + (x - b.x0)]
                = sel.at(x, y) ? depth : doc.current().at(x, y);
    return p;
}

PlaneF matte(const PlaneF& depth, const RgbPlanes<uint16_t>& guide)
{
    if (guide.width() != depth.width() || guide.height() != depth.height())
        throw std::runtime_error("Matting guide differs in size");
    return jointBilateral(depth, guideColour(guide), 4, 0.06f);
}

PlaneF refineDepth(
    const PlaneF& factory, const RgbPlanes<uint16_t>& guide, const std::function<void(int)>& progress)
{
    PlaneF out = resampleDepth(factory, guide.width(), guide.height(), progress);
    return alignDepth(std::move(out), guide, progress);
}

PlaneF resampleDepth(const PlaneF& factory, int w, int h, const std::function<void(int)>& progress)
{
    if (w <= 0 || h <= 0)
        throw std::runtime_error("No picture to compute depth for");
    PlaneF out(w, h);
    out.fill(0.f);
    if (!factory.empty()) {
        const float sx = float(factory.width()) / w, sy = float(factory.height()) / h;
        WorkerPool::instance().parallelFor((h + kRows - 1) / kRows, [&](int band) {
            for (int y = band * kRows; y < std::min(h, (band + 1) * kRows); ++y)
                for (int x = 0; x < w; ++x) {
                    const float fx = std::clamp((x + 0.5f) * sx - 0.5f, 0.f, float(factory.width() - 1));
                    const float fy = std::clamp((y + 0.5f) * sy - 0.5f, 0.f, float(factory.height() - 1));
                    const int x0 = int(fx), y0 = int(fy);
                    const int x1 = std::min(x0 + 1, factory.width() - 1),
                              y1 = std::min(y0 + 1, factory.height() - 1);
                    const float tx = fx - x0, ty = fy - y0;
                    const float s[4]
                        = { factory.at(x0, y0), factory.at(x1, y0), factory.at(x0, y1), factory.at(x1, y1) };
                    const float wt[4] = { (1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty };
                    float sum = 0.f, ws = 0.f;
                    for (int i = 0; i < 4; ++i)
                        if (s[i] > 0.f && std::isfinite(s[i])) {
                            sum += s[i] * wt[i];
                            ws += wt[i];
                        }
                    out.at(x, y) = ws > 1e-6f ? sum / ws : 0.f;
                }
        });
    }
    if (progress)
        progress(25);
    // Holes take the mean of their known neighbours, ring by ring.
    bool holes = true;
    for (int pass = 0; holes && pass < w + h; ++pass) {
        std::atomic<bool> anyHoles { false }, filled { false };
        PlaneF next(w, h);
        WorkerPool::instance().parallelFor((h + kRows - 1) / kRows, [&](int band) {
            bool bandHoles = false, bandFilled = false;
            for (int y = band * kRows; y < std::min(h, (band + 1) * kRows); ++y)
                for (int x = 0; x < w; ++x) {
                    float v = out.at(x, y);
                    if (v <= 0.f) {
                        float s = 0.f;
                        int n = 0;
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx) {
                                const int xx = x + dx, yy = y + dy;
                                if (xx >= 0 && yy >= 0 && xx < w && yy < h && out.at(xx, yy) > 0.f) {
                                    s += out.at(xx, yy);
                                    ++n;
                                }
                            }
                        if (n) {
                            v = s / n;
                            bandFilled = true;
                        } else {
                            bandHoles = true;
                        }
                    }
                    next.at(x, y) = v;
                }
            if (bandHoles)
                anyHoles = true;
            if (bandFilled)
                filled = true;
        });
        holes = anyHoles;
        out = std::move(next);
        if (!filled)
            break;
    }
    if (holes)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (out.at(x, y) <= 0.f)
                    out.at(x, y) = 2.f; // nothing known at all: one plane at two metres
    if (progress)
        progress(50);
    return out;
}

PlaneF alignDepth(PlaneF out, const RgbPlanes<uint16_t>& guide, const std::function<void(int)>& progress)
{
    if (guide.width() != out.width() || guide.height() != out.height())
        throw std::runtime_error("Depth and guide differ in size");
    const std::vector<float> col = guideColour(guide);
    out = jointBilateral(out, col, 2, 0.1f);
    if (progress)
        progress(75);
    out = jointBilateral(out, col, 2, 0.1f);
    return out;
}

} // namespace CIAPI::depth
