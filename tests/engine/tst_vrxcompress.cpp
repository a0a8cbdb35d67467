// In-place compression: lossless, never loses the picture (kills, full disk, read-only
// folder, faulty compressor), and waits for readers.
#include "support/childprocess.h"
#include "support/eventloopturns.h"
#include "support/filebytes.h"
#include "support/mountnamespace.h"
#include "support/openforview.h"
#include "support/rawsamples.h"
#include "support/recordingcanvas.h"
#include "support/rescuewatchdog.h"

#include "ciapi/bytesource.h"
#include "ciapi/vrx/vrximage.h"
#include "ciapi/vrx/vrxwriter.h"
#include "engine/imagelocator.h"
#include "engine/vrxcompress.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>

#include "tools/vrxgen/generator.h"

using ostra::test::fileBytes;

namespace {

using Canvas = ostra::test::RecordingCanvas;

QByteArray writePicture(const QString& path, int frames, bool compressed = false, int width = 256,
    std::uint16_t majorVersion = 1, std::uint32_t seed = 7)
{
    vrxgen::PictureOptions o;
    o.majorVersion = majorVersion;
    o.seed = seed;
    o.moduleWidth = width;
    o.moduleHeight = width * 3 / 4;
    o.modules = 3;
    o.frames = frames;
    o.compressed = compressed;
    const vrxgen::Picture p = vrxgen::makePicture(o);
    vrxgen::writeFile(QFile::encodeName(path).toStdString(), p.vrx);
    return fileBytes(path);
}

// A compressed copy of `packed` whose first frame has one sample changed, every checksum right.
QByteArray flipOneSample(const QByteArray& packed)
{
    using namespace CIAPI::vrx;
    auto image = VrxImage::open(CIAPI::ByteSource::fromMemory(packed.constData(), size_t(packed.size())));
    std::vector<VrxWriter::Chunk> chunks;
    bool flipped = false;
    for (const auto& e : image->chunks()) {
        VrxWriter::Chunk c { e.type, e.index,
            image->source().bytes(e.payload.offset, size_t(e.payload.length)) };
        if (e.type == "RAW " && !flipped) {
            std::int32_t module = 0;
            std::int32_t frame = 0;
            std::memcpy(&module, c.payload.data(), 4);
            std::memcpy(&frame, c.payload.data() + 4, 4);
            std::vector<std::uint16_t> samples = image->decodeFrame(module, frame);
            samples[samples.size() / 2] ^= 1;
            c.payload = VrxWriter::encodeFrame(image->module(module), frame, samples, RawDeltaZstd, 3);
            flipped = true;
        }
        chunks.push_back(std::move(c));
    }
    const auto bytes
        = VrxWriter::assemble(image->majorVersion(), image->minorVersion(), image->flags(), chunks);
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
}

VrxMetadata recordOf(const QString& path)
{
    VrxMetadata md;
    md.location = QUrl::fromLocalFile(path);
    md.invalid = false;
    return md;
}

// Runs one job on this thread; the record it reported.
VrxMetadata runJob(FilePerm& perm, const QString& path, bool* reported = nullptr)
{
    auto source = std::make_shared<StreamSource>(QUrl::fromLocalFile(path));
    QPointer<VrxCompress> job(new VrxCompress(&perm, 0.4f, 98, recordOf(path), source));
    VrxMetadata result;
    bool got = false;
    QObject::connect(job, &VrxCompress::complete, [&](const VrxMetadata& md) {
        result = md;
        got = true;
    });
    job->compress();
    if (reported)
        *reported = got;
    QTest::qWait(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}

// Either the original bytes or a compressed file with the same samples; nothing beside.
void checkIntact(const QString& path, const QByteArray& original)
{
    const QByteArray now = fileBytes(path);
    QVERIFY2(!now.isEmpty(), "the picture is gone");
    if (now != original) {
        auto image = CIAPI::vrx::VrxImage::open(CIAPI::ByteSource::fromMemory(
            reinterpret_cast<const std::uint8_t*>(now.constData()), size_t(now.size())));
        QVERIFY(image->compressed());
        QVERIFY(ostra::test::rawSamples(now) == ostra::test::rawSamples(original));
    }
}

int childMain(const QString& mode, const QStringList& args)
{
    // "compress <path> <point>": compress, killing this process at the named point.
    if (mode != QLatin1String("compress"))
        return 2;
    const QString point = args.value(1);
    VrxCompress::setProbe([point](const char* at) {
        fprintf(stderr, "at %s\n", at);
        if (point == QLatin1String(at))
            ::raise(SIGKILL);
    });
    FilePerm perm;
    bool reported = false;
    const VrxMetadata md = runJob(perm, args.value(0), &reported);
    return reported && !md.invalid ? 0 : 1;
}

} // namespace

class TestVrxCompress : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    // Only a readable, compressed result replaces the file; whatever the compressor did
    // wrong, the original stays and the temporary file goes.
    void faultyCompressorKeepsTheOriginal_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("copies its input") << "copy" << false;
        QTest::newRow("writes garbage") << "garbage" << false;
        QTest::newRow("writes an incompatible file") << "incompatible" << false;
        QTest::newRow("writes half") << "half" << false;
        QTest::newRow("throws after writing") << "throw" << false;
        QTest::newRow("refuses") << "refuse" << false;
        QTest::newRow("leaves bytes unflushed") << "unflushed" << true;
        // A well-formed compressed picture, but not of these samples.
        QTest::newRow("writes other samples") << "other" << false;
        QTest::newRow("flips a sample") << "flip" << false;
    }
    void faultyCompressorKeepsTheOriginal()
    {
        QFETCH(QString, fault);
        QFETCH(bool, replaced);
        const QString path = m_dir.filePath(QStringLiteral("IMG_fault_%1.vrx").arg(fault));
        const QByteArray original = writePicture(path, 3);
        const QByteArray packed = writePicture(m_dir.filePath("packed.vrx"), 3, true);
        const QByteArray unreadable = writePicture(m_dir.filePath("unreadable.vrx"), 3, true, 256, 2);
        const QByteArray other = writePicture(m_dir.filePath("other.vrx"), 3, true, 256, 1, 8);
        const QByteArray flipped = flipOneSample(packed);
        VrxCompress::setCompressor(
            [&](std::shared_ptr<std::istream>, std::shared_ptr<std::ostream> out, int, int, int) {
                const QByteArray bytes = fault == "copy" ? original
                    : fault == "garbage"                 ? QByteArray(original.size() / 2, 'g')
                    : fault == "refuse"                  ? QByteArray()
                    : fault == "incompatible"            ? unreadable
                    : fault == "other"                   ? other
                    : fault == "flip"                    ? flipped
                                                         : packed;
                const qint64 length = fault == "half" || fault == "throw" ? bytes.size() / 2 : bytes.size();
                out->write(bytes.constData(), length);
                if (fault == "throw")
                    throw std::runtime_error("disk gone");
                if (fault != "unflushed")
                    out->flush();
                return fault == "refuse" ? 1 : 0;
            });
        FilePerm perm;
        const VrxMetadata md = runJob(perm, path);
        VrxCompress::setCompressor({});
        QCOMPARE(!md.invalid, replaced);
        QCOMPARE(fileBytes(path), replaced ? packed : original);
        QVERIFY(!QFile::exists(VrxCompress::temporaryPathFor(path)));
    }

    // The job's source is made off the GUI thread: resolving the file's path hangs on a
    // drive that does not answer, and the event loop turns meanwhile. Once it answers the
    // file is compressed; a service that goes meanwhile does not wait for it.
    void sourceIsMadeOffTheGuiThread_data()
    {
        QTest::addColumn<bool>("deleted");
        QTest::newRow("answered") << false;
        QTest::newRow("service deleted meanwhile") << true;
    }

    void sourceIsMadeOffTheGuiThread()
    {
        QFETCH(bool, deleted);
        const QString path = m_dir.filePath(QStringLiteral("IMG_sourced_%1.vrx").arg(int(deleted)));
        const QUrl url = QUrl::fromLocalFile(path);
        const QByteArray original = writePicture(path, 2);
        QSemaphore gate;
        auto locator = std::make_unique<ImageLocator>(2, nullptr);
        std::atomic<int> held { 0 };
        locator->setSourceProbe([&](const QUrl& made) {
            if (made != url)
                return;
            ++held;
            gate.acquire();
        });
        ostra::test::RescueWatchdog watchdog([&gate] { gate.release(1000); });
        locator->spawnImageCompression(recordOf(path));
        QTRY_COMPARE(held.load(), 1);
        QVERIFY(ostra::test::eventLoopTurns());
        QCOMPARE(fileBytes(path), original);
        if (deleted)
            locator.reset();
        QVERIFY(watchdog.end());
        gate.release(1000);
        if (deleted) {
            QVERIFY(ostra::test::eventLoopTurns());
            QCOMPARE(fileBytes(path), original);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(fileBytes(path).size() < original.size(), 30000);
        checkIntact(path, original);
    }

    // Lossless and in place: a viewer holding the file keeps the swap waiting; the job
    // finishes when it lets go, and the file opens again in its new form.
    void viewerMakesTheJobWait()
    {
        const QString path = m_dir.filePath(QStringLiteral("IMG_held.vrx"));
        const QUrl url = QUrl::fromLocalFile(path);
        const QByteArray original = writePicture(path, 2);
        ImageLocator locator(2, nullptr);
        QSignalSpy indexed(&locator, &ImageLocator::notifyFileIndexedSignal);
        QSemaphore written;
        VrxCompress::setProbe([&](const char* at) {
            if (qstrcmp(at, "written") == 0)
                written.release();
        });
        Canvas canvas;
        ImageEditor* editor = ostra::test::openedForView(locator, url, &canvas);
        QCOMPARE(editor->currentUrl(), url);
        locator.spawnImageCompression(recordOf(path));
        // The job is spawned once its source is made off this thread: the loop turns.
        QTRY_VERIFY_WITH_TIMEOUT(written.available() > 0, 30000);
        QTest::qWait(300);
        QCOMPARE(fileBytes(path), original);
        locator.releaseEditorSlot(editor, &canvas);
        QTRY_VERIFY_WITH_TIMEOUT(locator.indexedValues(url).value(IResolver::Compressed).toBool(), 30000);
        VrxCompress::setProbe({});
        checkIntact(path, original);
        QVERIFY(fileBytes(path).size() < original.size());
        // The file's new record, as the gallery shows it.
        const VrxMetadata md = indexed.last().at(0).value<VrxMetadata>();
        QVERIFY(md.compressed && md.location == url);
        QCOMPARE(md.fileSize, QFileInfo(path).size());

        Canvas again;
        editor = ostra::test::openedForView(locator, url, &again);
        QCOMPARE(editor->currentUrl(), url);
        QTRY_VERIFY_WITH_TIMEOUT(!again.outputs.isEmpty(), 30000);
        QVERIFY(again.invalid.isEmpty());
        locator.releaseEditorSlot(editor, &again);
    }

    // A kill at any point leaves the original or the verified result, and a later job
    // still does the work.
    void killAnywhere_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<int>("delayMs");
        for (const char* point :
            { "locked", "reserved", "written", "verified", "exclusive", "renamed", "done" })
            QTest::newRow(point) << QString::fromLatin1(point) << -1;
        // Counted from the start of the job, which takes some 200 ms here.
        for (int ms : { 0, 40, 100, 160 })
            QTest::newRow(qPrintable(QStringLiteral("after %1 ms").arg(ms))) << QString() << ms;
    }
    void killAnywhere()
    {
        QFETCH(QString, point);
        QFETCH(int, delayMs);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("IMG_1.vrx"));
        const QByteArray original = writePicture(path, 3, false, 1024);
        auto child = ostra::test::startSelf(QStringLiteral("compress"), { path, point });
        QVERIFY(child->started());
        if (delayMs >= 0) {
            QVERIFY(child->waitForErr(QStringLiteral("at locked")));
            QTest::qWait(delayMs);
            child->kill();
        } else {
            QVERIFY(child->finish());
            QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        }
        checkIntact(path, original);
        FilePerm perm;
        const bool wasCompressed = fileBytes(path) != original;
        const VrxMetadata md = runJob(perm, path);
        QCOMPARE(md.invalid, wasCompressed); // an already compressed file is left alone
        checkIntact(path, original);
        QVERIFY(fileBytes(path) != original);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { QStringLiteral("IMG_1.vrx") });
    }

    // What a job killed amid its work leaves beside the picture can be cleared without a
    // new job on the picture (the folder's indexing does it); the files of a job that is
    // still running stay.
    void leftoversGoWhenTheFolderIsIndexed()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("IMG_1.vrx"));
        const QByteArray original = writePicture(path, 3, false, 1024);
        auto child = ostra::test::startSelf(QStringLiteral("compress"), { path, QStringLiteral("written") });
        QVERIFY(child->started());
        QVERIFY(child->finish());
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo::exists(VrxCompress::temporaryPathFor(path)));
        // A lock without its output, and a job of this process under way on another picture.
        QVERIFY(QFile::copy(VrxCompress::temporaryPathFor(path) + ".lock", dir.filePath("IMG_2.vrxc.lock")));
        QLockFile running(dir.filePath("IMG_3.vrxc.lock"));
        QVERIFY(running.tryLock(0));
        {
            QFile under(dir.filePath("IMG_3.vrxc"));
            QVERIFY(under.open(QIODevice::WriteOnly) && under.write("under way") > 0);
        }
        QCOMPARE(VrxCompress::removeLeftovers(dir.path()), 3);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            (QStringList { "IMG_1.vrx", "IMG_3.vrxc", "IMG_3.vrxc.lock" }));
        checkIntact(path, original);
        QCOMPARE(fileBytes(path), original);
    }

    // A full file system or a read-only folder keeps the original and leaves nothing.
    void fullOrReadOnlyDisk()
    {
        OSTRA_RUN_IN_MOUNT_NAMESPACE(
            m_dir.path(), QStringList { QStringLiteral("fullOrReadOnlyDiskInside") });
    }
    void fullOrReadOnlyDiskInside()
    {
        const QString root = ostra::test::mountNamespaceFolder();
        if (root.isEmpty())
            QSKIP("runs only inside the mount namespace of fullOrReadOnlyDisk");
        for (const QString& kind : { QStringLiteral("full"), QStringLiteral("readonly") }) {
            const QString mount = root + "/" + kind;
            QVERIFY(ostra::test::mountTmpfs(kind, mount, QStringLiteral("size=4m")));
            const QString path = mount + "/IMG_1.vrx";
            const QByteArray original = writePicture(path, 3, false, 384);
            if (kind == QLatin1String("full")) {
                // Only a few blocks stay free.
                QVERIFY(ostra::test::fillFileSystem(mount, 8192));
            } else {
                QVERIFY(ostra::test::shell(QStringLiteral("mount -o remount,ro '%1'").arg(mount)));
            }
            FilePerm perm;
            bool reported = false;
            QVERIFY(runJob(perm, path, &reported).invalid);
            QVERIFY(reported);
            QCOMPARE(fileBytes(path), original);
            QVERIFY(!QFile::exists(VrxCompress::temporaryPathFor(path)));
        }
    }
};

OSTRA_TEST_MAIN_WITH_CHILD(QGuiApplication, TestVrxCompress, childMain)
#include "tst_vrxcompress.moc"
