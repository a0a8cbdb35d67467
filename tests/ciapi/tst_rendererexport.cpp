#include <QtTest>

#include <sstream>

#include "exportreadback.h"
#include "renderfixture.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace enginetest;

namespace {

std::vector<uint8_t> exportBytes(
    Renderer& r, Point<int> size, int format, std::vector<int>* progress = nullptr, bool* result = nullptr)
{
    auto out = std::make_shared<std::ostringstream>();
    const bool ok = r.writeImage(out, size, ExportImageFormat(format), [&](int p) {
        if (progress)
            progress->push_back(p);
    });
    if (result)
        *result = ok;
    const std::string s = out->str();
    return { s.begin(), s.end() };
}

} // namespace

class TestRendererExport : public QObject
{
    Q_OBJECT

private slots:
    // Every format, every orientation, with a crop: the file reads back at the expected size.
    void sizesForFormatsOrientationsCrops_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("orientation");
        for (int f = 0; f < 4; ++f)
            for (int o = 0; o < 8; ++o)
                QTest::newRow(qPrintable(QString("format %1 orientation %2").arg(f).arg(o))) << f << o;
    }
    void sizesForFormatsOrientationsCrops()
    {
        QFETCH(int, format);
        QFETCH(int, orientation);
        const auto pic = picture(3, orientation);
        auto r = rendererFor(pic, 0);
        r->transform().setCrop({ 0.25f, 0.1f, 0.5f, 0.6f });
        r->setProperty(IntParam::ExportColorSpace, format <= 1 ? 4 : format == 2 ? 0 : 1);
        // Size of the whole crop before turning, as the export writer computes it.
        const Point<int> size { int(4160 * 0.5f / 8), int(3120 * 0.6f / 8) }; // 260 x 234
        std::vector<int> progress;
        const auto bytes = exportBytes(*r, size, format, &progress);
        const Decoded d = readAny(bytes, format);
        const bool turned = r->transform().transposed();
        QCOMPARE(d.width, turned ? size.y : size.x);
        QCOMPARE(d.height, turned ? size.x : size.y);
        QVERIFY(!progress.empty());
        QCOMPARE(progress.front(), 0);
        QCOMPARE(progress.back(), 100);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        if (format == 0) {
            const ExifSeen exif = readExif(bytes);
            QCOMPARE(exif.orientation, 1);
            QCOMPARE(QString::fromStdString(exif.imageUniqueId),
                QString::fromStdString(vrxgen::imageUuidText(pic.meta.imageUuid)).remove('-'));
            QVERIFY(!exif.dateTimeOriginal.empty());
        }
    }

    // Turning moves content: the top-left of an unturned export is where the turn puts it.
    void rotationMovesContent()
    {
        const auto pic = picture(3, 0);
        auto plain = rendererFor(pic, 0);
        const Decoded a = readPpm(exportBytes(*plain, { 208, 156 }, 1));
        auto turned = rendererFor(pic, 0);
        turned->transform().reset(7); // 180 degrees
        const Decoded b = readPpm(exportBytes(*turned, { 208, 156 }, 1));
        QCOMPARE(b.width, a.width);
        double diff = 0, same = 0;
        for (int y = 0; y < a.height; y += 7)
            for (int x = 0; x < a.width; x += 7)
                for (int c = 0; c < 3; ++c) {
                    diff += std::fabs(a.at(x, y, c) - b.at(a.width - 1 - x, a.height - 1 - y, c));
                    same += std::fabs(a.at(x, y, c) - b.at(x, y, c));
                }
        QVERIFY2(diff * 4 < same, qPrintable(QString("%1 vs %2").arg(diff).arg(same)));
    }

    void colourSpaceAndFidelityMatter()
    {
        const auto pic = picture();
        auto r = rendererFor(pic, 0);
        r->setProperty(FloatParam::Contrast, 60.f);
        r->setProperty(IntParam::ExportColorSpace, 4);
        const Decoded display = readPpm(exportBytes(*r, { 208, 156 }, 1));
        r->setProperty(IntParam::ExportColorSpace, 0);
        const Decoded linear = readPpm(exportBytes(*r, { 208, 156 }, 1));
        double mDisplay = 0, mLinear = 0;
        for (size_t i = 0; i < display.pixels.size(); ++i) {
            mDisplay += display.pixels[i];
            mLinear += linear.pixels[i];
        }
        QVERIFY(mDisplay > mLinear * 1.3); // the sRGB curve lifts the mid-tones
        r->setProperty(IntParam::ExportColorSpace, 4);
        r->setProperty(IntParam::HighFidelity, 1);
        const auto hi = exportBytes(*r, { 208, 156 }, 0);
        r->setProperty(IntParam::HighFidelity, 0);
        const auto lo = exportBytes(*r, { 208, 156 }, 0);
        QVERIFY(hi != lo);
        QCOMPARE(readJpeg(hi).width, readJpeg(lo).width);
    }

    void badRequestsThrow()
    {
        const auto pic = picture();
        auto r = rendererFor(pic, 0);
        QVERIFY_EXCEPTION_THROWN(exportBytes(*r, { 10, 10 }, 4), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(exportBytes(*r, { 10, 10 }, -1), std::runtime_error);
        auto empty = Renderer::Create(0);
        QVERIFY_EXCEPTION_THROWN(exportBytes(*empty, { 10, 10 }, 0), std::runtime_error);
    }

    // abort() from another thread makes the running export return false and write nothing.
    void abortStopsExport()
    {
        const auto pic = picture();
        auto r = rendererFor(pic, 0);
        r->setProperty(IntParam::HighFidelity, 1);
        auto out = std::make_shared<std::ostringstream>();
        bool aborted = false;
        const bool ok = r->writeImage(out, { 4160, 3120 }, ExportJPEG, [&](int p) {
            if (p > 0 && !aborted) {
                aborted = true;
                r->abort(); // the same call the export queue makes from its thread
            }
        });
        QVERIFY(aborted);
        QVERIFY(!ok);
        QVERIFY(out->str().empty());
        // The next export is not affected.
        bool again = false;
        exportBytes(*r, { 104, 78 }, 1, nullptr, &again);
        QVERIFY(again);
    }
};

OSTRA_TEST_MAIN_CORE(TestRendererExport)
#include "tst_rendererexport.moc"
