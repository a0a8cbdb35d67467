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

    void rawDownsampleWithoutPreview()
    {
        vrxgen::PictureOptions o;
        o.seed = 4;
        o.moduleWidth = 1600;
        o.moduleHeight = 1200;
        o.modules = 1;
        o.frames = 1;
        o.preview = false;
        o.depthMap = false;
        o.noise = 0.f;
        const auto pic = vrxgen::makePicture(o);
        auto r = DirectRenderer::Create(4);
        r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QCOMPARE(r->width(), 400); // 800 x 600 blocks, halved while the long side stays >= 384
        QCOMPARE(r->height(), 300);
        Image img = Image::Create(r->width(), r->height());
        r->render(img);
        // The scene's colours come through: compare with the generator's own sRGB preview of the
        // scene, pixel by pixel within a tolerance (edges aside).
        o.preview = true;
        o.previewLongSide = 400;
        const auto withPreview = vrxgen::makePicture(o);
        auto p = DirectRenderer::Create(4);
        p->setInputDataStream(withPreview.vrx.data(), withPreview.vrx.size());
        Image ref = Image::Create(400, 300);
        p->render(ref);
        int close = 0;
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x) {
                int worst = 0;
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(img.row(y)[4 * x + c] - ref.row(y)[4 * x + c]));
                close += worst <= 24;
            }
        QVERIFY2(close > 400 * 300 * 8 / 10, qPrintable(QString::number(close)));
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
