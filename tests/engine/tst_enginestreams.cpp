#include "support/filebytes.h"
#include "support/testmain.h"

#include "support/hotpixelpicture.h"

#include "ciapi/directrenderer.h"
#include "ciapi/propertyaccessor.h"
#include "ciapi/rendererbase.h"
#include "engine/directstreamreader.h"
#include "engine/enginestreams.h"
#include "engine/pixelhelpers.h"
#include "engine/statefile.h"
#include "engine/streamsource.h"
#include "tools/vrxgen/generator.h"

#include <QFile>
#include <QFuture>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <stdexcept>
#include <sys/stat.h>
#include <vector>

using ostra::test::fileBytes;

namespace {

// A source whose mapping fails, as on a file system that cannot map.
class UnmappableSource : public StreamSource
{
public:
    using StreamSource::StreamSource;
    bool map() override { return false; }
};

QByteArray readAll(std::istream& in)
{
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return QByteArray(s.data(), int(s.size()));
}

QByteArray thumbnailOf(StreamPart& source, const QHash<int, std::shared_ptr<StreamPart>>& calibration)
{
    DirectStreamReader reader;
    auto keep = readRawProperties(source, reader.renderer(), calibration);
    QByteArray pixels;
    reader.setOutputUpdateListener([&](const CIAPI::ImagePyramid& p, const CIAPI::ROI& roi, int level) {
        if (level != 0 || roi != imageRect(p[0]))
            return;
        for (int y = 0; y < p[0].height(); ++y)
            pixels.append(reinterpret_cast<const char*>(p[0].row(y)), p[0].width() * 4);
    });
    reader.render();
    return pixels;
}

} // namespace

class TestEngineStreams : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const vrxgen::Picture picture = vrxgen::makePicture(ostra::test::hotPixelPictureOptions());
        m_picture = m_dir.path() + "/IMG_1.vrx";
        m_calibration = m_dir.path() + "/hotpixel.rec";
        QVERIFY(vrxgen::writeFile(QFile::encodeName(m_picture).toStdString(), picture.vrx));
        QVERIFY(vrxgen::writeFile(QFile::encodeName(m_calibration).toStdString(), picture.calibration));
        m_empty = m_dir.path() + "/empty.vrx";
        QFile e(m_empty);
        QVERIFY(e.open(QIODevice::WriteOnly));
    }

    // With calibration the engine's stream is the raw bytes followed by the record, and
    // the joined stream keeps the record mapped after the caller lets go of it.
    void calibrationFollowsRawBytes()
    {
        auto source = std::make_shared<StreamSource>(QUrl::fromLocalFile(m_picture));
        auto renderer = CIAPI::DirectRenderer::Create(4);
        std::shared_ptr<MultiMemStream> joined;
        std::weak_ptr<StreamPart> record;
        {
            QHash<int, std::shared_ptr<StreamPart>> calibration;
            calibration.insert(0, std::make_shared<StreamPart>(m_calibration));
            record = calibration[0];
            joined = readRawProperties(*source, *renderer, calibration);
        }
        QVERIFY(joined);
        QVERIFY(!record.expired());
        QCOMPARE(int(joined->regions().size()), 2);
        QCOMPARE(joined->regions()[0].first, source->data());
        QCOMPARE(joined->regions()[1].first, record.lock()->data());
        std::shared_ptr<std::istream> again = MultiMemStream::open(joined);
        QCOMPARE(readAll(*again), fileBytes(m_picture) + fileBytes(m_calibration));
        again.reset();
        QVERIFY(renderer->hasInput());
        QVERIFY(renderer->isCompatible());
        // The engine's own stream keeps everything alive without the caller's handle.
        joined.reset();
        QVERIFY(!record.expired());
        renderer->setInputDataStream(std::shared_ptr<std::istream>());
        QVERIFY(record.expired());
    }

    // An empty or missing file is no MultiMemStream and no crash: the engine reports it.
    // A source that cannot be mapped reaches the engine through a file stream, with or
    // without calibration, and renders the same pixels as the mapped one.
    void unmappableSourceReadThroughFile()
    {
        StreamSource mapped(QUrl::fromLocalFile(m_picture));
        UnmappableSource unmapped(QUrl::fromLocalFile(m_picture));
        QCOMPARE(thumbnailOf(unmapped, {}), thumbnailOf(mapped, {}));
        QHash<int, std::shared_ptr<StreamPart>> calibration;
        calibration.insert(0, std::make_shared<StreamPart>(m_calibration));
        const QByteArray repaired = thumbnailOf(mapped, calibration);
        QCOMPARE(thumbnailOf(unmapped, calibration), repaired);
        QVERIFY(repaired != thumbnailOf(mapped, {}));
        QVERIFY(!unmapped.data());
    }

    void pipesAreNeverWaitedOn_data()
    {
        QTest::addColumn<QString>("read");
        QTest::newRow("mapping a picture") << "map";
        QTest::newRow("a picture's facts") << "facts";
        QTest::newRow("a picture through a file stream") << "stream";
        QTest::newRow("a state file") << "state";
    }

    // A pipe in a picture's or a state file's place is no file: it is refused at once, never
    // waited on for a writer that may not come.
    void pipesAreNeverWaitedOn()
    {
        QFETCH(QString, read);
        QTemporaryDir dir;
        const QString path = dir.filePath(read == "state" ? "IMG_1.vrxs" : "IMG_1.vrx");
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QFuture<QString> outcome = QtConcurrent::run([&]() -> QString {
            StreamPart part(path);
            if (read == "map")
                return part.map() ? "mapped" : "refused";
            if (read == "facts") {
                CIAPI::PropertyAccessor accessor;
                try {
                    attachInputStream(part, accessor);
                } catch (const std::runtime_error&) {
                    return "refused";
                }
                return "read";
            }
            if (read == "stream")
                return *openPartStream(part) ? "opened" : "refused";
            StateStamp stamp;
            return StateFile::read(
                       path, [](std::istream&) {}, stamp, 0)
                    == StateFile::ReadResult::NoFile
                ? "refused"
                : "read";
        });
        const bool ended = QTest::qWaitFor([&] { return outcome.isFinished(); }, 20000);
        if (!ended) {
            // Let the waiting open go before failing.
            QFile writer(path);
            QVERIFY(writer.open(QIODevice::WriteOnly));
            writer.close();
            outcome.waitForFinished();
        }
        QVERIFY2(ended, "a pipe was waited on");
        QCOMPARE(outcome.result(), QString("refused"));
    }

    // Every pixel of every row is swapped once, whatever the alignment and width; the
    // padding between rows and anything at or past the end stay as they were.
    void swapRedBlueExactlyOnce()
    {
        for (int offset : { 0, 4, 8, 12 }) {
            for (int width : { 1, 3, 5, 7, 13, 33 }) {
                const int rows = 5;
                const int stride = (width * 4 + 8 + 3) / 4 * 4;
                std::vector<uint8_t> buffer(size_t(offset + stride * rows + 64), 0xEE);
                uint8_t* data = buffer.data() + offset;
                for (int y = 0; y < rows; ++y)
                    for (int x = 0; x < width; ++x)
                        for (int c = 0; c < 4; ++c)
                            data[y * stride + x * 4 + c] = uint8_t(16 * c + x + y);
                // The last row is cut by `end` after two pixels.
                const uint8_t* end = data + (rows - 1) * stride + std::min(width, 2) * 4;
                std::vector<uint8_t> expected = buffer;
                for (int y = 0; y < rows; ++y) {
                    for (int x = 0; x < width; ++x) {
                        uint8_t* pixel = expected.data() + offset + y * stride + x * 4;
                        if (data + (pixel - expected.data() - offset) < end)
                            std::swap(pixel[0], pixel[2]);
                    }
                }
                swapRedBlue(data, width, rows, stride, end);
                QVERIFY2(buffer == expected,
                    qPrintable(QStringLiteral("offset %1 width %2").arg(offset).arg(width)));
            }
        }
    }

private:
    QTemporaryDir m_dir;
    QString m_picture;
    QString m_calibration;
    QString m_empty;
};

OSTRA_TEST_MAIN_CORE(TestEngineStreams)
#include "tst_enginestreams.moc"
