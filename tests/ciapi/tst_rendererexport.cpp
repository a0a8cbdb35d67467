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
