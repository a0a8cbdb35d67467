// Thumbnails: the preview decoded at a reduced scale (the same pixels as a plain decode),
// or a raw downsample when there is no preview.
#include "ciapi/ciapi.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QtTest>

#include <cstring>
#include <turbojpeg.h>

using namespace CIAPI;

class TestDirectRenderer : public QObject
{
    Q_OBJECT

private slots:
    void previewAtReducedScale()
    {
        vrxgen::PictureOptions o;
        o.seed = 4;
        o.moduleWidth = 64;
        o.moduleHeight = 48;
        o.previewLongSide = 1024;
        const auto pic = vrxgen::makePicture(o);
        auto r = DirectRenderer::Create(4);
        r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QCOMPARE(r->width(), 384); // 1024 x 768 at 3/8: the smallest scale with a long side >= 384
        QCOMPARE(r->height(), 288);

        // The pyramid a thumbnail reader builds.
        ImagePyramid pyramid = ImagePyramid::Create(1);
        pyramid[0] = Image::Create(r->width(), r->height(), 0, 0, 0, nullptr);
        r->render(pyramid[0]);
        const Image& img = pyramid[0];
        QCOMPARE(img.stride() % 64, 0);
        QCOMPARE(reinterpret_cast<std::uintptr_t>(img.data()) % 64, 0u);

        // Plain libjpeg-turbo at the same scale gives the same pixels.
        tjhandle h = tjInitDecompress();
        std::vector<std::uint8_t> ref(384 * 288 * 4);
        QCOMPARE(tjDecompress2(h, pic.previewJpeg.data(), pic.previewJpeg.size(), ref.data(), 384, 384 * 4,
                     288, TJPF_RGBA, TJFLAG_FASTDCT),
            0);
        tjDestroy(h);
        for (int y = 0; y < 288; ++y)
            QVERIFY(std::memcmp(img.row(y), &ref[static_cast<std::size_t>(y) * 384 * 4], 384 * 4) == 0);

        // BGRA when asked.
        r->setProperty(IntParam::ChannelOrderBGRA, 1);
        Image bgra = Image::Create(384, 288);
        r->render(bgra);
        QCOMPARE(bgra.data()[0], img.data()[2]);
        QCOMPARE(bgra.data()[2], img.data()[0]);
        QCOMPARE(bgra.data()[3], std::uint8_t(255));
    }

    void refusesWhatItCannotRender()
    {
        auto r = DirectRenderer::Create(4);
        Image img = Image::Create(8, 8);
        QVERIFY_EXCEPTION_THROWN(r->render(img), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(DirectRenderer::Create(3), std::invalid_argument);
        vrxgen::PictureOptions o;
        o.moduleWidth = 32;
        o.moduleHeight = 32;
        o.cfa = 9; // unknown pattern: readable, never rendered
        const auto pic = vrxgen::makePicture(o);
        r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QVERIFY(!r->isCompatible());
        QCOMPARE(r->getProperty(IntParam::FocalLength), 50);
        QVERIFY_EXCEPTION_THROWN(r->render(img), std::runtime_error);
        // An empty stream lets go of the input.
        r->setInputDataStream(std::shared_ptr<std::istream>());
        QVERIFY(!r->hasInput());
        QCOMPARE(r->width(), 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestDirectRenderer)
#include "tst_directrenderer.moc"
