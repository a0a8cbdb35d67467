#include "support/testmain.h"

#include "display/imageeditnode.h"
#include "display/imagegeometry.h"
#include "display/lassopathnode.h"

#include <QImage>
#include <QSGMaterial>

namespace {

int g_warnings = 0;
QtMessageHandler g_previous = nullptr;

void countWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg)
        ++g_warnings;
    g_previous(type, context, text);
}

} // namespace

class TestLassoPathNode : public QObject
{
    Q_OBJECT
private slots:
    // The dashes alternate pixel by pixel across the whole pattern and repeat seamlessly;
    // no pixel is written outside the image.
    void patternAlternatesWithinItsWidth()
    {
        g_warnings = 0;
        g_previous = qInstallMessageHandler(countWarnings);
        const QImage image = LassoPathNode::pattern();
        qInstallMessageHandler(g_previous);
        QCOMPARE(g_warnings, 0);
        QCOMPARE(image.size(), QSize(LassoPathNode::kTextureWidth, 1));
        for (int x = 0; x < image.width(); ++x)
            QVERIFY(image.pixel(x, 0) != image.pixel((x + 1) % image.width(), 0));
    }

    // A line strip through every point, a square of four lines round every corner, drawn
    // in the blended pass so that they land on top of the picture's planes.
    void cornersAreSquaresOnTop()
    {
        LassoPathNode node(nullptr);
        node.setPath({ { 0, 0 }, { 10, 0 }, { 10, 10 } }, { { 0, 0 }, { 10, 10 } });
        QCOMPARE(node.geometry()->vertexCount(), 3);
        QCOMPARE(node.childCount(), 1);
        auto* corners = static_cast<QSGGeometryNode*>(node.firstChild());
        QCOMPARE(corners->geometry()->vertexCount(), 2 * 8);
        QVERIFY(corners->material()->flags() & QSGMaterial::Blending);
        QVERIFY(node.material()->flags() & QSGMaterial::Blending);
    }

    // The canvas's node draws the lasso, and no brush spray, through the view's current
    // mapping: a pan alone moves it.
    void editNodeDrawsTheLassoWhereTheViewPutsIt()
    {
        ImageEditNode root(nullptr);
        ImageEditState state;
        state.overlayMode = ImageEdit::DepthEditingLasso;
        state.strokePoints = { { 0.2, 0.2 }, { 0.6, 0.4 } };
        ImageGeometry g;
        g.setImageSize(640, 480);
        g.setViewSize(640, 480);
        auto* lasso = static_cast<QSGGeometryNode*>(root.overlay()->childAtIndex(1)->firstChild());
        for (float pan : { 0.f, 40.f }) {
            g.setPan(pan, 0);
            g.recompute();
            root.updateOverlay(state, g, false);
            QVERIFY(root.lassoShown() && !root.brushShown());
            const float* first = static_cast<const float*>(lasso->geometry()->vertexData());
            QCOMPARE(QPointF(first[0], first[1]), g.imageToView(state.strokePoints[0]));
        }
    }
};

OSTRA_TEST_MAIN(TestLassoPathNode)
#include "tst_lassopathnode.moc"
