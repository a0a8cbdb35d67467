// The compressor: lossless, marks its output, refuses what it must refuse.
#include "ciapi/bytesource.h"
#include "ciapi/ciapi.h"
#include "ciapi/qzcompress.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/vrx/rawcodec.h"
#include "ciapi/vrx/vrximage.h"
#include "support/testmain.h"
#include "tools/vrxgen/generator.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

using namespace CIAPI;

class TestCompression : public QObject
{
    Q_OBJECT

private slots:
    // On one thread every frame goes through the same zstd context; on all CPUs the frames
    // spread over several.
    void losslessAndMarked_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("one thread") << 1;
        QTest::newRow("all CPUs") << 0;
    }

    void losslessAndMarked()
    {
        QFETCH(int, threads);
        vrxgen::PictureOptions o;
        o.seed = 21;
        o.moduleWidth = 96;
        o.moduleHeight = 64;
        o.modules = 3;
        o.frames = 3;
        o.hotPixelsPerModule = 3;
        const auto pic = vrxgen::makePicture(o);

        QTemporaryDir dir;
        const std::string src = (dir.path() + "/IMG_1.vrx").toStdString();
        const std::string tmp = (dir.path() + "/IMG_1.vrxc").toStdString();
        QVERIFY(vrxgen::writeFile(src, pic.vrx));
        auto in = std::make_shared<std::ifstream>(src, std::ios::binary);
        auto out = std::make_shared<std::fstream>(
            tmp, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
        // Reserve marker as the compression job writes it.
        out->seekp(static_cast<std::streamoff>(pic.vrx.size() * 4 / 10));
        out->write("EOF", 3);
        out->seekp(0);
        QCOMPARE(qzCompress::CompressVRX(in, out, 98, threads, 1), qzCompress::CompressionSuccess);
        const auto written = static_cast<std::size_t>(out->tellp());
        QVERIFY(written > 0);
        QVERIFY(written < pic.vrx.size());
        out->close();
        QFile::resize(QString::fromStdString(tmp), static_cast<qint64>(written));

        auto before = vrx::VrxImage::open(ByteSource::fromMemory(pic.vrx.data(), pic.vrx.size()));
        auto packedStream = std::make_shared<std::ifstream>(tmp, std::ios::binary);
        auto after = vrx::VrxImage::open(ByteSource::fromStream(packedStream));
        QVERIFY(after->compressed());
        QVERIFY(after->compatible());
        QCOMPARE(after->metadata().imageUuid, before->metadata().imageUuid);
        for (const auto& m : before->modules())
            for (int f = 0; f < 3; ++f)
                QCOMPARE(after->decodeFrame(m.index, f), before->decodeFrame(m.index, f));
        QCOMPARE(after->depthMap().depth, before->depthMap().depth);
        QCOMPARE(after->previewJpeg(), before->previewJpeg());

        PropertyAccessor acc;
        auto reread = std::make_shared<std::ifstream>(tmp, std::ios::binary);
        acc.setInputDataStream(std::shared_ptr<std::istream>(reread));
        QCOMPARE(acc.getProperty(IntParam::Compressed), 1);
        QCOMPARE(acc.getProperty(IntParam::FrameCount), 3);

        // Compressing again: already compressed, nothing written.
        auto again = std::make_shared<std::ifstream>(tmp, std::ios::binary);
        auto sink = std::make_shared<std::stringstream>();
        QCOMPARE(qzCompress::CompressVRX(again, sink, 98, 0, 1), qzCompress::CompressionAlreadyCompressed);
        QVERIFY(sink->str().empty());
    }

    // The raw codec is lossless at every width (rows shorter than, equal to and longer than
    // the decoder's eight-sample steps) and for residuals that wrap around 16 bits.
    void rawCodecLossless_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        for (int w : { 1, 2, 3, 8, 9, 10, 17, 130 })
            QTest::newRow(qPrintable(QStringLiteral("%1 wide").arg(w))) << w << (w % 3 + 3);
    }

    void rawCodecLossless()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        std::mt19937 random(uint32_t(width * 31 + height));
        std::vector<uint16_t> samples(size_t(width) * size_t(height));
        for (size_t i = 0; i < samples.size(); ++i) {
            const uint32_t pick = random() % 4;
            samples[i] = pick == 0 ? 0 : pick == 1 ? 65535 : uint16_t(random());
        }
        const auto packed = vrx::RawCodec::encode(samples, width, height, 3);
        QCOMPARE(vrx::RawCodec::decode(packed.data(), packed.size(), width, height), samples);
        std::vector<uint16_t> into(samples.size(), 7);
        vrx::RawCodec::decode(packed.data(), packed.size(), width, height, into.data());
        QCOMPARE(into, samples);
        // A smooth ramp: small residuals, as cameras give.
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = uint16_t(1000 + (i % size_t(width)) * 3 + (i / size_t(width)) * 5);
        const auto smooth = vrx::RawCodec::encode(samples, width, height, 3);
        QCOMPARE(vrx::RawCodec::decode(smooth.data(), smooth.size(), width, height), samples);
    }

    // A frame decoded with its checksum in parts beside the decompression and its rows rebuilt
    // in strips side by side (on the pool, or one part after another in reverse order) gives
    // the samples of the serial decode, read in place from memory or copied from a stream; a
    // damaged frame is refused with the same reason.
    void parallelDecodeMatchesSerial_data()
    {
        QTest::addColumn<bool>("compressed");
        QTest::addColumn<bool>("inMemory");
        QTest::addColumn<int>("threads"); // 0: one part after another, last first
        QTest::newRow("compressed, memory, pool") << true << true << 3;
        QTest::newRow("compressed, stream, reversed") << true << false << 0;
        QTest::newRow("plain, memory, reversed") << false << true << 0;
        QTest::newRow("plain, stream, pool") << false << false << 4;
    }
    void parallelDecodeMatchesSerial()
    {
        QFETCH(bool, compressed);
        QFETCH(bool, inMemory);
        QFETCH(int, threads);
        render::WorkerPool::instance().shutdown();
        render::WorkerPool::instance().setThreadLimit(threads);
        const std::function<void(int, const std::function<void(int)>&)> parallel
            = [&](int n, const std::function<void(int)>& body) {
                  if (threads > 0) {
                      render::WorkerPool::instance().parallelFor(n, body);
                      return;
                  }
                  for (int i = n - 1; i >= 0; --i)
                      body(i);
              };
        vrxgen::PictureOptions o;
        o.seed = 4;
        // Wide and tall enough for several strips of rows and a checksum in several parts.
        o.moduleWidth = 2080;
        o.moduleHeight = 420;
        o.modules = 2;
        o.frames = 3;
        o.compressed = compressed;
        o.noise = 0.02f;
        auto bytes = vrxgen::makePicture(o).vrx;
        auto open = [&](const std::vector<std::uint8_t>& b) {
            if (inMemory)
                return vrx::VrxImage::open(ByteSource::fromBytes(b));
            return vrx::VrxImage::open(ByteSource::fromStream(
                std::make_shared<std::istringstream>(std::string(b.begin(), b.end()))));
        };
        const auto image = open(bytes);
        for (const auto& m : image->modules())
            for (int f = 0; f < image->framesOf(m.index); ++f) {
                std::vector<std::uint16_t> got(size_t(m.width) * size_t(m.height), 7);
                image->decodeFrame(m.index, f, got.data(), parallel);
                QVERIFY2(got == image->decodeFrame(m.index, f), qPrintable(QString("frame %1").arg(f)));
            }
        // The depth map the same way, into rows of the caller's.
        const vrx::DepthMap map = image->depthMap();
        std::vector<float> rows;
        int width = 0;
        image->decodeDepthMap(
            [&](int w, int h) {
                width = w + 3; // rows farther apart than the map is wide
                rows.assign(size_t(width) * size_t(h), -1.f);
            },
            [&](int y) { return rows.data() + size_t(y) * size_t(width); }, parallel);
        QVERIFY(map.height * map.width > 65536);
        for (int y = 0; y < map.height; ++y) {
            QVERIFY(std::equal(rows.begin() + long(y) * width, rows.begin() + long(y) * width + map.width,
                map.depth.begin() + long(y) * map.width));
            QCOMPARE(rows[size_t(y) * size_t(width) + size_t(map.width)], -1.f);
        }
        // One byte changed in the middle of every frame's chunk.
        const auto& last = image->modules().back();
        const size_t frameBytes = size_t(last.width) * size_t(last.height) * 2;
        for (size_t at = bytes.size() / 5; at < bytes.size() * 4 / 5; at += frameBytes / 3)
            bytes[at] ^= 0x5a;
        const auto damaged = open(bytes);
        int refused = 0;
        for (const auto& m : damaged->modules())
            for (int f = 0; f < damaged->framesOf(m.index); ++f) {
                QString serial, shared;
                try {
                    (void)damaged->decodeFrame(m.index, f);
                } catch (const std::runtime_error& e) {
                    serial = e.what();
                }
                std::vector<std::uint16_t> got(size_t(m.width) * size_t(m.height));
                try {
                    damaged->decodeFrame(m.index, f, got.data(), parallel);
                } catch (const std::runtime_error& e) {
                    shared = e.what();
                }
                QCOMPARE(shared, serial);
                refused += serial.isEmpty() ? 0 : 1;
            }
        QVERIFY(refused >= 2);
        // A damaged depth map: refused for the same reason both ways.
        auto depthDamaged = bytes;
        bool damagedMap = false;
        for (size_t at = 0; at + 4 < depthDamaged.size() && !damagedMap; ++at)
            if (std::memcmp(depthDamaged.data() + at, "DPTH", 4) == 0) {
                depthDamaged[at + 200] ^= 0x33;
                damagedMap = true;
            }
        QVERIFY(damagedMap);
        const auto badDepth = open(depthDamaged);
        QString serial, shared;
        try {
            (void)badDepth->depthMap();
        } catch (const std::runtime_error& e) {
            serial = e.what();
        }
        try {
            std::vector<float> sink;
            badDepth->decodeDepthMap([&](int w, int h) { sink.resize(size_t(w) * size_t(h)); },
                [&](int y) { return sink.data() + size_t(y) * size_t(map.width); }, parallel);
        } catch (const std::runtime_error& e) {
            shared = e.what();
        }
        QVERIFY(!serial.isEmpty());
        QCOMPARE(shared, serial);
        render::WorkerPool::instance().shutdown();
        render::WorkerPool::instance().setThreadLimit(0);
    }

    void refusals()
    {
        auto sink = std::make_shared<std::stringstream>();
        auto garbage = std::make_shared<std::istringstream>(std::string(1000, 'x'));
        QCOMPARE(qzCompress::CompressVRX(garbage, sink, 98, 0, 1), qzCompress::CompressionBadInput);
        QCOMPARE(qzCompress::CompressVRX(nullptr, sink, 98, 0, 1), qzCompress::CompressionBadInput);
        // A readable but incompatible file is left alone (it could not be checked afterwards).
        vrxgen::PictureOptions o;
        o.moduleWidth = 32;
        o.moduleHeight = 32;
        o.majorVersion = 2;
        const auto pic = vrxgen::makePicture(o);
        auto in = std::make_shared<std::istringstream>(std::string(pic.vrx.begin(), pic.vrx.end()));
        QCOMPARE(qzCompress::CompressVRX(in, sink, 98, 0, 1), qzCompress::CompressionBadInput);
        QVERIFY(sink->str().empty());
        // A damaged raw frame is bad input, not a compressed copy of damage.
        o.majorVersion = 1;
        auto bytes = vrxgen::makePicture(o).vrx;
        bytes[400] ^= 0xff; // inside the first raw frame
        auto damaged = std::make_shared<std::istringstream>(std::string(bytes.begin(), bytes.end()));
        QCOMPARE(qzCompress::CompressVRX(damaged, sink, 98, 0, 1), qzCompress::CompressionBadInput);
    }
};

OSTRA_TEST_MAIN_CORE(TestCompression)
#include "tst_compression.moc"
