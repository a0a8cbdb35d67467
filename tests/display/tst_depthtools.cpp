#include "support/testmain.h"

#include "ciapi/deptheditor.h"
#include "display/imageedititem.h"
#include "engine/imageeditor.h"
#include "engine/imagelocator.h"
#include "engine/statefile.h"

#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <functional>

#include "tools/vrxgen/generator.h"

namespace {

constexpr int kGridW = 64;
constexpr int kGridH = 48;

struct Canvas
{
    QQuickWindow window;
    ImageEditItem* item;

    explicit Canvas(ImageLocator& locator)
    {
        window.resize(640, 480);
        item = new ImageEditItem(window.contentItem());
        item->setSize(QSizeF(640, 480));
        item->setLocator(&locator);
        window.show();
    }
    bool open(const QString& path)
    {
        item->setLocation(QUrl::fromLocalFile(path).toString());
        return QTest::qWaitFor(
            [&] {
                return item->hasDepthTools() && item->imageQuality() >= ImageEditItem::Preview
                    && !item->isRefreshPending();
            },
            60000);
    }
    QPoint at(const QPointF& picture) const
    {
        return item->mapToScene(item->geometry().imageToView(picture)).toPoint();
    }
    void press(const QPointF& p) { QTest::mouseClick(&window, Qt::LeftButton, {}, at(p)); }
    void stroke(const std::vector<QPointF>& points)
    {
        QTest::mousePress(&window, Qt::LeftButton, {}, at(points.front()));
        for (size_t i = 1; i < points.size(); ++i) {
            // Small steps, as a hand draws.
            for (int k = 1; k <= 8; ++k)
                QTest::mouseMove(&window, at(points[i - 1] + (points[i] - points[i - 1]) * (k / 8.0)));
        }
        QTest::mouseRelease(&window, Qt::LeftButton, {}, at(points.back()));
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
};

QPointF cell(int i)
{
    return QPointF((i % kGridW + 0.5) / kGridW, (i / kGridW + 0.5) / kGridH);
}

// Distance from p to the polyline, in picture widths (the brush's unit).
double distanceTo(const QPointF& p, const std::vector<QPointF>& line, double aspect)
{
    double best = 1e9;
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        const QPointF a = line[i], b = line[i + 1];
        const QPointF ab = b - a, ap = p - a;
        const double len = ab.x() * ab.x() + ab.y() * ab.y();
        const double t = len > 0 ? std::clamp((ap.x() * ab.x() + ap.y() * ab.y()) / len, 0.0, 1.0) : 0.0;
        const QPointF d = p - (a + ab * t);
        best = std::min(best, std::hypot(d.x(), d.y() / aspect));
    }
    return best;
}

// The state file keeps the computed map at a reduced precision: across a reopening, maps
// match to a fraction of the depth range (an edit moves depths by whole units).
bool sameMap(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::abs(a[i] - b[i]) > 0.01f)
            return false;
    return true;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

} // namespace

class TestDepthTools : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_picture;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        vrxgen::PictureOptions o;
        o.moduleWidth = 640;
        o.moduleHeight = 480;
        o.frames = 1;
        o.seed = 5;
        m_picture = m_dir.path() + "/IMG_depth.vrx";
        QVERIFY(vrxgen::writeFile(QFile::encodeName(m_picture).toStdString(), vrxgen::makePicture(o).vrx));
    }

    void init() { QFile::remove(StateFile::pathFor(QUrl::fromLocalFile(m_picture))); }

    // Each tool, driven by the pointer, changes the depth map along its stroke (or inside
    // its polygon) and nowhere else.
    void toolChangesDepthWhereTheStrokeWent_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("brush") << int(ImageEdit::DepthEditingBrush);
        QTest::newRow("edge heal") << int(ImageEdit::DepthEditingEdgeHeal);
        QTest::newRow("surface heal") << int(ImageEdit::DepthEditingSurfHeal);
        QTest::newRow("quick select") << int(ImageEdit::DepthEditingQuickSelect);
        QTest::newRow("lasso") << int(ImageEdit::DepthEditingLasso);
    }
    void toolChangesDepthWhereTheStrokeWent()
    {
        QFETCH(int, mode);
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_picture));
        ImageEditItem* item = canvas.item;
        const double aspect = double(item->pyramid()[0].height()) / item->pyramid()[0].width();
        const std::vector<QPointF> stroke { { 0.30, 0.50 }, { 0.45, 0.45 }, { 0.60, 0.55 } };
        const QPointF reference(0.9, 0.1);

        if (mode == ImageEdit::DepthEditingEdgeHeal || mode == ImageEdit::DepthEditingSurfHeal) {
            // Something to heal: a painted bar across the heal's path.
            item->setEditorMode(ImageEdit::DepthEditingBrush);
            item->setPickerMode(ImageEdit::Trajectory);
            canvas.stroke({ { 0.45, 0.35 }, { 0.45, 0.60 } });
            canvas.press(reference);
            item->applyDepthEdit();
        }
        const std::vector<float> before = canvas.depth();
        item->setEditorMode(ImageEdit::EditorMode(mode));
        item->setBrushSize(mode == ImageEdit::DepthEditingLasso ? 2 : 20);
        const double reach = mode == ImageEdit::DepthEditingLasso ? 0.02 : 0.02;
        const double slack = 1.5 / kGridW;
        std::vector<QPointF> area = stroke;
        if (mode == ImageEdit::DepthEditingLasso) {
            item->setPickerMode(ImageEdit::Segmented);
            area = { { 0.3, 0.3 }, { 0.6, 0.3 }, { 0.6, 0.6 }, { 0.3, 0.6 } };
            for (const QPointF& p : area)
                canvas.press(p);
            item->setPickerMode(ImageEdit::Reference); // closes the polygon
            QVERIFY(item->hasClosedEditArea());
            area.push_back(area.front());
        } else {
            item->setPickerMode(ImageEdit::Trajectory);
            canvas.stroke(stroke);
        }
        if (mode == ImageEdit::DepthEditingQuickSelect)
            QVERIFY(item->hasClosedEditArea());
        if (mode != ImageEdit::DepthEditingEdgeHeal && mode != ImageEdit::DepthEditingSurfHeal) {
            item->setPickerMode(ImageEdit::Reference);
            canvas.press(reference);
            QVERIFY(item->hasReferencePoint());
            item->applyDepthEdit();
        }
        QVERIFY(item->hasDepthEdits());
        const std::vector<float> after = canvas.depth();
        const float target
            = after[size_t(int(reference.y() * kGridH) * kGridW + int(reference.x() * kGridW))];
        int changedNear = 0;
        int unchanged = 0;
        for (size_t i = 0; i < after.size(); ++i) {
            const bool changed = after[i] != before[i];
            const QPointF c = cell(int(i));
            bool inside = distanceTo(c, area, aspect) <= reach + slack;
            if (mode == ImageEdit::DepthEditingLasso)
                inside = inside || (c.x() > 0.3 && c.x() < 0.6 && c.y() > 0.3 && c.y() < 0.6);
            if (mode == ImageEdit::DepthEditingQuickSelect) {
                // The selection grows over like colours and depths: only its seed is sure.
                if (distanceTo(c, stroke, aspect) < 0.005)
                    QCOMPARE(after[i], target);
                unchanged += !changed;
                changedNear += changed;
                continue;
            }
            if (changed && !inside)
                QFAIL(qPrintable(
                    QStringLiteral("depth changed away from the stroke at %1,%2").arg(c.x()).arg(c.y())));
            changedNear += changed;
            unchanged += !changed;
        }
        QVERIFY(changedNear > 0);
        QVERIFY(unchanged > 0);
    }

    // Undo and redo give back the map to the bit; undo, redo and reset are kept in the
    // state file like any edit, and the depth-edits flag follows them.
    void undoRedoResetAreExactAndSaved()
    {
        // Each step opens the picture afresh and closes it (saving what changed) at its end.
        const auto session = [&](const std::function<void(Canvas&)>& step) {
            ImageLocator locator(2, nullptr);
            Canvas canvas(locator);
            QVERIFY(canvas.open(m_picture));
            step(canvas);
        };
        const auto paint = [](Canvas& canvas) {
            canvas.item->setEditorMode(ImageEdit::DepthEditingBrush);
            canvas.item->setPickerMode(ImageEdit::Trajectory);
            canvas.stroke({ { 0.2, 0.2 }, { 0.7, 0.7 } });
            canvas.press(QPointF(0.9, 0.9));
            canvas.item->applyDepthEdit();
        };
        std::vector<float> original, edited;
        session([&](Canvas& canvas) {
            original = canvas.depth();
            QVERIFY(!canvas.item->hasDepthEdits());
            paint(canvas);
            edited = canvas.depth();
            QVERIFY(!sameBits(original, edited));
            QVERIFY(canvas.item->undoDepthEdit());
            QVERIFY(sameBits(canvas.depth(), original));
            QVERIFY(!canvas.item->hasDepthEdits());
            QVERIFY(canvas.item->redoDepthEdit());
            QVERIFY(sameBits(canvas.depth(), edited));
            QVERIFY(!canvas.item->redoDepthEdit()); // nothing left to redo
        });
        // Reopened: the edit is there. Undone and reopened: it is gone.
        session([&](Canvas& canvas) {
            QVERIFY(sameMap(canvas.depth(), edited));
            QVERIFY(canvas.item->hasDepthEdits());
            QSignalSpy flag(canvas.item, &ImageEditItem::hasDepthEditsChanged);
            QVERIFY(canvas.item->undoDepthEdit());
            QVERIFY(flag.count() >= 1);
            QVERIFY(!canvas.item->hasDepthEdits());
        });
        session([&](Canvas& canvas) {
            QVERIFY(sameMap(canvas.depth(), original));
            QVERIFY(!canvas.item->hasDepthEdits());
            paint(canvas);
            QVERIFY(canvas.item->hasDepthEdits());
        });
        // A reset of saved edits is saved too.
        session([&](Canvas& canvas) {
            QVERIFY(sameMap(canvas.depth(), edited));
            canvas.item->resetDepthEdits();
            QVERIFY(!canvas.item->hasDepthEdits());
            QVERIFY(sameMap(canvas.depth(), original));
        });
        session([&](Canvas& canvas) {
            QVERIFY(sameMap(canvas.depth(), original));
            QVERIFY(!canvas.item->hasDepthEdits());
        });
    }

    // The next picture starts clean: normal rendering (its regions asked anew, the change
    // announced) and no depth edits of the picture the pooled editor showed before.
    void nextPictureStartsClean()
    {
        vrxgen::PictureOptions o;
        o.moduleWidth = 320;
        o.moduleHeight = 240;
        o.frames = 1;
        QStringList plain;
        for (std::uint32_t seed : { 21u, 22u, 23u }) {
            o.seed = seed;
            plain << m_dir.path() + QStringLiteral("/IMG_plain%1.vrx").arg(seed);
            QVERIFY(
                vrxgen::writeFile(QFile::encodeName(plain.last()).toStdString(), vrxgen::makePicture(o).vrx));
        }
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_picture));
        canvas.item->setEditorMode(ImageEdit::DepthEditingBrush);
        canvas.item->setPickerMode(ImageEdit::Trajectory);
        canvas.stroke({ { 0.2, 0.2 }, { 0.7, 0.7 } });
        canvas.press(QPointF(0.9, 0.9));
        canvas.item->applyDepthEdit();
        canvas.item->serializeCurrentFile();
        QVERIFY(QFile::exists(StateFile::pathFor(QUrl::fromLocalFile(m_picture))));
        // Plain pictures and the edited one again, on the same two editors.
        for (const QString& next : QStringList { plain[0], m_picture, plain[1], plain[2] }) {
            canvas.item->setRenderMode(ImageEdit::QuickSelect);
            QSignalSpy mode(canvas.item, &ImageEditItem::renderModeChanged);
            QVERIFY(canvas.open(next));
            QCOMPARE(canvas.item->renderMode(), ImageEdit::Normal);
            QCOMPARE(mode.count(), 1);
            QVERIFY(!canvas.item->askedRegions().empty());
            QCOMPARE(canvas.item->hasDepthEdits(), next == m_picture);
        }
    }

    // Refocusing on a point makes that depth the sharpest: the local contrast there is
    // higher than when the focus is on a far other depth.
    void refocusSharpensTheClickedDepth()
    {
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_picture));
        ImageEditItem* item = canvas.item;
        const std::vector<float> depth = canvas.depth();
        // The nearest and the farthest cells, away from the edges.
        int nearest = -1, farthest = -1;
        for (int i = 0; i < int(depth.size()); ++i) {
            const QPointF c = cell(i);
            if (c.x() < 0.15 || c.x() > 0.85 || c.y() < 0.15 || c.y() > 0.85)
                continue;
            if (nearest < 0 || depth[size_t(i)] < depth[size_t(nearest)])
                nearest = i;
            if (farthest < 0 || depth[size_t(i)] > depth[size_t(farthest)])
                farthest = i;
        }
        QVERIFY(depth[size_t(farthest)] > depth[size_t(nearest)]);
        item->setEditorMode(ImageEdit::Refocus);
        item->setRenderMode(ImageEdit::RefocusPoint);
        double contrast[2][2]; // [focus][place]
        const QPointF places[2] = { cell(nearest), cell(farthest) };
        for (int focus = 0; focus < 2; ++focus) {
            canvas.press(places[focus]);
            QCOMPARE(item->hasReferencePoint(), true);
            QVERIFY(QTest::qWaitFor(
                [&] { return item->imageQuality() >= ImageEditItem::Preview && !item->isRefreshPending(); },
                60000));
            QTest::qWait(200);
            const QImage shot = canvas.window.grabWindow();
            for (int place = 0; place < 2; ++place) {
                const QPoint c = canvas.at(places[place]);
                double sum = 0;
                for (int y = c.y() - 12; y <= c.y() + 12; ++y)
                    for (int x = c.x() - 12; x <= c.x() + 12; ++x) {
                        const int g = qGray(shot.pixel(x, y));
                        const int lap = 4 * g - qGray(shot.pixel(x - 1, y)) - qGray(shot.pixel(x + 1, y))
                            - qGray(shot.pixel(x, y - 1)) - qGray(shot.pixel(x, y + 1));
                        sum += double(lap) * lap;
                    }
                contrast[focus][place] = sum;
            }
        }
        QVERIFY2(contrast[0][0] > contrast[1][0], "near place not sharper when focused on it");
        QVERIFY2(contrast[1][1] > contrast[0][1], "far place not sharper when focused on it");
    }

    // A press that the engine refuses (its picture was closed under the canvas, as when
    // the pooled editor is taken back) is logged and ignored, in every picking tool.
    void refusedPressIsIgnored()
    {
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        ImageEditItem* item = canvas.item;
        QVERIFY(canvas.open(m_picture));
        const QPoint middle = canvas.at(QPointF(0.5, 0.5));
        item->viewer()->closeImage();
        for (const ImageEdit::EditorMode mode : { ImageEdit::Refocus, ImageEdit::DepthEditingBrush,
                 ImageEdit::DepthEditingQuickSelect, ImageEdit::DepthEditingLasso }) {
            item->setEditorMode(mode);
            item->setPickerMode(ImageEdit::Reference);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("depth at point"));
            QTest::mouseClick(&canvas.window, Qt::LeftButton, {}, middle);
            QVERIFY(!item->hasReferencePoint());
            // The hovering cursor asks the engine too.
            QTest::mouseMove(&canvas.window, middle + QPoint(3, 3));
        }
        QCOMPARE(item->cursor().shape(), Qt::PointingHandCursor);
        item->setEditorMode(ImageEdit::Refocus);
        QTest::mouseMove(&canvas.window, middle);
        QCOMPARE(item->cursor().shape(), Qt::ForbiddenCursor);
    }
};

OSTRA_TEST_MAIN(TestDepthTools)
#include "tst_depthtools.moc"
