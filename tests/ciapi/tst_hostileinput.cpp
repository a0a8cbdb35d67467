// Any byte string handed to the engine as a picture, a state or a calibration record ends
// in std::runtime_error or a well-defined result: truncation at every length, flipped bits.
#include "ciapi/ciapi.h"
#include "ciapi/qzcompress.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/vrximage.h"

#include "support/testmain.h"
#include "tools/vrxgen/generator.h"
#include <fstream>

#include <QtTest>

#include <random>
#include <sstream>

using namespace CIAPI;

namespace {

// Runs `f`; a std::runtime_error is a clean refusal.
template <class F> void refusedCleanly(F&& f)
{
    try {
        f();
    } catch (const std::runtime_error&) { }
}

// One bit of `bytes` flipped where the generator `rng` says.
std::vector<std::uint8_t> flipOne(std::vector<std::uint8_t> bytes, std::uint32_t& rng)
{
    rng = rng * 1664525u + 1013904223u;
    bytes[rng % bytes.size()] ^= static_cast<std::uint8_t>(1u << ((rng >> 24) % 8));
    return bytes;
}

// Everything the engine does with an input: open, read facts, decode frames, depth and
// preview, thumbnail, compress. Returns whether the input was accepted as a picture.
bool exercise(const std::vector<std::uint8_t>& bytes)
{
    bool accepted = false;
    try {
        auto direct = DirectRenderer::Create(4);
        direct->setInputDataStream(bytes.data(), bytes.size());
        if (!direct->hasInput())
            return false; // no bytes: the input was let go
        accepted = true;
        (void)direct->getProperty(IntParam::FocalLength);
        (void)direct->isCompatible();
        const auto in = direct->input();
        for (const auto& m : in->modules())
            for (int f = 0; f < in->framesOf(m.index); ++f)
                refusedCleanly([&] { (void)in->decodeFrame(m.index, f); });
        refusedCleanly([&] { (void)in->depthMap(); });
        if (direct->width() > 0 && direct->height() > 0) {
            Image image = Image::Create(direct->width(), direct->height());
            refusedCleanly([&] { direct->render(image); });
        }
    } catch (const std::runtime_error&) { }
    auto in = std::make_shared<std::istringstream>(std::string(bytes.begin(), bytes.end()));
    auto out = std::make_shared<std::stringstream>();
    try {
        const auto status = qzCompress::CompressVRX(in, out, 1, 1, 1);
        if (status == qzCompress::CompressionSuccess) {
            const std::string packed = out->str();
            PropertyAccessor acc;
            acc.setInputDataStream(packed.data(), packed.size());
            if (acc.getProperty(IntParam::Compressed) != 1)
                throw std::logic_error("compressed output not marked compressed");
        }
    } catch (const std::runtime_error&) { }
    return accepted;
}

std::vector<std::uint8_t> smallPicture(bool compressed)
{
    vrxgen::PictureOptions o;
    o.seed = 11;
    o.moduleWidth = 32;
    o.moduleHeight = 24;
    o.frames = 2;
    o.compressed = compressed;
    o.hotPixelsPerModule = 2;
    auto pic = vrxgen::makePicture(o);
    std::vector<std::uint8_t> bytes = pic.vrx;
    bytes.insert(bytes.end(), pic.calibration.begin(), pic.calibration.end());
    return bytes;
}

} // namespace

class TestHostileInput : public QObject
{
    Q_OBJECT

private slots:
    void truncatedPicturesAreRejected_data()
    {
        QTest::addColumn<bool>("compressed");
        QTest::newRow("plain") << false;
        QTest::newRow("packed") << true;
    }

    // A container cut anywhere before its end has no table of contents: never a picture.
    void truncatedPicturesAreRejected()
    {
        QFETCH(bool, compressed);
        const auto full = smallPicture(compressed);
        PropertyAccessor probe;
        probe.setInputDataStream(full.data(), full.size());
        QVERIFY(probe.isCompatible());
        auto containerLength = full.size();
        {
            auto direct = DirectRenderer::Create(4);
            direct->setInputDataStream(full.data(), full.size());
            containerLength = static_cast<std::size_t>(direct->input()->containerLength());
        }
        for (std::size_t len = 0; len < full.size(); ++len) {
            const std::vector<std::uint8_t> cut(
                full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            // Refused when the container itself is cut; kept when only the appendix is.
            QVERIFY2(exercise(cut) == (len >= containerLength),
                qPrintable(QStringLiteral("cut at %1 of %2").arg(len).arg(full.size())));
        }
    }

    // Flipping any single bit of the container is detected (checksums) or harmless.
    void flippedBits()
    {
        const auto full = smallPicture(true);
        std::uint32_t rng = 12345;
        for (int i = 0; i < 1500; ++i)
            exercise(flipOne(full, rng));
        // Every bit of the header and the table of contents.
        for (std::size_t pos = 0; pos < 40; ++pos)
            for (int b = 0; b < 8; ++b) {
                auto bytes = full;
                bytes[pos] ^= static_cast<std::uint8_t>(1u << b);
                QVERIFY2(!exercise(bytes), "a damaged header was accepted");
            }
    }

    void garbageAndEmpty()
    {
        exercise({});
        std::vector<std::uint8_t> garbage(4096);
        std::generate(garbage.begin(), garbage.end(), std::mt19937(7));
        QVERIFY(!exercise(garbage));
        // A header that claims a huge table of contents must not allocate it.
        auto full = smallPicture(false);
        full.resize(40);
        QVERIFY(!exercise(full));
        // A failing stream reaches the engine as an unreadable file.
        auto direct = DirectRenderer::Create(4);
        auto failing = std::make_shared<std::ifstream>("/nonexistent/file.vrx", std::ios::binary);
        QVERIFY_EXCEPTION_THROWN(
            direct->setInputDataStream(std::shared_ptr<std::istream>(failing)), std::runtime_error);
        QVERIFY(!direct->hasInput());
    }

    void calibrationRecords()
    {
        vrx::HotPixelRecord rec;
        rec.cameraUuid = { { 1, 2, 3, 4 } };
        rec.modules = { { { 3, 4 }, { 10, 11 } }, { { 5, 5 } } };
        const auto bytes = rec.encode();
        for (std::size_t len = 0; len < bytes.size(); ++len)
            QVERIFY_EXCEPTION_THROWN(vrx::HotPixelRecord::decode(bytes.data(), len), std::runtime_error);
        for (std::size_t pos = 0; pos < bytes.size(); ++pos) {
            auto copy = bytes;
            copy[pos] ^= 0x10;
            QVERIFY_EXCEPTION_THROWN(
                vrx::HotPixelRecord::decode(copy.data(), copy.size()), std::runtime_error);
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestHostileInput)
#include "tst_hostileinput.moc"
