#include "support/testmain.h"

#include "engine/statefile.h"
#include "support/depthcanvas.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <functional>

using ostra::test::DepthCanvas;
using Canvas = DepthCanvas;

namespace {

// The state file keeps the computed map at a reduced precision: across a reopening, maps
// match to a fraction of the depth range (an edit moves depths by whole units).
bool sameMap(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](float x, float y) {
        return std::abs(x - y) <= 0.01f;
    });
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
        m_picture = m_dir.path() + "/IMG_depth.vrx";
        QVERIFY(ostra::test::writeDepthPicture(m_picture, 640, 480, 5));
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

        // Something to heal: a painted bar across the heal's path.
        if (mode == ImageEdit::DepthEditingEdgeHeal || mode == ImageEdit::DepthEditingSurfHeal)
            canvas.paint({ 0.45, 0.35 }, { 0.45, 0.60 }, reference);
        const std::vector<float> before = canvas.depth();
        item->setEditorMode(ImageEdit::EditorMode(mode));
        item->setBrushSize(mode == ImageEdit::DepthEditingLasso ? 2 : 20);
        const double reach = 0.02 + 1.5 / Canvas::kGridW; // brush or feather, and a cell
        std::vector<QPointF> area = stroke;
        if (mode == ImageEdit::DepthEditingLasso) {
            item->setPickerMode(ImageEdit::Segmented);
            area = { { 0.3, 0.3 }, { 0.6, 0.3 }, { 0.6, 0.6 }, { 0.3, 0.6 } };
            for (const QPointF& p : area)
                canvas.press(p);
            item->setPickerMode(ImageEdit::Reference); // closes the polygon
            QVERIFY(item->hasClosedEditArea());
            area.push_back(area.front());
            const QImage still = canvas.window.grabWindow(); // its dashes march
            QTRY_VERIFY(canvas.window.grabWindow() != still);
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
        const float target = after[size_t(
            int(reference.y() * Canvas::kGridH) * Canvas::kGridW + int(reference.x() * Canvas::kGridW))];
        int changedCells = 0;
        for (size_t i = 0; i < after.size(); ++i) {
            const bool changed = after[i] != before[i];
            const QPointF c = Canvas::cell(int(i));
            bool inside = ostra::test::distanceToPath(c, area, aspect) <= reach;
            if (mode == ImageEdit::DepthEditingLasso)
                inside = inside || (c.x() > 0.3 && c.x() < 0.6 && c.y() > 0.3 && c.y() < 0.6);
            if (mode == ImageEdit::DepthEditingQuickSelect) {
                // The selection grows over like colours and depths: only its seed is sure.
                if (ostra::test::distanceToPath(c, stroke, aspect) < 0.005)
                    QCOMPARE(after[i], target);
            } else if (changed && !inside) {
                QFAIL(qPrintable(
                    QStringLiteral("depth changed away from the stroke at %1,%2").arg(c.x()).arg(c.y())));
            }
            changedCells += changed;
        }
        QVERIFY(changedCells > 0 && changedCells < int(after.size()));
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
        const auto paint = [](Canvas& canvas) { canvas.paint({ 0.2, 0.2 }, { 0.7, 0.7 }, { 0.9, 0.9 }); };
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
        QStringList plain;
        for (std::uint32_t seed : { 21u, 22u, 23u }) {
            plain << m_dir.path() + QStringLiteral("/IMG_plain%1.vrx").arg(seed);
            QVERIFY(ostra::test::writeDepthPicture(plain.last(), 320, 240, seed));
        }
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        QVERIFY(canvas.open(m_picture));
        canvas.paint({ 0.2, 0.2 }, { 0.7, 0.7 }, { 0.9, 0.9 });
        canvas.item->serializeCurrentFile(); // written on a worker
        QTRY_VERIFY(QFile::exists(StateFile::pathFor(QUrl::fromLocalFile(m_picture))));
        // Plain pictures and the edited one again, on the same two editors.
        int swaps = 0;
        for (const QString& next : QStringList { plain[0], m_picture, plain[1], plain[2] }) {
            canvas.item->setRenderMode(ImageEdit::QuickSelect);
            QSignalSpy mode(canvas.item, &ImageEditItem::renderModeChanged);
            ImageEditor* left = canvas.item->viewer();
            QVERIFY(canvas.open(next));
            // An editor left behind (the pool may hand the same one back) no longer drives
            // the canvas's busy mark.
            QSignalSpy busy(canvas.item, &ImageEditItem::updatingDepthChanged);
            if (left != canvas.item->viewer() && ++swaps)
                emit left->setBusyIndicatorSignal(true);
            QCOMPARE(busy.count(), 0);
            QCOMPARE(canvas.item->renderMode(), ImageEdit::Normal);
            QCOMPARE(mode.count(), 1);
            QVERIFY(!canvas.item->askedRegions().empty());
            QCOMPARE(canvas.item->hasDepthEdits(), next == m_picture);
        }
        QVERIFY(swaps > 0);
    }

    // The histogram counts the picture only: the shading and the depth colours of the focus
    // views leave it as it was.
    void histogramCountsThePictureOnly_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("focus point") << int(ImageEdit::RefocusPoint);
        QTest::newRow("focus slider") << int(ImageEdit::RefocusSlider);
    }
    void histogramCountsThePictureOnly()
    {
        QFETCH(int, mode);
        ImageLocator locator(2, nullptr);
        Canvas canvas(locator);
        ImageEditItem* item = canvas.item;
        QVERIFY(canvas.open(m_picture));
        // Frames drawn until the counts of what is shown have reached the item.
        const auto drawn = [&] {
            QVERIFY(canvas.settle());
            for (int i = 0; i < 3; ++i) {
                canvas.window.grabWindow();
                QCoreApplication::processEvents();
            }
        };
        const auto total = [&] {
            qint64 n = 0;
            for (const QVariant& v : item->histogram().value(3).toList())
                n += v.toInt();
            return n;
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                canvas.window.grabWindow();
                return total() > 0;
            },
            30000));
        // Focused on the nearest depth (drawn again through a change of view): the farther
        // parts are shaded in the focus view.
        item->viewer()->setRendererProperty1(item->depthRange().first);
        item->setRenderMode(ImageEdit::QuickSelect);
        item->setRenderMode(ImageEdit::Normal);
        drawn();
        const QVariantList picture = item->histogram();
        item->setRenderMode(ImageEdit::RenderMode(mode));
        drawn();
        QCOMPARE(item->histogram(), picture);
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
        // Focus may go to the nearest and the farthest depth of the map, not beyond them.
        const auto [nearest, farthest] = item->depthRange();
        QVERIFY(nearest < farthest);
        QVERIFY(item->isValidDepth(nearest) && item->isValidDepth(farthest));
        QVERIFY(!item->isValidDepth(std::nextafter(nearest, -1e9f)));
        QVERIFY(!item->isValidDepth(std::nextafter(farthest, 1e9f)));
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
