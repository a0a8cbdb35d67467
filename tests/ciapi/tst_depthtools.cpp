#include <QtTest>

#include <cmath>
#include <cstring>

#include "ciapi/depth/depthdocument.h"
#include "ciapi/depth/depthtools.h"
#include "support/testmain.h"

using namespace CIAPI::depth;
using CIAPI::render::RgbPlanes;

namespace {

// A 64 x 48 map: background at 8 m, a square at 2 m in the middle (x 24..40, y 16..32).
PlaneF sceneDepth()
{
    PlaneF p(64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            p.at(x, y) = (x >= 24 && x < 40 && y >= 16 && y < 32) ? 2.f : 8.f;
    return p;
}

// Colours that follow the depth: a red square on grey.
RgbPlanes<uint16_t> sceneGuide()
{
    RgbPlanes<uint16_t> g;
    g.reset(64, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const bool sq = x >= 24 && x < 40 && y >= 16 && y < 32;
            g.c[0].at(x, y) = sq ? 50000 : 20000;
            g.c[1].at(x, y) = sq ? 5000 : 20000;
            g.c[2].at(x, y) = sq ? 5000 : 20000;
        }
    return g;
}

bool same(const PlaneF& a, const PlaneF& b)
{
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.row(y), b.row(y), sizeof(float) * size_t(a.width())) != 0)
            return false;
    return true;
}

} // namespace

class TestDepthTools : public QObject
{
    Q_OBJECT

private slots:
    void badInputThrows()
    {
        DepthDocument doc;
        QVERIFY_EXCEPTION_THROWN(
            brushPatch(doc, { { 0.5f, 0.5f } }, 0.1f, 2.f), std::runtime_error); // no depth yet
        QVERIFY_EXCEPTION_THROWN(doc.depthAt(0.5f, 0.5f), std::runtime_error);
        doc.setBase(sceneDepth());
        QVERIFY_EXCEPTION_THROWN(brushPatch(doc, { { 0.5f, 1.2f } }, 0.1f, 2.f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(healPatch(doc, { { -0.1f, 0.5f } }, 0.1f, true), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(
            lassoPatch(doc, { { 0.1f, 0.1f }, { 0.5f, 0.5f } }, 2.f, 0.f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(
            lassoPatch(doc, { { 0.1f, 0.1f }, { 0.3f, 0.3f }, { 0.5f, 0.5f } }, 2.f, 0.f),
            std::runtime_error); // collinear
        QVERIFY_EXCEPTION_THROWN(doc.depthAt(1.f, 0.5f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(selectionPatch(doc, 3.f), std::runtime_error); // nothing selected
        QVERIFY(!doc.hasEdits());
    }

    // The stack survives being saved and read back over the same base map, redo part included.
    void editsRoundTrip()
    {
        DepthDocument doc;
        doc.setBase(sceneDepth());
        doc.push(brushPatch(doc, { { 0.2f, 0.2f } }, 0.05f, 3.f));
        doc.push(lassoPatch(doc, { { 0.6f, 0.6f }, { 0.9f, 0.6f }, { 0.9f, 0.9f } }, 1.5f, 0.01f));
        doc.push(healPatch(doc, { { 0.4f, 0.4f } }, 0.05f, false));
        QVERIFY(doc.undo());
        doc.setFaceMatting(true);
        const auto bytes = doc.saveEdits();
        const auto baseBytes = doc.saveBase();

        DepthDocument back;
        back.setBase(DepthDocument::loadBase(baseBytes.data(), baseBytes.size()));
        back.restoreEdits(bytes.data(), bytes.size());
        QVERIFY(same(doc.current(), back.current()));
        QCOMPARE(back.appliedCount(), size_t(2));
        QCOMPARE(back.editCount(), size_t(3));
        QVERIFY(back.faceMatting());
        QVERIFY(back.redo());
        QVERIFY(doc.redo());
        QVERIFY(same(doc.current(), back.current()));
        QVERIFY(back.undo() && back.undo() && back.undo());
        QVERIFY(same(back.current(), back.base()));

        // Damaged bytes are refused, never half applied.
        auto broken = bytes;
        broken.resize(broken.size() - 7);
        DepthDocument other;
        other.setBase(sceneDepth());
        QVERIFY_EXCEPTION_THROWN(other.restoreEdits(broken.data(), broken.size()), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(DepthDocument::loadBase(baseBytes.data(), 20), std::runtime_error);
    }

    void refineFillsHolesAndFollowsEdges()
    {
        // Factory map at half resolution with a hole and a blurred edge.
        PlaneF factory(32, 24);
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 32; ++x)
                factory.at(x, y) = (x >= 12 && x < 20 && y >= 8 && y < 16) ? 2.f : 8.f;
        factory.at(2, 2) = 0.f;
        int last = -1;
        const PlaneF depth = refineDepth(factory, sceneGuide(), [&](int p) {
            QVERIFY(p > last && p < 100);
            last = p;
        });
        QCOMPARE(depth.width(), 64);
        QVERIFY(last >= 0);
        QVERIFY(std::fabs(depth.at(4, 4) - 8.f) < 0.5f);
        QVERIFY(std::fabs(depth.at(32, 24) - 2.f) < 0.5f);
        for (int y = 0; y < depth.height(); ++y)
            for (int x = 0; x < depth.width(); ++x)
                QVERIFY(depth.at(x, y) > 0.f);
        // Matting pulls depth towards the colour edges of the guide.
        PlaneF blurred(64, 48);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                blurred.at(x, y) = x < 22 ? 8.f : (x < 26 ? 8.f - 1.5f * (x - 21) : (x < 40 ? 2.f : 8.f));
        const PlaneF matted = matte(blurred, sceneGuide());
        QVERIFY(std::fabs(matted.at(23, 24) - 8.f) < std::fabs(blurred.at(23, 24) - 8.f));
    }
};

OSTRA_TEST_MAIN_CORE(TestDepthTools)
#include "tst_depthtools.moc"
