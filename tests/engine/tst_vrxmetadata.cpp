#include "support/picturefiles.h"
#include "support/testmain.h"

#include "ciapi/directrenderer.h"
#include "ciapi/propertyaccessor.h"
#include "ciapi/renderer.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/statefileeditor.h"
#include "engine/enginestreams.h"
#include "engine/streamsource.h"
#include "engine/transformhelpers.h"
#include "engine/vrxmetadata.h"
#include "tools/vrxgen/generator.h"

#include <QFile>
#include <QTemporaryDir>

#include <climits>
#include <limits>
#include <sstream>

namespace {

VrxMetadata metadataOf(const QString& path)
{
    VrxMetadata m;
    m.resetFromFile(QUrl::fromLocalFile(path));
    StreamSource source(QUrl::fromLocalFile(path));
    CIAPI::PropertyAccessor accessor;
    attachInputStream(source, accessor);
    m.readFrom(accessor);
    return m;
}

QString writePicture(const QString& path, const vrxgen::PictureOptions& options)
{
    return ostra::test::PictureFiles::write(QFileInfo(path).path(), QFileInfo(path).fileName(), options);
}

vrxgen::PictureOptions small()
{
    return ostra::test::PictureFiles::small();
}

} // namespace

class TestVrxMetadata : public QObject
{
    Q_OBJECT
private slots:
    // The size a record promises is the size the engine renders at level 0, and
    // jumps at the step between the two focal-length ranges.
    void outputSizeIsTheEngines_data()
    {
        QTest::addColumn<int>("focal");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("35") << 35 << 8320 << 6240;
        QTest::newRow("50") << 50 << 5824 << 4368;
        QTest::newRow("70") << 70 << 8896 << 6672;
    }
    void outputSizeIsTheEngines()
    {
        QFETCH(int, focal);
        QFETCH(int, width);
        QFETCH(int, height);
        QTemporaryDir dir;
        vrxgen::PictureOptions o = small();
        o.focalLength = focal;
        const QString path = writePicture(dir.path() + "/f.vrx", o);
        const VrxMetadata m = metadataOf(path);
        QCOMPARE(m.outputWidth, width);
        QCOMPARE(m.outputHeight, height);
        auto renderer = CIAPI::Renderer::Create(0);
        StreamSource source(QUrl::fromLocalFile(path));
        readRawProperties(source, *renderer, {});
        CIAPI::ImagePyramid output = renderer->outputBuffer();
        QCOMPARE(output[0].width(), m.outputWidth);
        QCOMPARE(output[0].height(), m.outputHeight);
    }

    // A compatible picture: identities, time, size for its focal length, and the engine's
    // transform for its orientation.
    void compatiblePicture()
    {
        QTemporaryDir dir;
        vrxgen::PictureOptions o = small();
        o.orientation = 5;
        o.focalLength = 35;
        o.frames = 3;
        o.cameraSeed = 77;
        o.seed = 9;
        o.captureTime = 1600000000;
        o.utcOffsetMinutes = -300;
        const QString path = writePicture(dir.path() + "/IMG_1.vrx", o);
        const VrxMetadata m = metadataOf(path);
        QVERIFY(!m.invalid);
        QVERIFY(!m.incompatible);
        QVERIFY(!m.compressed);
        QCOMPARE(m.frameCount, 3);
        QCOMPARE(
            m.deviceUuid, QUuid(QString::fromStdString(vrxgen::cameraUuidText(vrxgen::cameraUuidWords(77)))));
        QCOMPARE(
            m.imageUuid, QUuid(QString::fromStdString(vrxgen::imageUuidText(vrxgen::imageUuidWords(9)))));
        QCOMPARE(m.captureTime.toMSecsSinceEpoch(), qint64(1600000000) * 1000);
        QCOMPARE(m.captureTime.offsetFromUtc(), -300 * 60);
        QCOMPARE(m.transform.orientationCode(), 5);
        QCOMPARE(m.transform.aspectRatio(), (CIAPI::Point<int> { 4, 3 }));
        QVERIFY(!m.transformFromState);

        // The same facts through an open renderer, as the index tasks read them.
        auto renderer = CIAPI::DirectRenderer::Create(4);
        StreamSource source(QUrl::fromLocalFile(path));
        readRawProperties(source, *renderer, {});
        VrxMetadata r;
        r.resetFromFile(QUrl::fromLocalFile(path));
        r.readRendererMetadata(*renderer);
        QCOMPARE(r.deviceUuid, m.deviceUuid);
        QCOMPARE(r.imageUuid, m.imageUuid);
        QCOMPARE(r.captureTime, m.captureTime);
        QCOMPARE(r.outputWidth, m.outputWidth);
        QVERIFY(r.transform == m.transform);
        QCOMPARE(r.frameCount, m.frameCount);
    }

    void captureTimeOfAnyClock_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("taken");
        QTest::newRow("ordinary") << qint64(1600000000) << -300 << true;
        QTest::newRow("last second of 9999") << qint64(253402300799) << 18 * 60 << true;
        QTest::newRow("first second of 1") << qint64(-62135596800) << -18 * 60 << true;
        QTest::newRow("year 10000") << qint64(253402300800) << 0 << false;
        QTest::newRow("before the year 1") << qint64(-62135596801) << 0 << false;
        QTest::newRow("milliseconds past 64 bits") << qint64(42221248206627256) << 0 << false;
        QTest::newRow("largest clock") << std::numeric_limits<qint64>::max() << 0 << false;
        QTest::newRow("smallest clock") << std::numeric_limits<qint64>::min() << 0 << false;
        QTest::newRow("offset past 18 hours") << qint64(1600000000) << 18 * 60 + 1 << false;
        QTest::newRow("largest offset") << qint64(1600000000) << std::numeric_limits<int>::max() << false;
        QTest::newRow("smallest offset") << qint64(1600000000) << std::numeric_limits<int>::min() << false;
    }

    // A file whose clock says what no camera clock can (damaged or forged) keeps the file's
    // own time: never a wrapped date taken as when the picture was made.
    void captureTimeOfAnyClock()
    {
        QFETCH(qint64, seconds);
        QFETCH(int, offset);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        vrxgen::PictureOptions o = small();
        o.captureTime = seconds;
        o.utcOffsetMinutes = offset;
        const QString path = writePicture(dir.path() + "/IMG_1.vrx", o);
        VrxMetadata before;
        before.resetFromFile(QUrl::fromLocalFile(path));
        const VrxMetadata m = metadataOf(path);
        QVERIFY(!m.invalid);
        if (taken) {
            QCOMPARE(m.captureTime.toSecsSinceEpoch(), seconds);
            QCOMPARE(m.captureTime.offsetFromUtc(), offset * 60);
        } else {
            QCOMPARE(m.captureTime, before.captureTime);
        }
        QCOMPARE(VrxMetadata::captureTimeFrom(seconds, offset).isValid(), taken);
    }

    // Files the engine cannot process, or named with the marker, are incompatible with
    // no output size, yet read.
    void incompatible()
    {
        QTemporaryDir dir;
        vrxgen::PictureOptions unknownPattern = small();
        unknownPattern.cfa = 9;
        VrxMetadata m = metadataOf(writePicture(dir.path() + "/cfa.vrx", unknownPattern));
        QVERIFY(!m.invalid);
        QVERIFY(m.incompatible);
        QCOMPARE(m.outputWidth, 0);
        QCOMPARE(m.outputHeight, 0);

        const QString marked
            = dir.path() + "/IMG_" + QLatin1String(VrxMetadata::kIncompatibleMarker) + "_2.vrx";
        m = metadataOf(writePicture(marked, small()));
        QVERIFY(!m.invalid && m.incompatible);
        QCOMPARE(m.outputWidth, 0);
        // The marker counts only in its exact lower-case form.
        const QString upper
            = dir.path() + "/IMG_" + QString::fromLatin1(VrxMetadata::kIncompatibleMarker).toUpper() + ".vrx";
        m = metadataOf(writePicture(upper, small()));
        QVERIFY(!m.incompatible);
    }

    void stateAspectChecked_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<bool>("used");
        QTest::newRow("16:9") << 16 << 9 << true;
        QTest::newRow("3:4") << 3 << 4 << true;
        QTest::newRow("overflowing") << INT_MAX << INT_MAX << false;
        QTest::newRow("negative") << -4 << 3 << false;
        QTest::newRow("zero") << 4 << 0 << false;
        QTest::newRow("sliver") << 1000 << 1 << false;
        QTest::newRow("no transform saved") << 0 << 0 << false;
    }

    // A state's transform with an aspect no picture has leaves the picture's own in place;
    // one with another frame than the pixels is fitted to them.
    void stateAspectChecked()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(bool, used);
        CIAPI::state::EngineState s;
        s.rating = 2;
        if (x || y) {
            s.transform = CIAPI::Transform(CIAPI::Point<int> { x, y });
            s.transform->reset(1);
        }
        const auto bytes = CIAPI::state::StateCodec::write(s);
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        QTemporaryDir dir;
        vrxgen::PictureOptions o = small();
        o.orientation = 6;
        const QString path = writePicture(dir.path() + "/IMG.1.vrx", o);
        VrxMetadata record;
        record.resetFromFile(QUrl::fromLocalFile(path));
        record.readStateFileMetadata(CIAPI::StateFileEditor(in));
        QCOMPARE(record.userRating, 2);
        QCOMPARE(record.transformFromState, used);
        // The picture's own facts, read after the state, keep a saved transform in place.
        StreamSource source(QUrl::fromLocalFile(path));
        CIAPI::PropertyAccessor accessor;
        attachInputStream(source, accessor);
        record.readFrom(accessor);
        QCOMPARE(record.transform.orientationCode(), used ? 1 : 6);
        // Whatever frame the state recorded, the transform has the aspect of the pixels
        // (4:3), and its crop still shows the whole turned view.
        QVERIFY(record.transform.aspectRatio() == (CIAPI::Point<int> { 4, 3 }));
        QVERIFY(sameCrop(viewCropFromTransform(record.transform), QRectF(0, 0, 1, 1)));
    }
};

OSTRA_TEST_MAIN_CORE(TestVrxMetadata)
#include "tst_vrxmetadata.moc"
