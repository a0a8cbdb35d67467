// Memory and multi streams: zero copy, seekable, the parts read back to back. Calibration: a
// hot-pixel record that follows the raw bytes (in a multi stream) and belongs to the camera
// repairs exactly the planted pixels; any other record changes nothing.
#include "ciapi/bytesource.h"
#include "ciapi/ciapi.h"
#include "ciapi/stream.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/vrximage.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QtTest>

#include <set>
#include <sstream>

using namespace CIAPI;

namespace {

struct Multi
{
    std::shared_ptr<std::streambuf> a, b, multi;
    std::shared_ptr<std::istream> sa, sb;
};

// The raw bytes followed by a record, as one stream made of two memory regions.
std::shared_ptr<std::istream> joined(
    const std::vector<std::uint8_t>& raw, const std::vector<std::uint8_t>& rec, Multi& keep)
{
    keep.a = CreateMemStream(raw.data(), raw.size());
    keep.b = CreateMemStream(rec.data(), rec.size());
    keep.sa = std::make_shared<std::istream>(keep.a.get());
    keep.sb = std::make_shared<std::istream>(keep.b.get());
    keep.multi = CreateMultiStream({ keep.sa, keep.sb });
    return std::make_shared<std::istream>(keep.multi.get());
}

std::vector<std::uint16_t> repaired(const vrx::VrxImage& img, int module, int frame)
{
    auto s = img.decodeFrame(module, frame);
    const auto& m = img.module(module);
    vrx::repairHotPixels(s, m.width, m.height, img.hotPixels(module));
    return s;
}

// A stream over bytes that counts what is read from it.
class CountingBuffer : public std::stringbuf
{
public:
    explicit CountingBuffer(const std::vector<std::uint8_t>& bytes)
        : std::stringbuf(std::string(bytes.begin(), bytes.end()), std::ios::in | std::ios::binary)
    { }
    std::streamsize read = 0;

protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override
    {
        const std::streamsize got = std::stringbuf::xsgetn(s, n);
        read += got;
        return got;
    }
};

} // namespace

class TestStreams : public QObject
{
    Q_OBJECT

private slots:
    void multiStreamReadsAcrossParts()
    {
        const std::string a = "first part|";
        const std::string b = "second|";
        const std::string c(70000, 'z'); // larger than the internal buffer
        auto ba = CreateMemStream(a.data(), a.size());
        auto bb = CreateMemStream(b.data(), b.size());
        auto sa = std::make_shared<std::istream>(ba.get());
        auto sb = std::make_shared<std::istream>(bb.get());
        auto sc = std::make_shared<std::istringstream>(c);
        auto multi = CreateMultiStream({ sa, nullptr, sb, sc });
        std::istream in(multi.get());
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        QCOMPARE(all, a + b + c);
        in.clear();
        in.seekg(static_cast<std::streamoff>(a.size() - 2));
        char buf[6] = {};
        in.read(buf, 5);
        QCOMPARE(std::string(buf, 5), std::string("t|sec"));
        in.seekg(-3, std::ios::end);
        in.read(buf, 3);
        QCOMPARE(std::string(buf, 3), std::string("zzz"));
        in.seekg(0, std::ios::end);
        QCOMPARE(static_cast<std::size_t>(in.tellg()), a.size() + b.size() + c.size());

        // Over memory parts only, the engine reads in place and copies across the seam.
        auto memOnly = CreateMultiStream({ sa, sb });
        auto memStream = std::make_shared<std::istream>(memOnly.get());
        auto src = ByteSource::fromStream(memStream);
        QCOMPARE(src->size(), a.size() + b.size());
        QVERIFY(src->view(0, 3) == reinterpret_cast<const std::uint8_t*>(a.data()));
        QVERIFY(src->view(a.size() - 1, 2) == nullptr);
        const auto seam = src->bytes(a.size() - 1, 2);
        QCOMPARE(std::string(seam.begin(), seam.end()), std::string("|s"));
        // A mixed multi stream is read through the stream interface.
        auto mixed = std::make_shared<std::istream>(multi.get());
        auto msrc = ByteSource::fromStream(mixed);
        const auto tail = msrc->bytes(a.size() + b.size(), 4);
        QCOMPARE(std::string(tail.begin(), tail.end()), std::string("zzzz"));
    }

    // Reading a raw file's facts reads its small chunks, never the whole file (frames and
    // all); a calibration record is still told apart by its head and read whole.
    void propertiesReadOnlyTheSmallChunks()
    {
        vrxgen::PictureOptions o;
        o.moduleWidth = 640;
        o.moduleHeight = 480;
        o.hotPixelsPerModule = 3;
        const auto pic = vrxgen::makePicture(o);
        CountingBuffer raw(pic.vrx);
        std::shared_ptr<std::istream> rawStream(new std::istream(&raw));
        PropertyAccessor accessor;
        accessor.setInputDataStream(rawStream);
        QVERIFY(accessor.isCompatible());
        QVERIFY2(raw.read < std::streamsize(pic.vrx.size() / 8),
            qPrintable(QStringLiteral("%1 of %2 bytes read").arg(raw.read).arg(pic.vrx.size())));

        CountingBuffer record(pic.calibration);
        std::shared_ptr<std::istream> recordStream(new std::istream(&record));
        PropertyAccessor calibration;
        calibration.setInputDataStream(recordStream);
        QVERIFY(!calibration.isCompatible());
        QCOMPARE(calibration.getProperty(IntArrayParam::CameraUuid),
            accessor.getProperty(IntArrayParam::CameraUuid));
    }

    void repairsExactlyThePlantedPixels()
    {
        vrxgen::PictureOptions o;
        o.seed = 8;
        o.cameraSeed = 77;
        o.moduleWidth = 80;
        o.moduleHeight = 60;
        o.hotPixelsPerModule = 6;
        const auto pic = vrxgen::makePicture(o);
        QVERIFY(!pic.calibration.empty());

        Multi keep;
        auto renderer = DirectRenderer::Create(4);
        renderer->setInputDataStream(joined(pic.vrx, pic.calibration, keep));
        const auto withCal = renderer->input();
        QVERIFY(withCal->hasCalibration());
        auto plain = vrx::VrxImage::open(ByteSource::fromMemory(pic.vrx.data(), pic.vrx.size()));
        QVERIFY(!plain->hasCalibration());

        const auto at = [](int x, int y) { return std::size_t(y * 80 + x); };
        for (int m = 0; m < 2; ++m) {
            const auto planted = pic.hotPixels[static_cast<std::size_t>(m)];
            QCOMPARE(static_cast<int>(planted.size()), 6);
            std::set<std::pair<int, int>> expected;
            for (const auto& p : planted)
                expected.insert({ p.x, p.y });
            const auto before = repaired(*plain, m, 0);
            const auto after = repaired(*withCal, m, 0);
            std::set<std::pair<int, int>> changed;
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 80; ++x)
                    if (before[at(x, y)] != after[at(x, y)])
                        changed.insert({ x, y });
            QCOMPARE(changed, expected);
            // The repaired values look like their neighbours, not like a saturated sample.
            for (const auto& p : planted) {
                QCOMPARE(before[at(p.x, p.y)], std::uint16_t(16383));
                QVERIFY(after[at(p.x, p.y)] < 16383);
            }
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestStreams)
#include "tst_streams.moc"
