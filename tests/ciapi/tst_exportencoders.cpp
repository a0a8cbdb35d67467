#include <QtTest>

#include <cmath>

#include "ciapi/export/encoders.h"
#include "ciapi/export/exportgeometry.h"
#include "exportreadback.h"
#include "support/testmain.h"

using namespace CIAPI::exporter;

namespace {

// A gradient with a white marker in the top-left corner (4 x 4).
std::vector<uint8_t> testImage(int w, int h)
{
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
            const bool marker = x < 4 && y < 4;
            p[0] = marker ? 255 : uint8_t(x * 255 / w);
            p[1] = marker ? 255 : uint8_t(y * 255 / h);
            p[2] = marker ? 255 : 40;
        }
    return rgb;
}

} // namespace

class TestExportEncoders : public QObject
{
    Q_OBJECT

private slots:
    void jpegCarriesExif()
    {
        const auto rgb = testImage(96, 64);
        ExifFacts facts;
        facts.captureTime = 1700000000; // 2023-11-14 22:13:20 UTC
        facts.utcOffsetMinutes = 90;
        facts.imageUniqueId = uuidHex({ 0x00010203u, 0x04050607u, 0x08090a0bu, 0x0c0d0e0fu });
        QCOMPARE(QString::fromStdString(facts.imageUniqueId), QString("000102030405060708090a0b0c0d0e0f"));
        const auto jpeg = encodeJpeg(rgb.data(), 96, 64, 90, true, facts);
        const auto d = enginetest::readJpeg(jpeg);
        QCOMPARE(d.width, 96);
        QCOMPARE(d.height, 64);
        QVERIFY(std::fabs(d.at(50, 30, 0) - rgb[(30 * 96 + 50) * 3] / 255.f) < 0.05f);
        const auto exif = enginetest::readExif(jpeg);
        QCOMPARE(exif.orientation, 1);
        QCOMPARE(QString::fromStdString(exif.dateTimeOriginal), QString("2023:11:14 23:43:20"));
        QCOMPARE(QString::fromStdString(exif.imageUniqueId), QString::fromStdString(facts.imageUniqueId));
    }

    void ppmAndDngAreExact()
    {
        const auto rgb = testImage(33, 17);
        const auto ppm = enginetest::readPpm(encodePpm(rgb.data(), 33, 17));
        QCOMPARE(ppm.width, 33);
        QCOMPARE(ppm.height, 17);
        for (size_t i = 0; i < rgb.size(); ++i)
            QCOMPARE(ppm.pixels[i], rgb[i] / 255.f);
        std::vector<uint16_t> rgb16(rgb.size());
        for (size_t i = 0; i < rgb.size(); ++i)
            rgb16[i] = uint16_t(rgb[i] * 257 + (i % 7));
        const auto dng = enginetest::readDng(encodeDng(rgb16.data(), 33, 17, {}));
        QCOMPARE(dng.width, 33);
        QCOMPARE(dng.height, 17);
        for (size_t i = 0; i < rgb16.size(); ++i)
            QCOMPARE(dng.pixels[i], rgb16[i] / 65535.f);
    }

    // The marker in the top-left corner lands where each matrix sends it.
    void orientAllEight_data()
    {
        QTest::addColumn<QVector<int>>("matrix");
        QTest::addColumn<int>("cornerX"); // 0 left, 1 right
        QTest::addColumn<int>("cornerY");
        // Where the picture's top-left corner lands; "90" turns counter-clockwise as seen.
        QTest::newRow("identity") << QVector<int> { 1, 0, 0, 1 } << 0 << 0;
        QTest::newRow("90: top-left to bottom-left") << QVector<int> { 0, -1, 1, 0 } << 0 << 1;
        QTest::newRow("180") << QVector<int> { -1, 0, 0, -1 } << 1 << 1;
        QTest::newRow("270: top-left to top-right") << QVector<int> { 0, 1, -1, 0 } << 1 << 0;
        QTest::newRow("mirror") << QVector<int> { -1, 0, 0, 1 } << 1 << 0;
        QTest::newRow("flip") << QVector<int> { 1, 0, 0, -1 } << 0 << 1;
        QTest::newRow("90 mirrored: to bottom-right") << QVector<int> { 0, 1, 1, 0 } << 1 << 1;
        QTest::newRow("270 mirrored: stays") << QVector<int> { 0, -1, -1, 0 } << 0 << 0;
    }
    void orientAllEight()
    {
        QFETCH(QVector<int>, matrix);
        QFETCH(int, cornerX);
        QFETCH(int, cornerY);
        const int w = 20, h = 12;
        const auto rgb = testImage(w, h);
        const std::array<int, 4> m { matrix[0], matrix[1], matrix[2], matrix[3] };
        const auto out = orient(rgb, w, h, 3, m);
        const bool t = m[0] == 0;
        const int W = t ? h : w, H = t ? w : h;
        const int cx = cornerX ? W - 1 : 0, cy = cornerY ? H - 1 : 0;
        QCOMPARE(int(out[(size_t(cy) * W + cx) * 3 + 2]), 255);
        // Every source pixel appears exactly once.
        int whites = 0;
        for (size_t i = 0; i < out.size(); i += 3)
            whites += out[i + 2] == 255;
        QCOMPARE(whites, 16);
    }
};

OSTRA_TEST_MAIN_CORE(TestExportEncoders)
#include "tst_exportencoders.moc"
