// The VRX container: what the generator writes, the engine reads back with the same facts.
#include "ciapi/bytesource.h"
#include "ciapi/ciapi.h"
#include "ciapi/vrx/vrximage.h"
#include "ciapi/vrx/vrxwriter.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QtTest>

#include <sstream>

using namespace CIAPI;

namespace {
std::shared_ptr<const vrx::VrxImage> open(const std::vector<std::uint8_t>& bytes)
{
    return vrx::VrxImage::open(ByteSource::fromMemory(bytes.data(), bytes.size()));
}
} // namespace

class TestVrxContainer : public QObject
{
    Q_OBJECT

private slots:
    void roundTripFacts_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<int>("aspect");
        QTest::addColumn<bool>("compressed");
        for (int o = 0; o < 8; ++o) {
            QTest::addRow("o%d-4:3", o) << o << 0 << false;
            QTest::addRow("o%d-16:9-packed", o) << o << 1 << true;
        }
    }

    void roundTripFacts()
    {
        QFETCH(int, orientation);
        QFETCH(int, aspect);
        QFETCH(bool, compressed);
        vrxgen::PictureOptions o;
        o.seed = static_cast<std::uint32_t>(7 + orientation);
        o.cameraSeed = 3;
        o.moduleWidth = 64;
        o.moduleHeight = 48;
        o.orientation = orientation;
        o.aspectMode = aspect;
        o.compressed = compressed;
        o.focalLength = 35;
        const auto pic = vrxgen::makePicture(o);

        PropertyAccessor acc;
        acc.setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QVERIFY(acc.isCompatible());
        QCOMPARE(acc.getProperty(IntParam::Orientation), orientation);
        QCOMPARE(acc.getProperty(IntParam::AspectMode), aspect);
        QCOMPARE(acc.getProperty(IntParam::Compressed), compressed ? 1 : 0);
        QCOMPARE(acc.getProperty(IntParam::FrameCount), 2);
        QCOMPARE(acc.getProperty(IntParam::FocalLength), 35);
        QCOMPARE(acc.getProperty(IntParam::CaptureTime), pic.meta.captureTime);
        QCOMPARE(acc.getProperty(IntParam::UtcOffset), 60);
        const auto cam = acc.getProperty(IntArrayParam::CameraUuid);
        QCOMPARE(cam, std::vector<std::uint32_t>(pic.meta.cameraUuid.begin(), pic.meta.cameraUuid.end()));
        const auto img = acc.getProperty(IntArrayParam::PictureUuid);
        QCOMPARE(img, std::vector<std::uint32_t>(pic.meta.imageUuid.begin(), pic.meta.imageUuid.end()));
        const Transform t = acc.transform();
        QCOMPARE(t.aspectRatio().x, aspect == 1 ? 16 : 4);
        QCOMPARE(t.aspectRatio().y, aspect == 1 ? 9 : 3);
        QCOMPARE(t.orientationCode(), orientation);

        // The same through a stream, and the samples survive the trip bit for bit.
        auto image = open(pic.vrx);
        QCOMPARE(image->compressed(), compressed);
        QCOMPARE(static_cast<int>(image->modules().size()), 2);
        const auto again = vrxgen::makePicture(o);
        QCOMPARE(again.vrx, pic.vrx); // deterministic
        o.compressed = !compressed;
        const auto otherPic = vrxgen::makePicture(o);
        const auto other = open(otherPic.vrx);
        for (int m = 0; m < 2; ++m)
            for (int f = 0; f < 2; ++f)
                QCOMPARE(image->decodeFrame(m, f), other->decodeFrame(m, f));
    }
};

OSTRA_TEST_MAIN_CORE(TestVrxContainer)
#include "tst_vrxcontainer.moc"
