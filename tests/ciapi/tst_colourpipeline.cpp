#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "ciapi/render/colourpipeline.h"
#include "support/testmain.h"

using namespace CIAPI::render;

namespace {

// A camera-to-sRGB matrix like a real module's: strong diagonal, negative off-diagonal terms.
const Mat3 kCamera = { 1.7f, -0.5f, -0.2f, -0.25f, 1.45f, -0.2f, 0.05f, -0.55f, 1.5f };

std::vector<uint16_t> randomSamples(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i) // the extremes often, the rest anywhere
        v[i] = i % 11 == 0 ? 0 : (i % 13 == 0 ? 65535 : uint16_t(random()));
    return v;
}

// Exact comparison of floats (QCOMPARE on floats is fuzzy).
uint32_t bits(float f)
{
    uint32_t w;
    std::memcpy(&w, &f, 4);
    return w;
}

} // namespace

// The row functions work several pixels at a time; every pixel, the ends of odd-length rows
// included, must come out as the one-pixel functions give it.
class TestColourPipeline : public QObject
{
    Q_OBJECT

private slots:
    void rowsMatchSinglePixels_data()
    {
        QTest::addColumn<float>("exposure");
        QTest::addColumn<float>("contrast");
        QTest::addColumn<float>("vibrance");
        QTest::newRow("plain") << 0.f << 0.f << 0.f;
        QTest::newRow("bright") << 1.5f << 0.f << 0.f; // many values clip at white
        QTest::newRow("contrast") << 0.3f << 40.f << 0.f;
        QTest::newRow("vibrance") << -0.5f << 0.f << 60.f;
        QTest::newRow("less vibrance") << 0.f << 0.f << -70.f;
        QTest::newRow("everything") << 0.7f << -30.f << 25.f;
    }
    void rowsMatchSinglePixels()
    {
        QFETCH(float, exposure);
        QFETCH(float, contrast);
        QFETCH(float, vibrance);
        ToneSettings t;
        t.exposure = exposure;
        t.contrast = contrast;
        t.vibrance = vibrance;
        t.saturation = 20.f;
        t.temperature = 4300.f;
        const ColourPipeline p(t, kCamera);
        const Mat3& m = p.matrix();
        for (int n : { 1, 3, 4, 7, 8, 9, 37, 4099 }) {
            const size_t count = size_t(n);
            const auto r = randomSamples(count, 1), g = randomSamples(count, 2), b = randomSamples(count, 3);
            std::vector<float> lr(count), lg(count), lb(count);
            p.toLinear(r.data(), g.data(), b.data(), n, lr.data(), lg.data(), lb.data());
            std::vector<uint8_t> rgba(count * 4), bgra(count * 4), encoded(count * 4);
            p.toPixels(r.data(), g.data(), b.data(), n, rgba.data(), false);
            p.toPixels(r.data(), g.data(), b.data(), n, bgra.data(), true);
            p.encodeRow(lr.data(), lg.data(), lb.data(), n, encoded.data(), false);
            for (int i = 0; i < n; ++i) {
                const float k = 1.f / 65535.f;
                const float cr = r[size_t(i)] * k, cg = g[size_t(i)] * k, cb = b[size_t(i)] * k;
                float xyz[3];
                for (int c = 0; c < 3; ++c)
                    xyz[c] = p.contrast(m[c * 3] * cr + m[c * 3 + 1] * cg + m[c * 3 + 2] * cb);
                if (p.hasVibrance())
                    p.vibrance(xyz[0], xyz[1], xyz[2]);
                const uint8_t* e = &encoded[size_t(i) * 4];
                const std::vector<float>* linear[3] = { &lr, &lg, &lb };
                for (int c = 0; c < 3; ++c) {
                    QCOMPARE(bits((*linear[c])[size_t(i)]), bits(xyz[c]));
                    QCOMPARE(int(e[c]), int(p.encode(xyz[c])));
                }
                QCOMPARE(int(e[3]), 255);
                const uint8_t* q = &rgba[size_t(i) * 4];
                // The tone path without vibrance looks the 16-bit values up in a table: within
                // one step of the float path.
                for (int c = 0; c < 3; ++c)
                    QVERIFY(p.hasVibrance() ? q[c] == e[c] : std::abs(int(q[c]) - int(e[c])) <= 1);
                QCOMPARE(int(q[3]), 255);
                const uint8_t* s = &bgra[size_t(i) * 4];
                for (int c = 0; c < 3; ++c)
                    QCOMPARE(int(s[c]), int(q[2 - c]));
                QCOMPARE(int(s[3]), 255);
            }
        }
    }

    // Values outside [0, 1], and values that are not numbers, never read outside the tables.
    void encodeRowClampsEverything()
    {
        const ColourPipeline p(ToneSettings {}, kCamera);
        const float nan = std::numeric_limits<float>::quiet_NaN(),
                    inf = std::numeric_limits<float>::infinity();
        const std::vector<float> v
            = { nan, -inf, -1.f, -0.f, 0.f, 1e-7f, 0.0031308f, 0.5f, 1.f, 1.0001f, 7.f, inf, nan };
        std::vector<uint8_t> out(v.size() * 4);
        p.encodeRow(v.data(), v.data(), v.data(), int(v.size()), out.data(), false);
        const int expected[] = { 255, 0, 0, 0, 0, 0, 10, 188, 255, 255, 255, 255, 255 };
        for (size_t i = 0; i < v.size(); ++i) {
            QCOMPARE(int(out[i * 4]), expected[i]);
            QCOMPARE(int(out[i * 4]), int(p.encode(v[i])));
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestColourPipeline)
#include "tst_colourpipeline.moc"
