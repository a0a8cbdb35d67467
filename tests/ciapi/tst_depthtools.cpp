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
        // No depth yet.
        QVERIFY_EXCEPTION_THROWN(brushPatch(doc, { { 0.5f, 0.5f } }, 0.1f, 2.f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(doc.depthAt(0.5f, 0.5f), std::runtime_error);
        doc.setBase(sceneDepth());
        QVERIFY_EXCEPTION_THROWN(brushPatch(doc, { { 0.5f, 1.01f } }, 0.1f, 2.f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(healPatch(doc, { { -0.01f, 0.5f } }, 0.1f, true), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(
            lassoPatch(doc, { { 0.1f, 0.1f }, { 0.5f, 0.5f } }, 2.f, 0.f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(
            lassoPatch(doc, { { 0.1f, 0.1f }, { 0.5f, 0.1f }, { 0.3f, 1.01f } }, 2.f, 0.f),
            std::runtime_error);
        const std::vector<NPoint> collinear { { 0.1f, 0.1f }, { 0.3f, 0.3f }, { 0.5f, 0.5f } };
        QVERIFY_EXCEPTION_THROWN(lassoPatch(doc, collinear, 2.f, 0.f), std::runtime_error);
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
};

OSTRA_TEST_MAIN_CORE(TestDepthTools)
#include "tst_depthtools.moc"
