// Values read from files stay within bounds: the EXIF reader's values in all, and the aspect
// of a state file's transform.
#include "support/testmain.h"

#include "ciapi/state/statecodec.h"
#include "ciapi/statefileeditor.h"
#include "engine/exifreader.h"
#include "engine/vrxmetadata.h"

#include <QBuffer>
#include <QtEndian>

#include <climits>
#include <sstream>

namespace {

void put16(QByteArray& b, quint16 v)
{
    b.append(char(v >> 8)).append(char(v));
}
void put32(QByteArray& b, quint32 v)
{
    put16(b, quint16(v >> 16));
    put16(b, quint16(v));
}

// 32 linked directories of 160 entries, each entry a 60000-byte value at offset 8: under
// 64 KiB of EXIF that would fetch 300 MB of values.
QByteArray overlappingExif()
{
    constexpr int kDirs = 32, kEntries = 160;
    constexpr quint32 kDirSize = 2 + 12 * kEntries + 4;
    QByteArray tiff("MM\0\x2a", 4);
    put32(tiff, 8);
    for (int d = 0; d < kDirs; ++d) {
        put16(tiff, kEntries);
        for (int e = 0; e < kEntries; ++e) {
            put16(tiff, quint16(0x9000 + e));
            put16(tiff, 7); // undefined bytes
            put32(tiff, 60000);
            put32(tiff, 8);
        }
        put32(tiff, d + 1 < kDirs ? 8 + (d + 1) * kDirSize : 0);
    }
    QByteArray jpeg("\xff\xd8\xff\xe1", 4);
    put16(jpeg, quint16(2 + 6 + tiff.size()));
    return jpeg + QByteArray("Exif\0\0", 6) + tiff + QByteArray("\xff\xd9", 2);
}

} // namespace

class TestReaderBounds : public QObject
{
    Q_OBJECT

private slots:
    void exifValuesBoundedInAll()
    {
        QByteArray bytes = overlappingExif();
        QVERIFY(bytes.size() < 64 * 1024);
        QBuffer device(&bytes);
        device.open(QIODevice::ReadOnly);
        QList<Exif::ExifError> errors;
        Exif::Callbacks callbacks;
        callbacks.filter = [](const Exif::EntrySpec&) { return true; };
        callbacks.error = [&](qint64, Exif::ExifError e, quint64) { errors << e; };
        const QList<Exif::Directory> dirs = Exif::readExif(device, callbacks);
        qint64 total = 0;
        for (const Exif::Directory& d : dirs)
            for (const Exif::ExifEntry& e : d.entries)
                total += e.data.size();
        QVERIFY2(total <= qint64(Exif::kMaxValueBytes), qPrintable(QString::number(total)));
        QCOMPARE(errors, QList<Exif::ExifError> { Exif::ExifError::TooMuchData });
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
    }

    // A state's transform with an aspect no picture has leaves the picture's own in place.
    void stateAspectChecked()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(bool, used);
        CIAPI::state::EngineState s;
        s.transform = CIAPI::Transform(CIAPI::Point<int> { x, y });
        s.transform->reset(1);
        const auto bytes = CIAPI::state::StateCodec::write(s);
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        VrxMetadata record;
        record.resetFromFile(QUrl::fromLocalFile(QStringLiteral("/nowhere/IMG.1.vrx")));
        record.readStateFileMetadata(CIAPI::StateFileEditor(in));
        QCOMPARE(record.transformFromState, used);
        QCOMPARE(record.transform.orientationCode(), used ? 1 : 0);
        QVERIFY(VrxMetadata::isSaneAspect(record.transform.aspectRatio()) == used);
    }
};

OSTRA_TEST_MAIN_CORE(TestReaderBounds)
#include "tst_readerbounds.moc"
