#pragma once

// A canvas in a window of its own, bound to a picture through the real image service,
// with the pointer moves of the depth tools. For the display tests (header only).

#include "ciapi/deptheditor.h"
#include "display/imageedititem.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"

#include <QFile>
#include <QQuickWindow>
#include <QTest>

#include <algorithm>
#include <cmath>

#include "tools/vrxgen/generator.h"

namespace ostra::test {

inline bool writeDepthPicture(const QString& path, int width, int height, std::uint32_t seed)
{
    vrxgen::PictureOptions o;
    o.moduleWidth = width;
    o.moduleHeight = height;
    o.frames = 1;
    o.seed = seed;
    return vrxgen::writeFile(QFile::encodeName(path).toStdString(), vrxgen::makePicture(o).vrx);
}

// Distance from p to the polyline, with y scaled by 1 / aspect.
inline double distanceToPath(const QPointF& p, const std::vector<QPointF>& path, double aspect = 1.0)
{
    double best = 1e9;
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const QPointF ab = path[i + 1] - path[i], ap = p - path[i];
        const double len = ab.x() * ab.x() + ab.y() * ab.y();
        const double t = len > 0 ? std::clamp((ap.x() * ab.x() + ap.y() * ab.y()) / len, 0.0, 1.0) : 0.0;
        const QPointF d = p - (path[i] + ab * t);
        best = std::min(best, std::hypot(d.x(), d.y() / aspect));
    }
    return best;
}

struct DepthCanvas
{
    static constexpr int kGridW = 64;
    static constexpr int kGridH = 48;

    QQuickWindow window;
    ImageEditItem* item;

    explicit DepthCanvas(ImageLocator& locator)
    {
        window.resize(640, 480);
        item = new ImageEditItem(window.contentItem());
        item->setSize(QSizeF(640, 480));
        item->setLocator(&locator);
        window.show();
    }
    // Until the depth tools are ready and the view is rendered.
    bool settle()
    {
        return QTest::qWaitFor(
            [&] {
                return item->hasDepthTools() && item->imageQuality() >= ImageEditItem::Preview
                    && !item->isRefreshPending();
            },
            60000);
    }
    bool open(const QString& path)
    {
        item->setLocation(QUrl::fromLocalFile(path).toString());
        return settle();
    }
    // A picture point (normalised) in window pixels.
    QPoint at(const QPointF& picture) const
    {
        return item->mapToScene(item->geometry().imageToView(picture)).toPoint();
    }
    void press(const QPointF& p) { QTest::mouseClick(&window, Qt::LeftButton, {}, at(p)); }
    // Press, drag through the points in small steps as a hand draws, and (unless told
    // otherwise) release.
    void stroke(const std::vector<QPointF>& points, int steps = 8, bool release = true)
    {
        QTest::mousePress(&window, Qt::LeftButton, {}, at(points.front()));
        for (size_t i = 1; i < points.size(); ++i)
            for (int k = 1; k <= steps; ++k)
                QTest::mouseMove(
                    &window, at(points[i - 1] + (points[i] - points[i - 1]) * (double(k) / steps)));
        if (release)
            QTest::mouseRelease(&window, Qt::LeftButton, {}, at(points.back()));
    }
    // A brush stroke from `from` to `to`, painted with the depth at `reference`.
    void paint(const QPointF& from, const QPointF& to, const QPointF& reference)
    {
        item->setEditorMode(ImageEdit::DepthEditingBrush);
        item->setPickerMode(ImageEdit::Trajectory);
        stroke({ from, to });
        press(reference);
        item->applyDepthEdit();
    }
    // The depth map sampled at the centres of a 64 x 48 grid.
    std::vector<float> depth() const
    {
        std::vector<float> grid;
        item->viewer()->readDepth([&](CIAPI::DepthEditor& e) {
            for (int y = 0; y < kGridH; ++y)
                for (int x = 0; x < kGridW; ++x)
                    grid.push_back(e.getDepthAtPoint({ (x + 0.5f) / kGridW, (y + 0.5f) / kGridH }));
        });
        return grid;
    }
    static QPointF cell(int i) { return QPointF((i % kGridW + 0.5) / kGridW, (i / kGridW + 0.5) / kGridH); }
};

} // namespace ostra::test
