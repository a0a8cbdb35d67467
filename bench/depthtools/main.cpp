// The depth tools' cost on the editor canvas, for a full-size picture (level 0 4160 x 3120)
// in a 1280 x 800 view, each against references measured in the same run:
// - a brush stroke of 200 samples and a quick select (stroke, then the depth applied):
//   time from the edit until the re-rendered view is complete;
// - the view rendered afresh (a depth-of-field change re-renders every visible block);
// - a full render of the whole picture at level 0.
// Run under a display (xvfb-run). Usage: bench_depthtools [rounds=5].
#include "ciapi/renderer.h"
#include "display/imageedititem.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"
#include "tools/vrxgen/generator.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

template <typename F> bool waitFor(F&& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

// Until every block the view asked for has arrived.
bool waitComplete(ImageEditItem* item)
{
    return waitFor(
        [&] { return item->imageQuality() >= ImageEditItem::Preview && !item->isRefreshPending(); }, 120000);
}

template <typename F> double bestMs(int rounds, ImageEditItem* item, F&& step)
{
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        step(i);
        if (!waitComplete(item)) {
            std::fprintf(stderr, "the view did not complete\n");
            return NAN;
        }
        best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    QTemporaryDir dir;
    vrxgen::PictureOptions o;
    o.focalLength = 150;
    o.moduleWidth = 2080;
    o.moduleHeight = 1560;
    o.frames = 1;
    const QString path = dir.path() + "/IMG_full.vrx";
    if (!vrxgen::writeFile(QFile::encodeName(path).toStdString(), vrxgen::makePicture(o).vrx))
        return 1;

    ImageLocator locator(2, nullptr);
    QQuickWindow window;
    window.resize(1280, 800);
    auto* item = new ImageEditItem(window.contentItem());
    item->setSize(QSizeF(1280, 800));
    item->setLocator(&locator);
    window.show();
    if (!waitFor([&] { return window.isExposed(); }, 10000))
        return 1;
    item->setLocation(QUrl::fromLocalFile(path).toString());
    if (!waitFor([&] { return item->hasDepthTools(); }, 120000) || !waitComplete(item))
        return 1;
    const QSize level0(item->pyramid()[0].width(), item->pyramid()[0].height());
    std::printf("level 0 %d x %d, view 1280 x 800 at level %d\n", level0.width(), level0.height(),
        item->currentLevel());

    // The view rendered afresh.
    const double dof0 = item->dof();
    const double view = bestMs(rounds, item, [&](int i) { item->setDof(dof0 + 0.01 * (i + 1)); });

    // The whole picture at level 0, rendered where the caller waits.
    const double full = bestMs(rounds, item, [&](int i) {
        item->viewer()->setRendererProperty0(dof0 + 0.02 * (i + 1));
        item->viewer()->renderer().render(0, CIAPI::ROI { 0, 0, level0.width(), level0.height() }, 1, true);
    });

    // A brush stroke of 200 samples across the picture, painting the depth of a corner.
    QVariantList stroke;
    for (int i = 0; i < 200; ++i)
        stroke << QPointF(0.2 + 0.6 * i / 199.0, 0.5 + 0.2 * std::sin(i * 0.05));
    item->setEditorMode(ImageEdit::DepthEditingBrush);
    const double brush
        = bestMs(rounds, item, [&](int) { item->pushBrushDepthEdit(stroke, QPointF(0.05, 0.05), 0.02); });

    // A quick select: the stroke grows a selection, then the selection gets a depth.
    item->setEditorMode(ImageEdit::DepthEditingQuickSelect);
    const double quick = bestMs(rounds, item, [&](int) {
        item->strokePoints.clear();
        for (const QVariant& v : stroke)
            item->strokePoints.push_back(v.toPointF());
        item->addQuickSelectStrokes();
        waitComplete(item);
        item->pushQuickSelectDepthEditPoint(QPointF(0.05, 0.05));
    });

    std::printf("view rendered afresh %.0f ms, whole picture at level 0 %.0f ms\n", view, full);
    std::printf("brush stroke of 200 samples %.0f ms: %.2fx the view, %.2fx the full render\n", brush,
        brush / view, brush / full);
    std::printf(
        "quick select %.0f ms: %.2fx the view, %.2fx the full render\n", quick, quick / view, quick / full);
    return 0;
}
