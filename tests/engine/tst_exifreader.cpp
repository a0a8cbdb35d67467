#include "engine/exifreader.h"

#include "support/exifbuilder.h"
#include "support/testmain.h"

#include <QBuffer>
#include <QFile>
#include <QFuture>
#include <QTemporaryDir>
#include <QUrl>
#include <QtConcurrent>

#include <algorithm>
#include <tuple>

using ostra::test::ExifBuilder;

namespace {

constexpr quint16 kDescription = 0x010E;
constexpr quint16 kUniqueId = 0xA420;
const QByteArray kUuidText = "0123456789ABCDEF0011223344556677";

// Everything the callbacks saw, for comparing walks.
struct Trace
{
    QList<quint64> directoryIndexes;
    QList<QPair<quint64, quint16>> entries; // (directory index, tag)
    QList<QPair<qint64, Exif::ExifError>> errors;
    bool fetchAll = true;

    // Exactly one error was reported, and it was `code`.
    bool onlyError(Exif::ExifError code) const { return errors.size() == 1 && errors.at(0).second == code; }

    Exif::Callbacks callbacks()
    {
        Exif::Callbacks c;
        c.directory
            = [this](quint64 index, const Exif::Directory&, QIODevice&) { directoryIndexes.append(index); };
        c.entry = [this](quint64 index, const Exif::Directory&, const Exif::ExifEntry& e, QIODevice&) {
            entries.append({ index, e.tag });
        };
        c.filter = [this](const Exif::EntrySpec&) { return fetchAll; };
        c.error = [this](qint64 position, Exif::ExifError code, quint64) {
            errors.append({ position, code });
        };
        return c;
    }
};

QList<Exif::Directory> parse(const QByteArray& bytes, Trace& trace)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return Exif::readExif(buffer, trace.callbacks());
}

// A preview as the camera writes it: IFD0 with width, orientation and the picture UUID as
// text, an Exif directory with date and the unique id, and a thumbnail directory.
ExifBuilder cameraPreview(bool bigEndian)
{
    ExifBuilder b(bigEndian);
    const int ifd0 = b.addDirectory();
    const int exif = b.addDirectory();
    const int ifd1 = b.addDirectory();
    b.longs(ifd0, 0x0100, { 4000 });
    b.ascii(ifd0, kDescription, kUuidText);
    b.shorts(ifd0, 0x0112, { 6 });
    b.rational(ifd0, 0x011A, 72, 1);
    b.signedShort(ifd0, 0x9204, -3);
    b.ascii(exif, 0x9003, "2024:05:06 07:08:09");
    b.ascii(exif, kUniqueId, kUuidText);
    b.bytes(exif, 0x9000, 7, "0232");
    b.shorts(ifd1, 0x0103, { 6 });
    b.longs(ifd1, 0x0201, { 1234, 5678 });
    b.setExifDirectory(exif);
    b.directory(ifd0).next = ifd1;
    return b;
}

// Entries compared by what a caller can see of them, positions excluded.
bool sameEntries(const Exif::Directory& a, const Exif::Directory& b)
{
    auto key = [](const Exif::ExifEntry& x) {
        return std::make_tuple(x.tag, x.type, x.count, x.byteCount, x.isOffset, x.data);
    };
    return std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), b.entries.end(),
        [&](const Exif::ExifEntry& x, const Exif::ExifEntry& y) { return key(x) == key(y); });
}

// Replaces the APP1 segment length of a JPEG built by ExifBuilder::jpeg.
QByteArray withApp1Length(QByteArray jpeg, int length)
{
    const int at = jpeg.indexOf("\xFF\xE1") + 2;
    jpeg[at] = char(length >> 8);
    jpeg[at + 1] = char(length & 0xFF);
    return jpeg;
}

} // namespace

class TestExifReader : public QObject
{
    Q_OBJECT

private slots:
    // Another APP1 payload before the EXIF one and fill bytes before a marker are skipped.
    void readsCameraPreviewInBothByteOrders()
    {
        const QByteArray xmp = QByteArray("http://ns.example.com/xmp/\0<x/>", 31);
        QList<Exif::Directory> results[2];
        for (bool big : { false, true }) {
            QByteArray jpeg = ExifBuilder::jpeg({ xmp, cameraPreview(big).app1Payload() });
            jpeg.insert(2, QByteArray("\xFF\xFF\xFF", 3));
            Trace trace;
            const auto dirs = parse(jpeg, trace);
            QVERIFY2(trace.errors.isEmpty(), big ? "MM" : "II");
            QCOMPARE(dirs.size(), 3);
            // IFD0, then the Exif directory, then the linked thumbnail directory.
            QCOMPARE(trace.directoryIndexes, (QList<quint64> { 0, 1, 2 }));
            QVERIFY(dirs.at(1).find(0x9003));
            QVERIFY(dirs.at(2).find(0x0201));
            QCOMPARE(dirs.at(0).bigEndian, big);

            const auto* uuid = dirs.at(0).find(kDescription);
            QVERIFY(uuid && uuid->isOffset);
            QCOMPARE(uuid->toString().value(), QString::fromLatin1(kUuidText));
            QCOMPARE(dirs.at(1).find(kUniqueId)->toString().value(), QString::fromLatin1(kUuidText));
            QCOMPARE(dirs.at(0).find(0x0112)->toInt().value(), 6);
            QCOMPARE(dirs.at(0).find(0x0100)->toInt().value(), 4000);
            QCOMPARE(dirs.at(0).find(0x9204)->toInt().value(), -3);
            QCOMPARE(dirs.at(1).find(0x9000)->toString(), std::nullopt); // UNDEFINED, not text
            QCOMPARE(dirs.at(1).find(0x9000)->data, QByteArray("0232"));
            QCOMPARE(dirs.at(2).find(0x0201)->intAt(1).value(), 5678);
            QVERIFY(!dirs.at(0).find(0x011A)->toInt()); // a fraction is no whole number
            // Offsets count from the TIFF header, which the entries know.
            QCOMPARE(uuid->base, dirs.at(0).base);
            results[big] = dirs;
        }
        for (int d = 0; d < 3; ++d)
            QVERIFY(sameEntries(results[0].at(d), results[1].at(d)));
    }

    void filesOfAnySize_data()
    {
        QTest::addColumn<qint64>("size"); // the file's, its preview at the start
        QTest::addColumn<int>("directories");
        QTest::newRow("preview alone") << qint64(0) << 3;
        QTest::newRow("grown far past its EXIF block") << (qint64(64) << 20) << 3;
        QTest::newRow("past 2 GiB") << (qint64(1) << 31) + 4096 << 3;
        QTest::newRow("past 4 GiB") << (qint64(1) << 32) + 512 << 3;
    }

    // Only a file's head is read: a huge preview (holes of a sparse file here) neither
    // fills the memory nor goes unread for its size.
    void filesOfAnySize()
    {
        QFETCH(qint64, size);
        QFETCH(int, directories);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("IMG_1_thumbnail.jpg"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray jpeg = ExifBuilder::jpeg({ cameraPreview(false).app1Payload() });
        QCOMPARE(file.write(jpeg), qint64(jpeg.size()));
        if (size > 0)
            QVERIFY(file.resize(size));
        file.close();
        Trace trace;
        const auto dirs = Exif::readExifFromFile(QUrl::fromLocalFile(path), trace.callbacks());
        QCOMPARE(dirs.size(), directories);
        QVERIFY(trace.errors.isEmpty());
        QCOMPARE(dirs.at(1).find(kUniqueId)->toString().value(), QString::fromLatin1(kUuidText));
    }

    void rejectsWhatIsNotAJpeg()
    {
        Trace trace;
        QVERIFY(parse("GIF89a and more", trace).isEmpty());
        QVERIFY(trace.onlyError(Exif::ExifError::NotJpeg));
    }

    void malformedHeadersReportOneError_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("code");
        const QByteArray tiff = cameraPreview(false).tiff();
        QTest::newRow("exif word") << QByteArray("Exif\0\1", 6) + tiff << int(Exif::ExifError::NotExif);
        QTest::newRow("mixed order") << QByteArray("Exif\0\0IM", 8) + tiff.mid(2)
                                     << int(Exif::ExifError::BadByteOrder);
        QTest::newRow("no 42") << QByteArray("Exif\0\0II\x2B\0", 10) + tiff.mid(4)
                               << int(Exif::ExifError::BadMagic);
        QTest::newRow("short tiff") << QByteArray("Exif\0\0II*\0", 10) << int(Exif::ExifError::BadOffset);
        QTest::newRow("ifd0 past end")
            << QByteArray("Exif\0\0II*\0\xF0\xFF\0\0", 14) << int(Exif::ExifError::BadOffset);
        QTest::newRow("ifd0 inside header")
            << QByteArray("Exif\0\0II*\0\x04\0\0\0", 14) << int(Exif::ExifError::BadOffset);
    }

    void malformedHeadersReportOneError()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, code);
        Trace trace;
        QVERIFY(parse(ExifBuilder::jpeg({ payload }), trace).isEmpty());
        QVERIFY(trace.onlyError(Exif::ExifError(code)));
    }

    void circularLinksEnd()
    {
        for (int run = 0; run < 8; ++run) {
            const bool big = run >= 4;
            const int shape = run % 4;
            ExifBuilder b(big);
            const int ifd0 = b.addDirectory();
            const int second = b.addDirectory();
            b.shorts(ifd0, 0x0112, { 1 });
            b.shorts(second, 0x0103, { 6 });
            // 0: ifd0 -> ifd0; 1: ifd0 -> second -> ifd0; 2: Exif directory second -> ifd0;
            // 3: ifd0 -> second, with an Exif pointer back at ifd0. Both byte orders.
            if (shape == 2)
                b.setExifDirectory(second);
            if (shape == 3)
                b.longs(ifd0, 0x8769, { 8 });
            if (shape != 2)
                b.directory(ifd0).next = shape == 0 ? ifd0 : second;
            if (shape == 1 || shape == 2)
                b.directory(second).next = ifd0;
            Trace trace;
            const auto dirs = parse(ExifBuilder::jpeg({ b.app1Payload() }), trace);
            QVERIFY(trace.errors.isEmpty());
            QCOMPARE(dirs.size(), shape == 0 ? 1 : 2);
            QSet<quint64> positions;
            for (const auto& d : dirs)
                positions.insert(d.position);
            QCOMPARE(positions.size(), dirs.size());
        }
    }

    void longChainsAreCut()
    {
        ExifBuilder b;
        for (int i = 0; i < 100; ++i) {
            const int d = b.addDirectory();
            b.shorts(d, 0x0112, { quint16(i) });
            if (i > 0)
                b.directory(i - 1).next = d;
        }
        Trace trace;
        const auto dirs = parse(ExifBuilder::jpeg({ b.app1Payload() }), trace);
        QCOMPARE(dirs.size(), 32);
        QVERIFY(trace.onlyError(Exif::ExifError::TooManyDirectories));
    }

    void hostileEntries()
    {
        for (bool big : { false, true }) {
            ExifBuilder b(big);
            const int ifd0 = b.addDirectory();
            b.shorts(ifd0, 0x0112, { 3 });
            b.raw(ifd0, { 0x1234, 0, 5, QByteArray(4, 'x'), {} }); // invalid type 0
            b.raw(ifd0, { 0x1235, 13, 5, QByteArray(4, 'x'), {} }); // invalid type 13
            b.raw(ifd0, { 0x1236, 4, 0xFFFFFFFF, QByteArray(), 16 }); // absurd count
            b.shorts(ifd0, 0x0101, { 3000 });

            Trace lazy;
            lazy.fetchAll = false;
            auto dirs = parse(ExifBuilder::jpeg({ b.app1Payload() }), lazy);
            QCOMPARE(dirs.size(), 1);
            QCOMPARE(dirs.at(0).entries.size(), 5);
            QCOMPARE(lazy.errors.size(), 2); // the two invalid types, and the walk went on
            QCOMPARE(lazy.errors.at(0).second, Exif::ExifError::InvalidType);
            QVERIFY(dirs.at(0).find(0x1234)->data.isEmpty());
            QCOMPARE(dirs.at(0).find(0x1236)->byteCount, 0xFFFFFFFFu);
            QCOMPARE(dirs.at(0).find(0x0101)->toInt().value(), 3000);

            // Fetching the absurd value is refused without reading (or allocating) it.
            Trace eager;
            dirs = parse(ExifBuilder::jpeg({ b.app1Payload() }), eager);
            QVERIFY(dirs.isEmpty());
            QCOMPARE(eager.errors.last().second, Exif::ExifError::BadOffset);
            QVERIFY(!eager.entries.contains(qMakePair(quint64(0), quint16(0x0101))));
        }
    }

    void badLinksEndTheWalkKeepingWhatWasRead()
    {
        for (bool big : { false, true }) {
            ExifBuilder b(big);
            const int ifd0 = b.addDirectory();
            b.shorts(ifd0, 0x0112, { 1 });
            b.directory(ifd0).forceNext = 0x7FFFFFF0;
            Trace trace;
            auto dirs = parse(ExifBuilder::jpeg({ b.app1Payload() }), trace);
            QCOMPARE(dirs.size(), 1);
            QVERIFY(trace.onlyError(Exif::ExifError::BadOffset));

            ExifBuilder v(big);
            const int d = v.addDirectory();
            v.raw(d, { kDescription, 2, 40, QByteArray(40, 'a'), 0xFFFFFFF0u }); // wraps
            Trace wrap;
            QVERIFY(parse(ExifBuilder::jpeg({ v.app1Payload() }), wrap).isEmpty());
            QVERIFY(wrap.onlyError(Exif::ExifError::BadOffset));
        }
    }

    // 32 linked directories of 160 entries, each a 60000-byte value at offset 8: under 64 KiB
    // of EXIF that would fetch 300 MB of values. What is read stays within the bound in all.
    void valuesBoundedInAll()
    {
        ExifBuilder b(true);
        for (int d = 0; d < 32; ++d) {
            b.addDirectory();
            for (int e = 0; e < 160; ++e)
                b.raw(d, { quint16(0x9000 + e), 7, 60000, QByteArray(), 8 });
            if (d > 0)
                b.directory(d - 1).next = d;
        }
        const QByteArray jpeg = ExifBuilder::jpeg({ b.app1Payload() });
        QVERIFY(jpeg.size() < 64 * 1024);
        Trace trace;
        const QList<Exif::Directory> dirs = parse(jpeg, trace);
        qint64 total = 0;
        for (const Exif::Directory& d : dirs)
            for (const Exif::ExifEntry& e : d.entries)
                total += e.data.size();
        QVERIFY2(total <= qint64(Exif::kMaxValueBytes), qPrintable(QString::number(total)));
        QVERIFY(trace.onlyError(Exif::ExifError::TooMuchData));
    }

    // Cutting the file anywhere never crashes and never yields a partial result without an
    // error; cutting the EXIF block anywhere (the segment shortened, the file intact) yields
    // a prefix of the full walk, and an error whenever anything was lost.
    void truncationAtEveryOffset()
    {
        for (bool big : { false, true }) {
            const ExifBuilder b = cameraPreview(big);
            const QByteArray full = ExifBuilder::jpeg({ b.app1Payload() });
            Trace reference;
            const auto all = parse(full, reference);
            QCOMPARE(all.size(), 3);

            // The walk ends at the EXIF block: what follows it may be cut without harm.
            const int exifEnd = full.indexOf("\xFF\xDB");
            for (int n = 0; n < full.size(); ++n) {
                Trace trace;
                const auto dirs = parse(full.left(n), trace);
                if (n >= exifEnd) {
                    QVERIFY(trace.errors.isEmpty());
                    QCOMPARE(dirs.size(), all.size());
                } else {
                    QVERIFY2(!trace.errors.isEmpty(), qPrintable(QString::number(n)));
                }
                for (int d = 0; d < dirs.size(); ++d)
                    QVERIFY(sameEntries(dirs.at(d), all.at(d)));
            }

            const int payload = b.app1Payload().size();
            for (int length = 0; length < payload + 2; ++length) {
                Trace trace;
                const auto dirs = parse(withApp1Length(full, length), trace);
                const QByteArray where = QByteArray::number(length) + (big ? " MM" : " II");
                QVERIFY2(dirs.size() <= all.size(), where);
                for (int d = 0; d < dirs.size(); ++d)
                    QVERIFY2(sameEntries(dirs.at(d), all.at(d)), where);
                QVERIFY2(!trace.errors.isEmpty(), where);
                QCOMPARE(trace.directoryIndexes.size(), dirs.size());
            }
        }
    }

    // Every bit of the EXIF block flipped in turn: the walk ends, reports consistently and
    // never hands out a value larger than its entry says.
    void bitFlipsAreSurvived()
    {
        for (bool big : { false, true }) {
            const QByteArray full = ExifBuilder::jpeg({ cameraPreview(big).app1Payload() });
            const int start = full.indexOf("Exif");
            const int end = full.indexOf("\xFF\xDB");
            for (int at = start; at < end; ++at) {
                for (int bit = 0; bit < 8; ++bit) {
                    QByteArray bytes = full;
                    bytes[at] = char(bytes.at(at) ^ (1 << bit));
                    Trace trace;
                    const auto dirs = parse(bytes, trace);
                    QVERIFY(dirs.size() <= 32);
                    QCOMPARE(trace.directoryIndexes.size(), dirs.size());
                    for (int d = 0; d < dirs.size(); ++d) {
                        QCOMPARE(trace.directoryIndexes.at(d), quint64(d));
                        QVERIFY(dirs.at(d).position >= dirs.at(d).base + 8);
                        QVERIFY(dirs.at(d).position < quint64(end));
                        for (const auto& e : dirs.at(d).entries) {
                            QVERIFY(e.data.isEmpty() || quint32(e.data.size()) == e.byteCount);
                            QVERIFY(e.entryPosition + 12 <= quint64(end));
                        }
                    }
                }
            }
        }
    }
};

OSTRA_TEST_MAIN_CORE(TestExifReader)
#include "tst_exifreader.moc"
