// Exports through the renderer, and the encoders and the turn they use.
#include <QtTest>

#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "ciapi/export/encoders.h"
#include "ciapi/export/exportgeometry.h"
#include "ciapi/render/workerpool.h"
#include "exportreadback.h"
#include "renderfixture.h"
#include "support/testmain.h"

using namespace CIAPI;
using namespace enginetest;
using namespace CIAPI::exporter;

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

// A size in /proc/self/status ("VmRSS", "VmHWM"), in bytes (0 when unknown).
qint64 statusBytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(QByteArray(field) + ':'))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').value(0).toLongLong() * 1024;
    return 0;
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

    // The export's planes, and the picture's levels once its renderer is gone, go back to the
    // system: the process does not keep them as free space of the allocator (a whole
    // refocused export of a 13 MP picture, depth computed, holds some hundred MB on the way).
    void exportGivesItsMemoryBack()
    {
#if defined(__SANITIZE_ADDRESS__)
        // The sanitizer's allocator keeps freed blocks in quarantine: nothing goes back.
        QSKIP("Memory given back is not seen under the address sanitizer");
#endif
        const auto pic = picture(7);
        const qint64 before = statusBytes("VmRSS");
        QVERIFY(before > 0);
        // The peak from here on (the kernel's high-water mark set back to what is resident).
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
            QSKIP("The peak resident set cannot be reset here");
        clear.close();
        auto r = rendererFor(pic, 3);
        r->setProperty(IntParam::HighFidelity, 1);
        const ImagePyramid p = r->outputBuffer();
        const std::vector<uint8_t> jpeg = exportBytes(*r, { p[0].width(), p[0].height() }, ExportJPEG);
        QVERIFY(jpeg.size() > 1000);
        r.reset();
        const qint64 peak = statusBytes("VmHWM"), after = statusBytes("VmRSS");
        const qint64 mib = 1 << 20;
        // The export was large on the way (else this checks nothing) ...
        QVERIFY2(peak - before > 48 * mib, qPrintable(QString::number((peak - before) / mib)));
        // ... and what stays is small change (thread stacks, tables, pages that blocks still in
        // use keep in the allocator: up to 16 MB here), not the planes (70 MB when kept).
        QVERIFY2(after - before < 32 * mib, qPrintable(QString::number((after - before) / mib)));
    }

    // The export the queue runs (depth computed on the way, refocused, high fidelity) writes the
    // same bytes whatever the number of threads and whatever was made before it: the raw frames
    // are decoded (two of them kept side by side, a third summed with them), the depth aligned,
    // the mosaic made and the level rows developed side by side, finishing in any order; at the
    // picture's own size, its tiles are rendered and converted in the order the threads take
    // them.
    void queueExportSameWhateverTheOrder_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<bool>("depthBefore"); // computed by a render before the export
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("ownSize"); // else scaled to 900 x 675
        QTest::newRow("two threads") << 2 << false << 3 << false;
        QTest::newRow("three threads") << 3 << false << 3 << false;
        QTest::newRow("eight threads") << 8 << false << 3 << false;
        QTest::newRow("depth there before, one thread") << 1 << true << 3 << false;
        QTest::newRow("depth there before, eight threads") << 8 << true << 3 << false;
        QTest::newRow("two frames, three threads") << 3 << false << 2 << false;
        QTest::newRow("two frames, eight threads") << 8 << false << 2 << false;
        QTest::newRow("own size, three threads") << 3 << false << 3 << true;
        QTest::newRow("own size, two frames, eight threads") << 8 << false << 2 << true;
    }
    void queueExportSameWhateverTheOrder()
    {
        QFETCH(int, threads);
        QFETCH(bool, depthBefore);
        QFETCH(int, frames);
        QFETCH(bool, ownSize);
        vrxgen::PictureOptions o = pictureOptions(11);
        o.frames = frames;
        o.compressed = true;
        const vrxgen::Picture pic = vrxgen::makePicture(o);
        auto exportWith = [&](int n, bool depthFirst) {
            render::WorkerPool::instance().shutdown();
            render::WorkerPool::instance().setThreadLimit(n);
            auto r = rendererFor(pic, 3);
            r->setProperty(IntParam::HighFidelity, 1);
            const ImagePyramid p = r->outputBuffer();
            if (depthFirst)
                r->render(p.levelCount() - 1, ROI { 0, 0, 1, 1 }, 1, true);
            return exportBytes(*r,
                ownSize ? Point<int> { p[0].width(), p[0].height() } : Point<int> { 900, 675 }, ExportJPEG);
        };
        // Made once for each kind of picture and size, on one thread, for every row.
        static std::map<std::pair<int, bool>, std::vector<uint8_t>> references;
        auto found = references.find({ frames, ownSize });
        if (found == references.end())
            found = references.emplace(std::make_pair(frames, ownSize), exportWith(1, false)).first;
        const std::vector<uint8_t>& reference = found->second;
        QVERIFY(reference.size() > 1000);
        const std::vector<uint8_t> got = exportWith(threads, depthBefore);
        render::WorkerPool::instance().shutdown();
        render::WorkerPool::instance().setThreadLimit(0);
        QCOMPARE(got.size(), reference.size());
        QVERIFY(got == reference);
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

    // JPEG within a few steps and with its EXIF facts (the capture time in local time), PPM
    // and DNG exact.
    void encodersReadBack()
    {
        const auto rgb = testImage(33, 17);
        ExifFacts facts;
        facts.captureTime = 1700000000; // 2023-11-14 22:13:20 UTC
        facts.utcOffsetMinutes = 90;
        facts.imageUniqueId = uuidHex({ 0x00010203u, 0x04050607u, 0x08090a0bu, 0x0c0d0e0fu });
        const auto jpeg = encodeJpeg(rgb.data(), 33, 17, 90, true, facts);
        const auto d = readJpeg(jpeg);
        QCOMPARE(d.width, 33);
        QCOMPARE(d.height, 17);
        QVERIFY(std::fabs(d.at(20, 10, 0) - rgb[(10 * 33 + 20) * 3] / 255.f) < 0.05f);
        const auto exif = readExif(jpeg);
        QCOMPARE(exif.orientation, 1);
        QCOMPARE(QString::fromStdString(exif.dateTimeOriginal), QString("2023:11:14 23:43:20"));
        QCOMPARE(QString::fromStdString(exif.imageUniqueId), QString("000102030405060708090a0b0c0d0e0f"));

        const auto ppm = readPpm(encodePpm(rgb.data(), 33, 17));
        QCOMPARE(ppm.width, 33);
        QCOMPARE(ppm.height, 17);
        for (size_t i = 0; i < rgb.size(); ++i)
            QCOMPARE(ppm.pixels[i], rgb[i] / 255.f);
        std::vector<uint16_t> rgb16(rgb.size());
        for (size_t i = 0; i < rgb.size(); ++i)
            rgb16[i] = uint16_t(rgb[i] * 257 + (i % 7));
        const auto dng = readDng(encodeDng(rgb16.data(), 33, 17, {}));
        QCOMPARE(dng.width, 33);
        QCOMPARE(dng.height, 17);
        for (size_t i = 0; i < rgb16.size(); ++i)
            QCOMPARE(dng.pixels[i], rgb16[i] / 65535.f);
    }

    void exifTimeOfAnyClock_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QString>("written");
        const QString unknown = QStringLiteral("    :  :     :  :  ");
        QTest::newRow("ordinary") << qint64(1700000000) << -300 << "2023:11:14 17:13:20";
        QTest::newRow("last second of 9999") << qint64(253402300799) << 0 << "9999:12:31 23:59:59";
        QTest::newRow("first second of 1") << qint64(-62135596800) << 0 << "0001:01:01 00:00:00";
        QTest::newRow("into the year 10000 by the offset") << qint64(253402300799) << 60 << unknown;
        QTest::newRow("year 10000") << qint64(253402300800) << 0 << unknown;
        QTest::newRow("before the year 1") << qint64(-62135596801) << 0 << unknown;
        QTest::newRow("largest clock") << std::numeric_limits<qint64>::max() << 60 << unknown;
        QTest::newRow("smallest clock") << std::numeric_limits<qint64>::min() << -60 << unknown;
        QTest::newRow("offset of a day") << qint64(1700000000) << 24 * 60 << unknown;
        QTest::newRow("smallest offset") << qint64(1700000000) << std::numeric_limits<int>::min() << unknown;
    }

    // A picture's clock, whatever its file says, is written as a date of the form EXIF has
    // room for, or as the unknown date: never a wrapped or five-digit year.
    void exifTimeOfAnyClock()
    {
        QFETCH(qint64, seconds);
        QFETCH(int, offset);
        QFETCH(QString, written);
        const auto rgb = testImage(8, 8);
        ExifFacts facts;
        facts.captureTime = seconds;
        facts.utcOffsetMinutes = offset;
        facts.imageUniqueId = std::string(32, '0');
        const auto exif = readExif(encodeJpeg(rgb.data(), 8, 8, 90, true, facts));
        QCOMPARE(QString::fromStdString(exif.dateTimeOriginal), written);
    }

    // A file's eight orientation codes are the eight ways to turn and mirror a picture.
    void orientationCodesDiffer()
    {
        std::set<std::array<int, 4>> seen;
        for (int code = 0; code < 8; ++code) {
            Transform t;
            t.reset(code);
            seen.insert({ t.m(0), t.m(1), t.m(2), t.m(3) });
        }
        QCOMPARE(seen.size(), size_t(8));
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

OSTRA_TEST_MAIN_CORE(TestRendererExport)
#include "tst_rendererexport.moc"
