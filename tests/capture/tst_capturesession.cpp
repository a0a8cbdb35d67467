#include "support/capturetypes.h"
#include "support/forkedchild.h"
#include "support/testmain.h"

#include <QAbstractItemModelTester>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/capturefilereader.h"
#include "capture/capturesession.h"
#include "capture/filekind.h"
#include "capture/nilcapturesession.h"
#include "capture/sessionlistener.h"
#include "capture/volmonitor.h"
#include "capture/wincaptureproxy.h"
#include "ciapi/statefileeditor.h"
#include "platform/folderdevice.h"
#include "support/exifbuilder.h"
#include "support/recordingpipeline.h"
#include "tools/vrxgen/cameratree.h"

#include <atomic>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using S = CaptureSession;
using ostra::test::ExifBuilder;
using ostra::test::RecordingPipeline;

// Lets go of every file at once and writes down which.
struct CountingBailiff : IBailiff
{
    QStringList paths;
    std::shared_ptr<QSemaphoreReleaser> evictPath(QString path) override
    {
        paths << path;
        return std::make_shared<QSemaphoreReleaser>();
    }
    std::shared_ptr<QSemaphoreReleaser> evict(QUrl url) override { return evictPath(url.toLocalFile()); }
};

const QString kUuid = QStringLiteral("{0a1b2c3d-4e5f-4607-8819-2a3b4c5d6e7f}");

// A camera preview with the EXIF tags a session reads; an empty description leaves 0x010E out.
QByteArray preview(
    int orientation, QByteArray description, QByteArray uniqueId = {}, bool big = false, quint32 width = 4000)
{
    ExifBuilder b(big);
    const int ifd0 = b.addDirectory();
    const int exif = b.addDirectory();
    b.longs(ifd0, 0x0100, { width });
    b.shorts(ifd0, 0x0101, { 3000 });
    if (orientation)
        b.shorts(ifd0, 0x0112, { quint16(orientation) });
    if (!description.isEmpty())
        b.ascii(ifd0, 0x010E, description);
    b.ascii(exif, 0x9003, "2024:05:06 07:08:09");
    if (!uniqueId.isEmpty())
        b.ascii(exif, 0xA420, uniqueId);
    b.setExifDirectory(exif);
    return ExifBuilder::jpeg({ b.app1Payload() });
}

QUrl write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() ? QUrl::fromLocalFile(path)
                                                                          : QUrl();
}

QByteArray stateWithRating(int rating)
{
    CIAPI::StateFileEditor editor;
    editor.setUserRating(rating);
    std::ostringstream out;
    editor.serialize(out);
    return QByteArray::fromStdString(out.str());
}

CapturedImage local(const QUrl& file)
{
    const QFileInfo info(file.toLocalFile());
    return { info.completeBaseName(), info.fileName(), info.fileName(), info.size(), file };
}

// Feeds a named pipe that a reader opened, or is about to open; with `once`, gives up at once
// when no reader has it open (a watchdog's try).
bool feedPipe(const QString& path, const QByteArray& bytes, bool once)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | (once ? O_NONBLOCK : 0));
    if (fd < 0)
        return false;
    bool fed = true;
    for (qint64 done = 0; fed && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        fed = n > 0;
        done += n;
    }
    ::close(fd);
    return fed;
}

QModelIndex rowOf(const S& s, const QString& linkId)
{
    return s.match(s.index(0, 0), S::LinkIdRole, linkId, 1, Qt::MatchExactly).value(0);
}

} // namespace

class TestCaptureSession : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    FolderDeviceManager m_manager;
    WinCaptureProxy m_wpd { &m_manager };
    int m_count = 0;

    struct Camera
    {
        QString root, id;
        vrxgen::TreeInfo info;
        CaptureRequest request;
        SessionFactory factory;
    };

    // A fresh camera tree of `pictures` pictures behind a folder device or as USB volumes.
    Camera camera(bool usb, int pictures = 12, int videos = 2)
    {
        Camera c;
        c.root = m_dir.filePath(QString::number(++m_count));
        vrxgen::TreeOptions options;
        options.usb = usb;
        options.pictures = pictures;
        options.videos = videos;
        if (!vrxgen::makeCameraTree(c.root.toStdString(), options, &c.info))
            return c;
        c.request
            = { {}, QDir(c.root + ".data"), QDir(c.root + ".cache"), { "hotpixel.rec", "metadata.xml" } };
        QDir().mkpath(c.request.data.path());
        QDir().mkpath(c.request.cache.path());
        if (usb) {
            const VolMonitor::Facts picture { "Z40CD0042", c.root + "/Z40CD0042", true, true };
            const VolMonitor::Facts writable { "Z40SD0042", c.root + "/Z40SD0042", true, false };
            c.request.deviceId = "V$Z40$0042";
            c.factory = [=](const CaptureRequest& r, SessionListener* l) {
                return new VolMonitor::PassiveSessionProxy(VolMonitor::Link(), picture, writable, r, l);
            };
        } else {
            c.id = c.request.deviceId = m_manager.attach(c.root, "Z40");
            c.factory
                = [this](const CaptureRequest& r, SessionListener* l) { return m_wpd.createSession(r, l); };
        }
        return c;
    }

private slots:
    void initTestCase() { ostra::test::registerCaptureTypes(); }

    // Every picture of the camera becomes one row with its files, EXIF values and rating;
    // correlation comes only once the listing ended and the last preview was read.
    void listsCamera_data()
    {
        QTest::addColumn<bool>("usb");
        QTest::newRow("folder device") << false;
        QTest::newRow("usb volume") << true;
    }
    void listsCamera()
    {
        QFETCH(bool, usb);
        Camera c = camera(usb);
        RecordingPipeline pipeline;
        CountingBailiff bailiff;
        S session(c.factory, c.request, &pipeline, &bailiff);
        pipeline.source = &session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&session, &QAbstractItemModel::rowsInserted);
        int batches = 0;
        connect(session.findChild<SessionListener*>(), &SessionListener::notifyItemsFound, this,
            [&, rows = session.rowCount()]() mutable {
                batches += session.rowCount() > rows;
                rows = session.rowCount();
            });
        bool earlyCorrelation = false;
        connect(&session, &S::notifyCorrelated, this, [&] {
            earlyCorrelation = !session.isEnumerated();
            for (int row = 0; row < session.rowCount(); ++row) {
                const QModelIndex index = session.index(row, 0);
                earlyCorrelation
                    |= !index.data(S::RawRemoteIdRole).isNull() && index.data(S::LocationRole).isNull();
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(session.isCorrelated(), 20000);
        QVERIFY(!earlyCorrelation);
        if (!usb) {
            QCOMPARE(inserted.size(), batches);
            // The transport lets the image service go of each preview it replaces.
            QCOMPARE(bailiff.paths.filter(QRegularExpression("/IMG_\\d+\\.jpg$")).size(), 12);
        }
        for (int i = 0; i < 12; ++i) {
            const QModelIndex row = rowOf(session, QString::fromStdString(c.info.pictures[size_t(i)]));
            QVERIFY2(row.isValid(), qPrintable(QString::number(i)));
            QCOMPARE(row.data(S::ImageUuidRole).toUuid(),
                QUuid(QString::fromStdString(c.info.imageUuids[size_t(i)])));
            QCOMPARE(row.data(S::RatingRole).toInt(), c.info.stars[size_t(i)]);
            QCOMPARE(row.data(S::StateRemoteIdRole).isNull(), (i + 1) % 3 != 1);
            QVERIFY(!row.data(S::RawRemoteIdRole).toString().isEmpty());
        }
        // Previews of a device are fetched into its cache (never skipped when already there:
        // skip and overwrite), raw files wait for an import; no route is ever taken.
        QCOMPARE(pipeline.named("put IMG_.*jpg").size(), 12);
        QCOMPARE(pipeline.named("put .*vrx ").size(), usb ? 12 : 0);
        QVERIFY(pipeline.named("put IMG_.*jpg 1").size() == (usb ? 0 : 12));
        QCOMPARE(pipeline.named("claim ").size(), 12);
        QVERIFY(pipeline.named("route").isEmpty());
        QCOMPARE(pipeline.named("claimAll").size(), 1);
        // The pipeline releases what no item claimed once all are announced: every item
        // claims its picture before, or the last one read would be taken for gone.
        int lastClaim = -1;
        for (int i = 0; i < pipeline.calls.size(); ++i)
            lastClaim = pipeline.calls.at(i).startsWith("claim {") ? i : lastClaim;
        QVERIFY(lastClaim < pipeline.calls.indexOf("claimAll"));
    }

    void readsPreviewExif_data()
    {
        QTest::addColumn<QByteArray>("jpeg");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QUuid>("uuid");
        const QUuid uuid(kUuid);
        const QByteArray words = "a1b2c3d-4e5f4607-88192a3b-4c5d6e7f";
        const QByteArray hex = "0a1b2c3d4e5f460788192a3b4c5d6e7f";
        const std::tuple<const char*, QByteArray, int, QUuid> rows[] = {
            { "orientation 6", preview(6, "0a1b2c3d-4e5f4607-88192a3b-4c5d6e7f"), 3000, uuid },
            { "orientation 8, big-endian", preview(8, words, {}, true), 3000, uuid },
            { "uuid only in 0xA420", preview(1, {}, hex), 4000, uuid },
            { "no uuid", preview(1, {}), 4000, QUuid() },
            { "not a jpeg", "GIF89a garbage", 0, QUuid() },
        };
        for (const auto& [tag, jpeg, width, id] : rows)
            QTest::newRow(tag) << jpeg << width << (width == 4000 ? 3000 : width ? 4000 : 0) << id;
        // A size no JPEG can have is no size: the cell keeps the unknown 4:3.
        QTest::newRow("width past any int") << preview(1, {}, {}, false, 0x80000000u) << 4 << 3 << QUuid();
        QTest::newRow("width past a JPEG's") << preview(1, {}, {}, true, 70000) << 4 << 3 << QUuid();
    }
    void readsPreviewExif()
    {
        QFETCH(QByteArray, jpeg);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QUuid, uuid);
        // Every harvest says "removable": only a picture with a UUID is claimed and freed.
        RecordingPipeline pipeline;
        pipeline.harvest.isRemovable = true;
        NilCaptureSession session;
        session.attach(&pipeline);
        const QUrl file = write(m_dir.filePath(QString("exif%1/IMG_1.jpg").arg(++m_count)), jpeg);
        session.onItemsFound({ local(file) });
        QTRY_VERIFY(!session.isReading());
        const QModelIndex row = session.index(0, 0);
        QCOMPARE(row.data(S::AspectWidthRole).toInt(), width);
        QCOMPARE(row.data(S::AspectHeightRole).toInt(), height);
        QCOMPARE(row.data(S::ImageUuidRole).toUuid(), uuid);
        QCOMPARE(row.data(S::LocationRole).toUrl(), width ? file : QUrl());
        QCOMPARE(pipeline.named("claim "),
            uuid.isNull() ? QStringList() : QStringList { "claim " + uuid.toString() });
        session.freeImage(Recipe(), QUuid(), row);
        session.imageChanged(Recipe(), QUuid(), row, &pipeline.harvest);
        QCOMPARE(row.data(S::ToRemoveRole).toBool(), !uuid.isNull());

        // Correlation waits for the end of the listing and for the last preview; a file missing
        // while the listing runs may still turn up: only a pause until it ends.
        QSignalSpy correlated(&session, &S::notifyCorrelated);
        session.onObstacle({}, {}, IFileSink::SrcLost);
        session.onEnumerated(true);
        session.onObstacle({}, {}, IFileSink::SrcLost);
        QCOMPARE(pipeline.named("obstacle"), QStringList({ "obstacle 1", "obstacle 512" }));
        QVERIFY(!session.isCorrelated());
        QTRY_COMPARE(correlated.size(), 1);
        session.onEnumerated(true);
        QTest::qWait(10);
        QCOMPARE(correlated.size(), 1);
        if (width) {
            // The preview copied into the library by an import: the cell keeps the file it shows.
            const QUrl copy = write(m_dir.filePath(QString("exif%1/library/IMG_1.jpg").arg(m_count)), jpeg);
            Recipe recipe;
            recipe.recipe = fileKeyDocument("IMG_1.jpg");
            session.onItemFile(copy, recipe);
            QTRY_VERIFY(!session.isReading());
            QCOMPARE(row.data(S::LocationRole).toUrl(), file);
        }
    }

    // A camera's files may sit on a slow or hung card: the session reads them on a thread of
    // its own, the event loop turns meanwhile, and what they say is taken in, in the order
    // they came, once they are read. Named pipes stand for the card: a read holds until the
    // test feeds them.
    void slowCardLeavesTheLoopTurning()
    {
        const QString dir = m_dir.filePath(QString("slow%1/").arg(++m_count));
        QVERIFY(QDir().mkpath(dir));
        const QString jpg = dir + "IMG_1.jpg";
        const QString xml = dir + "metadata.xml";
        QCOMPARE(::mkfifo(QFile::encodeName(jpg).constData(), 0600), 0);
        QCOMPARE(::mkfifo(QFile::encodeName(xml).constData(), 0600), 0);
        const QByteArray jpeg = preview(6, "0a1b2c3d-4e5f4607-88192a3b-4c5d6e7f");
        const QByteArray metadata = "<metadata><item><path>/DCIM/IMG_1.jpg</path><stars>4</stars></item>"
                                    "<item><path>/DCIM/V.mp4</path><stars>2</stars></item></metadata>";
        // Feeds the pipes should the session read them on this thread, so that the test
        // fails instead of hanging.
        std::atomic<bool> turned { false };
        std::atomic<bool> rescued { false };
        std::thread watchdog([&] {
            for (int i = 0; i < 600 && !turned; ++i)
                QThread::msleep(50);
            if (turned)
                return;
            rescued = true;
            bool jpgFed = false;
            bool xmlFed = false;
            for (int i = 0; i < 600 && !(jpgFed && xmlFed); ++i) {
                jpgFed = jpgFed || feedPipe(jpg, jpeg, true);
                xmlFed = xmlFed || feedPipe(xml, metadata, true);
                QThread::msleep(50);
            }
        });
        RecordingPipeline pipeline;
        NilCaptureSession session;
        session.attach(&pipeline);
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy reserved(&session, &S::notifyReserved);
        QSignalSpy videos(&session, &S::videoMetadataReceived);
        QSignalSpy correlated(&session, &S::notifyCorrelated);
        session.onItemsFound(
            { local(QUrl::fromLocalFile(jpg)), local(write(dir + "IMG_1.vrxs", stateWithRating(0))) });
        session.onReserved("metadata.xml", QUrl::fromLocalFile(xml));
        session.onEnumerated(true);
        int turns = 0;
        QMetaObject::invokeMethod(
            &session, [&] { ++turns; }, Qt::QueuedConnection);
        QTRY_COMPARE(turns, 1);
        turned = true;
        watchdog.join();
        QVERIFY(!rescued);
        // Listed, not yet read: no size, no claim, no correlation, no rating.
        QCOMPARE(session.rowCount(), 1);
        const QModelIndex row = session.index(0, 0);
        QVERIFY(session.isReading());
        QVERIFY(row.data(S::AspectWidthRole).isNull());
        QVERIFY(row.data(S::VrxStateRole).isNull());
        QVERIFY(pipeline.named("claim ").isEmpty());
        QVERIFY(!session.isCorrelated());
        QVERIFY(reserved.isEmpty());

        QVERIFY(feedPipe(jpg, jpeg, false));
        QTRY_COMPARE(correlated.size(), 1);
        QCOMPARE(row.data(S::AspectWidthRole).toInt(), 3000);
        QCOMPARE(row.data(S::ImageUuidRole).toUuid(), QUuid(kUuid));
        QCOMPARE(pipeline.named("claim "), QStringList { "claim " + QUuid(kUuid).toString() });
        QTRY_VERIFY(!row.data(S::VrxStateRole).isNull());
        // "metadata.xml" still holds: told only once read.
        QCOMPARE(row.data(S::RatingRole).toInt(), 0);
        QVERIFY(reserved.isEmpty());
        QVERIFY(feedPipe(xml, metadata, false));
        QTRY_COMPARE(reserved.size(), 1);
        QVERIFY(!session.isReading());
        QCOMPARE(reserved.first().first().toString(), QString("metadata.xml"));
        QCOMPARE(row.data(S::RatingRole).toInt(), 4);
        QCOMPARE(videos.size(), 1);
        using Table = QHash<QString, VideosModel::VideoMetadata>;
        QCOMPARE(videos.first().first().value<Table>().value("V.mp4").rating, 2);
    }

    // A session that goes while a read hangs does not wait for it, and what the read
    // finds later reaches no one.
    void goesWhileACardHangs()
    {
        const QString dir = m_dir.filePath(QString("hung%1/").arg(++m_count));
        QVERIFY(QDir().mkpath(dir));
        const QString jpg = dir + "IMG_1.jpg";
        QCOMPARE(::mkfifo(QFile::encodeName(jpg).constData(), 0600), 0);
        RecordingPipeline pipeline;
        int fd = -1;
        {
            NilCaptureSession session;
            session.attach(&pipeline);
            session.onItemsFound({ local(QUrl::fromLocalFile(jpg)) });
            // The read is inside: the card took it and sends nothing yet.
            QTRY_VERIFY((fd = ::open(QFile::encodeName(jpg).constData(), O_WRONLY | O_NONBLOCK)) >= 0);
            QVERIFY(session.isReading());
        }
        QCOMPARE(pipeline.named("chanLost 256").size(), 1);
        // The read lets go once the card answers; what it found reaches no one.
        const QByteArray jpeg = preview(1, "0a1b2c3d-4e5f4607-88192a3b-4c5d6e7f");
        QCOMPARE(::write(fd, jpeg.constData(), size_t(jpeg.size())), ssize_t(jpeg.size()));
        ::close(fd);
        QTest::qWait(50);
        QVERIFY(pipeline.named("claim ").isEmpty());
    }

    // A rating from a state file stands, whichever of it and "metadata.xml" comes first;
    // a video's record never rates a picture.
    void ratings_data()
    {
        QTest::addColumn<bool>("metadataFirst");
        QTest::newRow("metadata first") << true;
        QTest::newRow("metadata last") << false;
    }
    void ratings()
    {
        QFETCH(bool, metadataFirst);
        const QString dir = m_dir.filePath(QString("ratings%1/").arg(++m_count));
        const QList<CapturedImage> files { local(write(dir + "A.jpg", preview(1, {}))),
            local(write(dir + "A.vrxs", stateWithRating(2))), local(write(dir + "B.jpg", preview(1, {}))),
            local(write(dir + "C.jpg", preview(1, {}))) };
        const QUrl metadata = write(dir + "metadata.xml",
            "<metadata><item><path>/DCIM/A.jpg</path><stars>5</stars></item>"
            "<item><path>/DCIM/B.jpg</path><stars>4</stars></item>"
            "<item><path>/DCIM/C.mp4</path><stars>3</stars><dt>1700000000999</dt><dur>4999</dur></item></"
            "metadata>");
        NilCaptureSession session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy videos(&session, &S::videoMetadataReceived);
        if (metadataFirst)
            session.onReserved("metadata.xml", metadata);
        session.onItemsFound(files);
        if (!metadataFirst)
            session.onReserved("metadata.xml", metadata);
        QTRY_VERIFY(!session.isReading());
        QCOMPARE(rowOf(session, "A").data(S::RatingRole).toInt(), 2);
        QCOMPARE(rowOf(session, "B").data(S::RatingRole).toInt(), 4);
        QCOMPARE(rowOf(session, "C").data(S::RatingRole).toInt(), 0);
        QCOMPARE(videos.size(), 1);
        const auto table = videos.first().first().value<QHash<QString, VideosModel::VideoMetadata>>();
        QCOMPARE(table.value("C.mp4").rating, 3);
        QCOMPARE(table.value("C.mp4").duration, 4);
        QCOMPARE(table.value("C.mp4").date, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
    }

    void videoDateOfAnyClock_data()
    {
        QTest::addColumn<QByteArray>("dt");
        QTest::addColumn<QDateTime>("date");
        QTest::newRow("ordinary") << QByteArray("1700000000999")
                                  << QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
        QTest::newRow("year 10000") << QByteArray("253402300800000") << QDateTime();
        QTest::newRow("largest clock") << QByteArray("9223372036854775807") << QDateTime();
        QTest::newRow("smallest clock") << QByteArray("-9223372036854775808") << QDateTime();
    }

    // A video's time in "metadata.xml" that no camera clock can have is no date: never one
    // wrapped past 64 bits or past the year 9999. Its rating still counts.
    void videoDateOfAnyClock()
    {
        QFETCH(QByteArray, dt);
        QFETCH(QDateTime, date);
        const QString dir = m_dir.filePath(QString("clock%1/").arg(++m_count));
        const QUrl metadata = write(dir + "metadata.xml",
            "<metadata><item><path>/DCIM/V.mp4</path><stars>3</stars><dt>" + dt
                + "</dt><dur>2000</dur></item>"
                  "</metadata>");
        NilCaptureSession session;
        QSignalSpy videos(&session, &S::videoMetadataReceived);
        session.onReserved("metadata.xml", metadata);
        QTRY_COMPARE(videos.size(), 1);
        const auto table = videos.first().first().value<QHash<QString, VideosModel::VideoMetadata>>();
        QCOMPARE(table.value("V.mp4").rating, 3);
        QCOMPARE(table.value("V.mp4").date.isValid(), date.isValid());
        if (date.isValid())
            QCOMPARE(table.value("V.mp4").date, date);
    }

    // A "metadata.xml" nested deeper than any camera writes it is read no further than that:
    // the items before keep their stars, and the nesting costs no memory (in a child with
    // little room, which an unbounded walk would use up).
    void deepMetadataIsCut()
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        QSKIP("no address-space bound holds under the sanitizers");
#endif
        const QString path = m_dir.filePath(QString("deep%1/metadata.xml").arg(++m_count));
        QByteArray xml = "<metadata><item><path>/DCIM/A.jpg</path><stars>4</stars></item>";
        const int levels = 3000000;
        xml.reserve(xml.size() + levels * 3 + 16);
        for (int i = 0; i < levels; ++i)
            xml += "<x>";
        write(path, xml);
        xml.clear();
        xml.squeeze();
        const int code = ostra::test::inChild(
            [&] {
                const CaptureFileReader::Metadata m = CaptureFileReader::readMetadata(path);
                return m.read && m.stars.value("A.jpg") == 4 ? 0 : 2;
            },
            rlim_t(96) << 20);
        QCOMPARE(code, 0);
    }

    // Files found without a pipeline are read at once and entered when one is attached (once);
    // a marked item's files are then retired on the camera, and a file found for it later at once.
    void attachesLaterAndRemovesMarked()
    {
        Camera c = camera(true, 4, 0);
        S session(c.factory, c.request, nullptr, nullptr);
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTRY_COMPARE(session.rowCount(), 4);
        QTRY_VERIFY(!session.index(0, 0).data(S::LocationRole).isNull());
        RecordingPipeline pipeline;
        for (int twice = 0; twice < 2; ++twice) {
            session.attach(&pipeline);
            // Local files are queued as they are read again, each with its completion.
            QTRY_VERIFY(!session.isReading());
            QCOMPARE(pipeline.named("put ").size(), 4 + 4 + 2);
            QCOMPARE(pipeline.named("claim ").size(), 4);
        }
        QVERIFY(pipeline.named("route").isEmpty());
        QTRY_VERIFY(session.isEnumerated());

        const QModelIndex row = rowOf(session, "IMG_0001");
        const QString trash = c.root + "/Z40SD0042/.QTrash/DCIM/";
        session.touchItem(row);
        QVERIFY(row.data(S::ToRemoveRole).toBool());
        // The records are forced to the card off the GUI thread.
        QTRY_VERIFY(row.data(S::RawRemoteIdRole).isNull() && row.data(S::ThmRemoteIdRole).isNull());
        for (const char* suffix : { ".jpg", ".vrx", ".vrxs" })
            QVERIFY2(QFile::exists(trash + "IMG_0001" + suffix), suffix);
        QTRY_COMPARE(pipeline.named("released ").size(), 3);
        QCOMPARE(pipeline.named("released IMG_0001.vrx 512").size(), 1);
        // A resumed transfer of a file deleted here fails: the file is gone, the device
        // is fine (no device ticket, no held transfers). Another file's failure stays one
        // of the device.
        const Recipe state { "transfer", session.deviceId(), fileKeyDocument("IMG_0001.vrxs"), {}, 4, false };
        session.onObstacle(QUrl::fromLocalFile(c.root + "/x/IMG_0001.vrxs"), state, IFileSink::IOError);
        QCOMPARE(pipeline.calls.last(), QString("obstacle %1").arg(IFileSink::SrcLost));
        const Recipe other { "transfer", session.deviceId(), fileKeyDocument("IMG_0002.vrx"), {}, 4, false };
        session.onObstacle(QUrl::fromLocalFile(c.root + "/x/IMG_0002.vrx"), other, IFileSink::IOError);
        QCOMPARE(pipeline.calls.last(), QString("obstacle %1").arg(IFileSink::IOError));
        // A companion file found late for a marked picture that had none of its kind goes
        // at once; a file of a kind the picture had (a name the camera used again) stays.
        const QModelIndex second = rowOf(session, "IMG_0002");
        QVERIFY(second.data(S::StateRemoteIdRole).isNull());
        session.touchItem(second);
        QTRY_VERIFY(second.data(S::RawRemoteIdRole).isNull() && second.data(S::ThmRemoteIdRole).isNull());
        write(c.root + "/Z40CD0042/DCIM/late/IMG_0001.vrxs", "late");
        write(c.root + "/Z40CD0042/DCIM/late/IMG_0002.vrxs", "late");
        session.onItemsFound({ { "IMG_0001", "DCIM/late/IMG_0001.vrxs", "IMG_0001.vrxs", 4, {} },
            { "IMG_0002", "DCIM/late/IMG_0002.vrxs", "IMG_0002.vrxs", 4, {} } });
        QTRY_VERIFY(QFile::exists(trash + "late/IMG_0002.vrxs"));
        QTest::qWait(100);
        QVERIFY(!QFile::exists(trash + "late/IMG_0001.vrxs"));
        QVERIFY(row.data(S::StateRemoteIdRole).isNull());
        QVERIFY(second.data(S::StateRemoteIdRole).isNull());
        QCOMPARE(session.rowCount(), 4);
    }

    // Freeing a picture deletes on the device the files it was copied from, never another
    // picture the camera took under the same name: one written where a freed file was (the
    // name used again), or one the device lists as another object while the session runs.
    void freeKeepsNewPictureOfSameName_data()
    {
        QTest::addColumn<bool>("afterFree");
        QTest::newRow("name used again after the free") << true;
        QTest::newRow("other object before the free") << false;
    }
    void freeKeepsNewPictureOfSameName()
    {
        QFETCH(bool, afterFree);
        Camera c = camera(false, 2, 0);
        const std::shared_ptr<FolderDevice::Controls> controls = m_manager.controls(c.id);
        RecordingPipeline pipeline;
        S session(c.factory, c.request, &pipeline, nullptr);
        pipeline.source = &session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTRY_VERIFY_WITH_TIMEOUT(session.isCorrelated(), 20000);
        const QString root = QString::fromStdString(c.info.pictureRoot) + "/";
        const QString relative = QDir(c.root).relativeFilePath(root);
        const QString prefix = relative == "." ? QString() : relative + "/";
        const QModelIndex row = rowOf(session, "IMG_0001");
        const QModelIndex other = rowOf(session, "IMG_0002");
        QVERIFY(row.isValid() && other.isValid());
        QVERIFY(!row.data(S::StateRemoteIdRole).toString().isEmpty());
        const QByteArray taken = "a picture taken again";
        // Files the device announces in order: once the last is listed, the others were.
        const auto announce = [&](const QStringList& names) {
            for (const QString& name : names) {
                QVERIFY(write(root + name, taken).isValid());
                controls->announceAdded(prefix + name);
            }
            QVERIFY(write(root + "IMG_0099.jpg", "no preview").isValid());
            controls->announceAdded(prefix + "IMG_0099.jpg");
            QTRY_VERIFY(rowOf(session, "IMG_0099").isValid());
        };
        QStringList kept;
        if (afterFree) {
            session.touchItem(row);
            QTRY_VERIFY(row.data(S::RawRemoteIdRole).isNull() && row.data(S::ThmRemoteIdRole).isNull()
                && row.data(S::StateRemoteIdRole).isNull());
            for (const char* suffix : { ".jpg", ".vrx", ".vrxs" })
                QVERIFY2(!QFile::exists(root + "IMG_0001" + suffix), suffix);
            kept = QStringList { "IMG_0001.jpg", "IMG_0001.vrx" };
            announce(kept);
        } else {
            QVERIFY(QDir(root).mkpath("late"));
            kept = QStringList { "late/IMG_0001.vrx" };
            announce(kept);
            QTRY_COMPARE(row.data(S::RawRemoteIdRole).toString(), "f:" + prefix + kept.first());
            session.touchItem(row);
            // The copied preview and state file go (the preview is asked for last).
            QTRY_VERIFY(row.data(S::ThmRemoteIdRole).isNull() && row.data(S::StateRemoteIdRole).isNull());
            QVERIFY(!QFile::exists(root + "IMG_0001.jpg") && !QFile::exists(root + "IMG_0001.vrxs"));
            // The raw file first listed is no longer the row's: it is not asked for either.
            QVERIFY(QFile::exists(root + "IMG_0001.vrx"));
        }
        QTest::qWait(200);
        for (const QString& name : qAsConst(kept)) {
            QFile file(root + name);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
            QCOMPARE(file.readAll(), taken);
        }
        // The other picture was not freed: all of its files are there.
        QVERIFY(!other.data(S::ToRemoveRole).toBool());
        for (const char* suffix : { ".jpg", ".vrx" })
            QVERIFY2(QFile::exists(root + "IMG_0002" + suffix), suffix);
        QCOMPARE(session.rowCount(), 3);
    }

    // A transport that tells of a file removed on the camera, then lists a file under the
    // same remote id again, lists another picture: freeing the row leaves that file, while
    // the row's other files, the ones first listed, go.
    void freeKeepsFileListedAgainUnderItsId()
    {
        Camera c = camera(true, 2, 0);
        RecordingPipeline pipeline;
        S session(c.factory, c.request, &pipeline, nullptr);
        pipeline.source = &session;
        QAbstractItemModelTester tester(&session, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTRY_VERIFY_WITH_TIMEOUT(session.isCorrelated(), 20000);
        const QModelIndex row = rowOf(session, "IMG_0001");
        QVERIFY(row.isValid());
        const QString raw = row.data(S::RawRemoteIdRole).toString();
        const QString preview = row.data(S::ThmRemoteIdRole).toString();
        QVERIFY(!raw.isEmpty() && !preview.isEmpty());
        const QUrl location = QUrl::fromLocalFile(c.root + "/Z40CD0042/" + raw);
        session.onItemsRemoved({ raw });
        QVERIFY(row.data(S::RawRemoteIdRole).isNull());
        session.onItemsFound(
            { { "IMG_0001", raw, "IMG_0001.vrx", QFileInfo(location.toLocalFile()).size(), location } });
        QCOMPARE(row.data(S::RawRemoteIdRole).toString(), raw);
        session.touchItem(row);
        const QString trash = c.root + "/Z40SD0042/.QTrash/";
        // Retired in order (raw, state, preview): once the preview is, the raw was decided.
        QTRY_VERIFY(QFile::exists(trash + preview));
        QVERIFY(!QFile::exists(trash + raw));
        QCOMPARE(row.data(S::RawRemoteIdRole).toString(), raw);
    }

    // A camera volume's files are each queued and completed in one turn: a scheduling pass
    // in between would find a queued file whose target (the file itself) exists and ask the
    // user about it. The correlation (after which a queued file without a local original
    // counts as gone) comes once every file of the listing is complete, raw files too.
    void localFilesQueuedAndCompleteAtOnce()
    {
        Camera c = camera(true, 4, 0);
        RecordingPipeline pipeline;
        S session(c.factory, c.request, &pipeline, nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(session.isCorrelated(), 20000);
        QTRY_VERIFY(!session.isReading());
        const QStringList& calls = pipeline.calls;
        QCOMPARE(pipeline.named("put ").size(), 4 + 4 + 2);
        for (int i = 0; i < calls.size(); ++i) {
            if (calls.at(i).startsWith("put "))
                QVERIFY2(
                    i + 1 < calls.size() && calls.at(i + 1) == "complete " + calls.at(i).section(' ', 1, 1),
                    qPrintable(calls.mid(i, 2).join(" | ")));
        }
        const int claimAll = calls.indexOf("claimAll");
        QVERIFY(claimAll >= 0);
        QCOMPARE(calls.mid(claimAll).filter(QRegularExpression("^complete ")), QStringList());
    }

    // A camera volume unplugged before or while its files are listed: the session hears
    // that the device is gone and tells the pipeline so, never that the camera holds no
    // files (an import waiting for them would take them for gone, for good).
    void volumeGoneWhileListed()
    {
        Camera c = camera(true, 2, 0);
        QVERIFY(QDir().rename(c.root + "/Z40CD0042", c.root + "/unplugged"));
        RecordingPipeline pipeline;
        S session(c.factory, c.request, &pipeline, nullptr);
        pipeline.source = &session;
        QSignalSpy lost(&session, &S::notifyDeviceLost);
        QVERIFY(lost.wait(20000));
        QVERIFY(!session.isEnumerated() && !session.isLive());
        QCOMPARE(session.rowCount(), 0);
        QVERIFY(pipeline.named("claimAll").isEmpty());
        QCOMPARE(pipeline.named("chanLost 256").size(), 1);
    }

    // Losing the device empties the session and tells the pipeline; reports still on their
    // way are dropped. Destroying an open session does the same.
    void deviceLost_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("unplugged") << true;
        QTest::newRow("destroyed while open") << false;
    }
    void deviceLost()
    {
        QFETCH(bool, unplug);
        Camera c = camera(false);
        FolderDevice::Faults slow;
        slow.callDelayMs = 5;
        m_manager.controls(c.id)->setFaults(slow);
        RecordingPipeline pipeline;
        auto session = std::make_unique<S>(c.factory, c.request, &pipeline, nullptr);
        pipeline.source = session.get();
        QAbstractItemModelTester tester(
            session.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy lost(session.get(), &S::notifyDeviceLost);
        QTRY_VERIFY_WITH_TIMEOUT(session->rowCount() > 0, 20000);
        if (!unplug) {
            session.reset();
            QCOMPARE(pipeline.named("chanLost 256").size(), 1);
            QCOMPARE(lost.size(), 1);
            return;
        }
        m_manager.detach(c.id);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 20000);
        QCOMPARE(session->rowCount(), 0);
        QVERIFY(!session->isLive());
        QCOMPARE(pipeline.named("chanLost 256").size(), 1);
        session->onItemsFound({ CapturedImage { "X", "o:1", "X.jpg", 1, {} } });
        QCOMPARE(session->rowCount(), 0);
        QTest::qWait(50);
        session.reset();
        QCOMPARE(pipeline.named("chanLost 256").size(), 1);
    }
};

OSTRA_TEST_MAIN(TestCaptureSession)
#include "tst_capturesession.moc"
