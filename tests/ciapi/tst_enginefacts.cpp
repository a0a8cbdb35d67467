// What callers read through RendererBase: numbered parameters, output sizes per focal
// length, handle identities, shutdown.
#include "ciapi/ciapi.h"
#include "ciapi/shutdownhooks.h"
#include "ciapi/vrx/focalsize.h"
#include "ciapi/vrx/vrximage.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QtTest>

#include <atomic>
#include <thread>

using namespace CIAPI;

class TestEngineFacts : public QObject
{
    Q_OBJECT

private slots:
    void focalSizes_data()
    {
        QTest::addColumn<float>("focal");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("28") << 28.f << 10432 << 7824;
        QTest::newRow("35") << 35.f << 8320 << 6240;
        QTest::newRow("50") << 50.f << 5824 << 4368;
        QTest::newRow("69.9") << 69.9f << 4160 << 3120;
        QTest::newRow("70") << 70.f << 8896 << 6672;
        QTest::newRow("100") << 100.f << 6208 << 4656;
        QTest::newRow("150") << 150.f << 4160 << 3120;
    }

    void focalSizes()
    {
        QFETCH(float, focal);
        QFETCH(int, width);
        QFETCH(int, height);
        const auto s = vrx::cropSizeForFocalLength(focal);
        QCOMPARE(s.x, width);
        QCOMPARE(s.y, height);
        // A file at that focal length reports the same output size.
        if (focal == static_cast<float>(static_cast<int>(focal))) {
            vrxgen::PictureOptions o;
            o.moduleWidth = 32;
            o.moduleHeight = 24;
            o.focalLength = static_cast<int>(focal);
            const auto pic = vrxgen::makePicture(o);
            auto r = DirectRenderer::Create(4);
            r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
            QCOMPARE(r->input()->outputWidth(), width);
            QCOMPARE(r->input()->outputHeight(), height);
        }
    }

    void focalLimits()
    {
        QVERIFY_EXCEPTION_THROWN(vrx::cropSizeForFocalLength(150.5f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(vrx::cropSizeForFocalLength(-1.f), std::runtime_error);
        QVERIFY_EXCEPTION_THROWN(vrx::cropSizeForFocalLength(std::nanf("")), std::runtime_error);
        const auto zero = vrx::cropSizeForFocalLength(0.f);
        QVERIFY(zero.x > 0 && zero.y > 0);
        // Outside the lens's range a file is readable but not rendered (no huge outputs).
        vrxgen::PictureOptions o;
        o.moduleWidth = 32;
        o.moduleHeight = 24;
        o.focalLength = 2;
        const auto pic = vrxgen::makePicture(o);
        PropertyAccessor acc;
        acc.setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QVERIFY(!acc.isCompatible());
    }

    void parameters()
    {
        vrxgen::PictureOptions o;
        o.moduleWidth = 32;
        o.moduleHeight = 24;
        o.orientation = 3;
        const auto pic = vrxgen::makePicture(o);
        auto r = DirectRenderer::Create(4);
        r->setInputDataStream(pic.vrx.data(), pic.vrx.size());
        QCOMPARE(r->getProperty(IntParam::Iso), 200);
        QVERIFY_EXCEPTION_THROWN(r->setProperty(IntParam::Iso, 400), std::runtime_error);
        QCOMPARE(r->getProperty(FloatParam::MinDepthOfField), 2.8f);
        QCOMPARE(r->getProperty(FloatParam::MaxDepthOfField), 15.2f);
        QCOMPARE(r->getProperty(FloatParam::Temperature), 5200.f);
        // Kinds are separate.
        r->setProperty(FloatParam { 13 }, 42.f);
        r->setProperty(IntParam { 13 }, 1);
        QCOMPARE(r->getProperty(FloatParam::Sharpening), 42.f);
        QCOMPARE(r->getProperty(IntParam::EagerDepth), 1);
        QVERIFY_EXCEPTION_THROWN(r->setProperty(FloatParam::Exposure, std::nanf("")), std::runtime_error);
        // Reset keeps the rating and session settings, drops the edits.
        r->setProperty(IntParam::UserRating, 4);
        r->setProperty(IntParam::ChannelOrderBGRA, 1);
        r->setProperty(FloatParam::Exposure, 1.5f);
        r->reset(0);
        QCOMPARE(r->getProperty(IntParam::UserRating), 4);
        QCOMPARE(r->getProperty(IntParam::ChannelOrderBGRA), 1);
        QCOMPARE(r->getProperty(FloatParam::Exposure), 0.f);
        QCOMPARE(r->getProperty(FloatParam::Sharpening), 0.f);
        const auto range = r->getProperty(FloatArrayParam::DepthRange);
        QCOMPARE(range.size(), std::size_t(2));
        QVERIFY(range[0] < range[1]);
        QCOMPARE(r->transform().orientationCode(), 3);
        QCOMPARE(r->transform().aspectRatio().x, 4);
    }

    void pyramidIdentity()
    {
        ImagePyramid a = ImagePyramid::Create(0);
        ImagePyramid b = ImagePyramid::Create(0);
        ImagePyramid copy = a;
        QVERIFY(a == copy);
        QVERIFY(!(a == b));
        QCOMPARE(a.levelCount(), 0);
        QVERIFY_EXCEPTION_THROWN(a[0], std::out_of_range);
        ImagePyramid p = ImagePyramid::Create(2);
        QVERIFY_EXCEPTION_THROWN(p[2], std::out_of_range);
        QVERIFY_EXCEPTION_THROWN(p[-1], std::out_of_range);
        QCOMPARE(ImagePyramid::LevelCountFor(4160, 3120), 5); // 260 x 195 fits 512
        QCOMPARE(ImagePyramid::LevelSize(5, 3, 3).x, 1);
        QCOMPARE(ImagePyramid::LevelSize(5, 3, 3).y, 1);
        Image img = Image::Create(13, 3);
        QCOMPARE(img.stride(), 64);
        Image alias = img;
        QCOMPARE(alias.data(), img.data());
        QVERIFY_EXCEPTION_THROWN(Image::Create(-1, 2), std::invalid_argument);
    }

    void shutdownJoinsAndIsRepeatable()
    {
        std::atomic<bool> stop { false };
        std::thread worker;
        std::atomic<int> runs { 0 };
        auto start = [&] {
            stop = false;
            worker = std::thread([&] {
                while (!stop)
                    std::this_thread::yield();
            });
        };
        start();
        const int id = AddShutdownHook([&] {
            ++runs;
            stop = true;
            if (worker.joinable())
                worker.join();
        });
        StaticShutdown();
        QVERIFY(!worker.joinable());
        StaticShutdown();
        QCOMPARE(runs.load(), 2);
        start(); // usable again
        StaticShutdown();
        QVERIFY(!worker.joinable());
        RemoveShutdownHook(id);
        StaticShutdown();
        QCOMPARE(runs.load(), 3);
    }
};

OSTRA_TEST_MAIN_CORE(TestEngineFacts)
#include "tst_enginefacts.moc"
