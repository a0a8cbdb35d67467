#include "support/capturetypes.h"
#include "support/filetree.h"
#include "support/testmain.h"

#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/filekind.h"
#include "capture/sessionlistener.h"
#include "capture/wincaptureproxy.h"
#include "capture/winsessionproxy.h"
#include "platform/folderdevice.h"

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QVERIFY(ostra::test::writeTreeFile(path, bytes));
}

Recipe recipeOf(const QString& name)
{
    Recipe r;
    r.recipe = fileKeyDocument(name);
    return r;
}

// A device whose object graph is not a tree: "a" lists "b", which lists "a" again and
// itself. Nothing else fails.
class GraphDevice : public IPortableDevice
{
public:
    QHash<QString, QStringList> graph { { "DEVICE", { "s" } }, { "s", { "a" } }, { "a", { "b", "f1" } },
        { "b", { "a", "b", "f2" } } };
    QString id() const override { return "graph"; }
    PortableDevice::Result children(const QString& parent, QStringList* ids) override
    {
        *ids = graph.value(parent);
        return PortableDevice::kOk;
    }
    PortableDevice::Result properties(const QString& id, DeviceObject* object) override
    {
        object->id = id;
        object->folder = graph.contains(id);
        object->name = object->folder ? id : id == "f1" ? "IMG_1.jpg" : "IMG_2.vrx";
        object->sizeKnown = !object->folder;
        object->size = object->folder ? 0 : 10;
        return PortableDevice::kOk;
    }
    bool hasBulk() const override { return false; }
    PortableDevice::Result startBulk(quint64, const QStringList&) override { return PortableDevice::kFailed; }
    void cancelBulk(quint64) override { }
    PortableDevice::Result openStream(const QString&, std::unique_ptr<IDeviceStream>*, qint64*) override
    {
        return PortableDevice::kNotFound;
    }
    PortableDevice::Result remove(const QString&) override { return PortableDevice::kFailed; }
    void advise(IDeviceEventSink*) override { }
    void cancel() override { }
};

QStringList fileNames(const QSignalSpy& items)
{
    QStringList names;
    for (const auto& batch : items)
        for (const CapturedImage& image : batch.first().value<QList<CapturedImage>>())
            names << image.fileName;
    names.sort();
    return names;
}

} // namespace

// Records what it was asked to let go of, and whether the target was still the old file then.
class RecordingBailiff : public IBailiff
{
public:
    QStringList evicted;
    std::shared_ptr<QSemaphoreReleaser> evictPath(QString path) override
    {
        evicted << path + (QFileInfo(path).size() == 4 ? " old" : " new");
        return std::make_shared<QSemaphoreReleaser>();
    }
    std::shared_ptr<QSemaphoreReleaser> evict(QUrl url) override { return evictPath(url.toLocalFile()); }
};

// The real file calls; the first sync of the watched folder waits for the test's word, and
// each of its syncs notes which of the watched targets already stood under their name when
// it ran (a failing one covers none). Other folders are synced as usual.
class GatedFolderSync : public IFileCalls
{
public:
    QSemaphore gate;
    bool fail = false;
    QString folder;
    QStringList watched;
    QMutex mutex;
    int syncs = 0; // guarded by mutex
    QSet<QString> covered; // guarded by mutex

    ssize_t copyFileRange(int in, int out, size_t length) override
    {
        return systemFileCalls().copyFileRange(in, out, length);
    }
    ssize_t read(int fd, void* buffer, size_t length) override
    {
        return systemFileCalls().read(fd, buffer, length);
    }
    ssize_t write(int fd, const void* buffer, size_t length) override
    {
        return systemFileCalls().write(fd, buffer, length);
    }
    int fsync(int fd) override { return systemFileCalls().fsync(fd); }
    int syncFolder(const char* path) override
    {
        if (QFile::decodeName(path) != folder)
            return IFileCalls::syncFolder(path);
        bool first;
        {
            QMutexLocker lock(&mutex);
            first = syncs++ == 0;
        }
        if (first)
            gate.acquire();
        QStringList present;
        for (const QString& target : qAsConst(watched))
            if (QFileInfo::exists(target))
                present << target;
        if (fail) {
            errno = EIO;
            return -1;
        }
        const int result = IFileCalls::syncFolder(path);
        QMutexLocker lock(&mutex);
        for (const QString& target : qAsConst(present))
            covered.insert(target);
        return result;
    }
    bool isCovered(const QString& target)
    {
        QMutexLocker lock(&mutex);
        return covered.contains(target);
    }
};

class TestWinSessionProxy : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    FolderDeviceManager m_manager;
    QString m_id;
    QString m_camera;

    std::unique_ptr<WinSessionProxy> open(SessionListener* listener,
        std::unique_ptr<IPortableDevice> device = {}, IFileCalls& calls = systemFileCalls())
    {
        if (!device && m_manager.open(m_id, false, &device) != PortableDevice::kOk)
            return nullptr;
        CaptureRequest request { m_id, QDir(m_dir.filePath("data")), QDir(m_dir.filePath("cache")),
            { "hotpixel.rec", "metadata.xml" } };
        QDir().mkpath(request.data.path());
        auto proxy = std::make_unique<WinSessionProxy>(std::move(device), request, listener, calls);
        QSignalSpy done(listener, &SessionListener::notifyEnumerated);
        proxy->start();
        while (done.isEmpty() || done.last().first().toBool() != true)
            if (!done.wait(20000))
                return nullptr;
        return proxy;
    }

private slots:
    void initTestCase()
    {
        ostra::test::registerCaptureTypes();
        m_camera = m_dir.filePath("camera");
        // 660 pictures in three folders (preview, raw, every third a state file), the
        // reserved files, a preset, a video with its preview and a name no file may have.
        for (int i = 0; i < 660; ++i) {
            const QString base = QStringLiteral("%1/DCIM/%2/IMG_%3")
                                     .arg(m_camera)
                                     .arg(100 + i % 3)
                                     .arg(i, 4, 10, QChar('0'));
            writeFile(base + ".jpg", QByteArray(100 + i, 'j'));
            writeFile(base + ".vrx", QByteArray(3000 + i, 'r'));
            if (i % 3 == 0)
                writeFile(base + ".vrxs", "state");
        }
        writeFile(m_camera + "/hotpixel.rec", "hot");
        writeFile(m_camera + "/metadata.xml", "<m/>");
        writeFile(m_camera + "/P1.qpf", "preset");
        writeFile(m_camera + "/VID_0001.mp4", QByteArray(5000, 'v'));
        writeFile(m_camera + "/VID_0002.MP4", "upper");
        writeFile(m_camera + "/VID_0001_thumbnail.jpg", "thumb");
        writeFile(m_camera + "/big/BIG.vrx", QByteArray(2 * 1024 * 1024 + 17, 'b'));
        m_id = m_manager.attach(m_camera, "Z40", "Quelt");
    }

    void enumerates_data()
    {
        QTest::addColumn<bool>("bulk");
        QTest::newRow("bulk") << true;
        QTest::newRow("one by one") << false;
    }
    void enumerates()
    {
        QFETCH(bool, bulk);
        FolderDevice::Faults faults;
        faults.noBulk = !bulk;
        faults.failPropertiesOf = "IMG_0007.jpg"; // that one object stays unknown
        m_manager.controls(m_id)->setFaults(faults);
        SessionListener listener;
        QSignalSpy enumerated(&listener, &SessionListener::notifyEnumerated);
        QSignalSpy items(&listener, &SessionListener::notifyItemsFound);
        QSignalSpy reserved(&listener, &SessionListener::notifyReserved);
        QSignalSpy thumbs(&listener, &SessionListener::notifyVideoThumbnailReady);
        QSignalSpy videos(&listener, &SessionListener::notifyVideoFound);
        QSignalSpy presets(&listener, &SessionListener::notifyPresetFound);
        auto proxy = open(&listener);
        QVERIFY(proxy);
        QCOMPARE(enumerated.size(), 2);
        QCOMPARE(enumerated.first().first().toBool(), false);
        QHash<QString, int> perLink;
        for (const auto& batch : qAsConst(items))
            for (const CapturedImage& image : batch.first().value<QList<CapturedImage>>())
                ++perLink[image.linkId];
        QCOMPARE(perLink.size(), 660 + 2); // the pictures, BIG and the upper-case video
        // Files read one by one still reach the session in batches, not one signal each.
        int files = 0;
        for (const int n : qAsConst(perLink))
            files += n;
        QVERIFY2(items.size() * 20 < files, qPrintable(QString::number(items.size())));
        QCOMPARE(perLink.value("IMG_0003"), 3);
        QCOMPARE(perLink.value("IMG_0004"), 2);
        QCOMPARE(perLink.value("IMG_0007"), 1);
        QTRY_COMPARE(reserved.size(), 2);
        QVERIFY(QFile::exists(m_dir.filePath("data/hotpixel.rec")));
        QTRY_COMPARE(thumbs.size(), 1);
        QCOMPARE(thumbs.first().first().toString(), QString("VID_0001.mp4"));
        QVERIFY(QFile::exists(thumbs.first().at(1).toString()));
        QCOMPARE(videos.size(), 1);
        QCOMPARE(presets.size(), 1);
        QVERIFY(QDir(m_dir.filePath("data")).entryList({ "*.transfer" }, QDir::Files).isEmpty());

        // Events reach the session from the device's thread; none after it is gone.
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        items.clear();
        writeFile(m_camera + "/NEW_1.jpg", "new");
        m_manager.controls(m_id)->announceAdded("NEW_1.jpg");
        QTRY_COMPARE(items.size(), 1);
        QCOMPARE(items.first().first().value<QList<CapturedImage>>().first().fileName, QString("NEW_1.jpg"));
        faults.failDelete = true;
        m_manager.controls(m_id)->setFaults(faults);
        proxy->remove("f:P1.qpf");
        QTest::qWait(50);
        m_manager.controls(m_id)->setFaults({});
        proxy->remove("f:NEW_1.jpg");
        QTRY_COMPARE(removed.size(), 1);
        QCOMPARE(removed.first().first().toStringList(), QStringList({ "f:NEW_1.jpg" }));
        QVERIFY(QFile::exists(m_camera + "/P1.qpf"));
        QVERIFY(!QFile::exists(m_camera + "/NEW_1.jpg"));
        writeFile(m_camera + "/NEW_1.jpg", "again"); // a removed object that comes back is new
        m_manager.controls(m_id)->announceAdded("NEW_1.jpg");
        QTRY_COMPARE(items.size(), 2);
        QVERIFY(QFile::remove(m_camera + "/NEW_1.jpg"));
        for (int i = 0; i < 200; ++i)
            m_manager.controls(m_id)->announceAdded("P1.qpf");
        proxy.reset(); // the late events must not reach it
        QTest::qWait(50);
    }

    // Copies with their faults: the target is the old file or the complete new one.
    void copies_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("error"); // -1: success
        QTest::addColumn<qint64>("size");
        QTest::newRow("good raw") << "big/BIG.vrx" << 0 << -1 << qint64(2 * 1024 * 1024 + 17);
        QTest::newRow("stat fails") << "DCIM/100/IMG_0000.jpg" << 1 << -1 << qint64(100);
        QTest::newRow("oversized raw") << "DCIM/101/IMG_0001.vrx" << 2 << -1 << qint64(3001);
        QTest::newRow("read error") << "big/BIG.vrx" << 3 << int(IFileSink::IOError) << qint64(4);
        QTest::newRow("missing folder") << "big/BIG.vrx" << 5 << int(IFileSink::DirLost) << qint64(-1);
        QTest::newRow("rename fails") << "big/BIG.vrx" << 6 << int(IFileSink::IOError) << qint64(-2);
        QTest::newRow("unknown file") << "nothing.vrx" << 0 << int(IFileSink::SrcLost) << qint64(4);
    }
    void copies()
    {
        QFETCH(QString, file);
        QFETCH(int, fault);
        QFETCH(int, error);
        QFETCH(qint64, size);
        FolderDevice::Faults faults;
        faults.noBulk = true;
        faults.failStat = fault == 1;
        faults.sizeSurplus = fault == 2 ? 1000 : 0;
        faults.failReadAfter = fault == 3 ? 1024 * 1024 : -1;
        m_manager.controls(m_id)->setFaults(faults);
        SessionListener listener;
        auto proxy = open(&listener);
        QVERIFY(proxy);
        const QString folder = m_dir.filePath(fault == 5 ? "gone" : "out");
        QDir().mkpath(m_dir.filePath("out"));
        const QString target = folder + "/" + QFileInfo(file).fileName();
        QFile::remove(target);
        if (fault == 6)
            QDir().mkpath(target + "/in the way");
        else
            writeFile(m_dir.filePath("out/") + QFileInfo(file).fileName(), "old!");
        RecordingBailiff bailiff;
        proxy->setBailiff(&bailiff);
        QSignalSpy done(&listener, &SessionListener::notifyItemFile);
        QSignalSpy failed(&listener, &SessionListener::notifyObstacle);
        proxy->transfer(QUrl::fromLocalFile(target), recipeOf(QFileInfo(file).fileName()));
        QTRY_VERIFY_WITH_TIMEOUT(done.size() + failed.size() == 1, 20000);
        if (error < 0)
            QCOMPARE(done.size(), 1);
        else
            QCOMPARE(failed.value(0).value(2).value<IFileSink::Error>(), IFileSink::Error(error));
        QCOMPARE(QFileInfo(target).isDir()   ? -2
                : QFileInfo(target).exists() ? QFileInfo(target).size()
                                             : -1,
            size);
        QVERIFY(!QFile::exists(target + ".transfer"));
        if (fault == 0 && error < 0)
            QVERIFY(bailiff.evicted.contains(target + " old")); // asked before the file was replaced
        QFile::remove(target);
        QDir(target).removeRecursively();
        m_manager.controls(m_id)->setFaults({});
    }

    // Cancel and unplug in the middle of a copy; a video is always answered.
    void interruptions_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("cancel") << false;
        QTest::newRow("unplug") << true;
    }
    void interruptions()
    {
        QFETCH(bool, unplug);
        QDir().mkpath(m_dir.filePath("out"));
        const QString folder = m_dir.filePath("cut");
        writeFile(folder + "/keep", "");
        QString id = m_manager.attach(folder, "other");
        writeFile(folder + "/HUGE.vrx", QByteArray(16 * 1024 * 1024, 'h'));
        writeFile(folder + "/VID_9.mp4", QByteArray(1000, 'v'));
        FolderDevice::Faults slow;
        slow.callDelayMs = 3;
        m_manager.controls(id)->setFaults(slow);
        std::swap(id, m_id);
        SessionListener listener;
        auto proxy = open(&listener);
        std::swap(id, m_id);
        QVERIFY(proxy);
        QSignalSpy progress(&listener, &SessionListener::notifyProgress);
        QSignalSpy failed(&listener, &SessionListener::notifyObstacle);
        QSignalSpy videos(&listener, &SessionListener::videoDownloaded);
        QSignalSpy lost(&listener, &SessionListener::notifyDeviceLost);
        const QString target = m_dir.filePath("out/HUGE.vrx");
        proxy->transfer(QUrl::fromLocalFile(target), recipeOf("HUGE.vrx"));
        VideosModel::DownloadRequest video { "f:VID_9.mp4", m_dir.filePath("out/VID_9.mp4"), false, 1000 };
        proxy->fetchVideo(video);
        QTRY_VERIFY(progress.size() >= 2); // the first slices of the copy
        if (unplug) {
            m_manager.detach(id);
            QTRY_COMPARE(lost.size(), 1);
            QTRY_COMPARE(videos.size(), 1);
        } else {
            proxy->cancelPendingRequests();
            QCOMPARE(videos.size(), 1);
        }
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().at(2).value<IFileSink::Error>(), IFileSink::IOError);
        QCOMPARE(videos.first().first().value<VideosModel::DownloadRequest>().result,
            VideosModel::DownloadResultError::CannotWrite);
        QTRY_VERIFY(!QFile::exists(target) && !QFile::exists(target + ".transfer"));
    }
    // Copies that complete while an earlier one waits for its folder's sync share one
    // sync of their folder; none is reported done before a sync that found it under its
    // name, and a failed folder sync fails every copy of that folder.
    void completedCopiesShareTheirFolderSync_data()
    {
        QTest::addColumn<bool>("fail");
        QTest::newRow("synced") << false;
        QTest::newRow("folder sync fails") << true;
    }
    void completedCopiesShareTheirFolderSync()
    {
        QFETCH(bool, fail);
        const QString folder = m_dir.filePath(fail ? "grouped-fail" : "grouped");
        QVERIFY(QDir().mkpath(folder));
        GatedFolderSync calls;
        calls.fail = fail;
        calls.folder = folder;
        struct Opener
        {
            QSemaphore& gate;
            ~Opener() { gate.release(100); }
        } opener { calls.gate };
        SessionListener listener;
        auto proxy = open(&listener, {}, calls);
        QVERIFY(proxy);
        RecordingBailiff bailiff;
        proxy->setBailiff(&bailiff);
        QStringList names;
        for (int i = 0; i < 6; ++i)
            names << QStringLiteral("IMG_%1.jpg").arg(i * 3, 4, 10, QChar('0'));
        for (const QString& name : qAsConst(names))
            calls.watched << folder + "/" + name;
        QStringList done;
        QStringList early;
        // The answers of one commit come as one batch, which the pipeline journals at once.
        bool inBatch = false;
        int inThisBatch = 0;
        int batches = 0; // of this folder's copies
        QStringList outside;
        connect(&listener, &SessionListener::notifyBatch, this, [&](bool open) {
            QVERIFY(inBatch != open);
            inBatch = open;
            batches += !open && inThisBatch > 0;
            inThisBatch = 0;
        });
        auto answered = [&](const QUrl& target) {
            if (!target.toLocalFile().startsWith(folder + "/"))
                return;
            ++inThisBatch;
            if (!inBatch)
                outside << target.toLocalFile();
        };
        connect(&listener, &SessionListener::notifyItemFile, this, [&](QUrl target, Recipe) {
            done << target.toLocalFile();
            if (!calls.isCovered(target.toLocalFile()))
                early << target.toLocalFile();
            answered(target);
        });
        connect(&listener, &SessionListener::notifyObstacle, this,
            [&](QUrl target, Recipe, IFileSink::Error) { answered(target); });
        QSignalSpy failed(&listener, &SessionListener::notifyObstacle);
        for (const QString& name : qAsConst(names))
            proxy->transfer(QUrl::fromLocalFile(folder + "/" + name), recipeOf(name));
        // Every copy is handed over for its commit while the first folder sync is held.
        QTRY_COMPARE_WITH_TIMEOUT(bailiff.evicted.filter(folder).size(), names.size(), 20000);
        QVERIFY(done.isEmpty() && failed.isEmpty());
        calls.gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), names.size(), 20000);
        QVERIFY2(early.isEmpty(), qPrintable(early.join(' ')));
        QCOMPARE(done.size(), fail ? 0 : names.size());
        for (const QList<QVariant>& f : qAsConst(failed))
            QCOMPARE(f.at(2).value<IFileSink::Error>(), IFileSink::IOError);
        QVERIFY2(outside.isEmpty(), qPrintable(outside.join(' ')));
        QVERIFY(!inBatch);
        QMutexLocker lock(&calls.mutex);
        // The batch under way when the gate closed, then one for all that waited meanwhile.
        QVERIFY2(calls.syncs <= 2, qPrintable(QString::number(calls.syncs)));
        QCOMPARE(batches, calls.syncs);
    }

    // A hung camera holds only its own thread: while every call of the device waits
    // (open, listing, a copy, a deletion), the GUI thread's event loop goes on turning.
    void hungDeviceLeavesTheLoopTurning()
    {
        const QString folder = m_dir.filePath("hung");
        writeFile(folder + "/DCIM/IMG_1.jpg", "jpg");
        writeFile(folder + "/DCIM/IMG_1.vrx", QByteArray(5000, 'r'));
        writeFile(folder + "/hotpixel.rec", "hot");
        const QString id = m_manager.attach(folder, "hung", "Quelt");
        const std::shared_ptr<FolderDevice::Controls> controls = m_manager.controls(id);
        WinCaptureProxy wpd(&m_manager);
        QSignalSpy found(&wpd, &CaptureListener::notifyCaptureDeviceFound);
        wpd.start();
        QTRY_VERIFY(!found.isEmpty());

        // Turns the event loop once and tells how many device calls were held meanwhile.
        auto heldWhileTurning = [&] {
            int held = -1;
            QMetaObject::invokeMethod(
                this, [&] { held = controls->heldCalls(); }, Qt::QueuedConnection);
            return QTest::qWaitFor([&] { return held >= 0; }, 20000) ? held : -1;
        };

        controls->hold();
        SessionListener listener;
        QSignalSpy enumerated(&listener, &SessionListener::notifyEnumerated);
        QSignalSpy items(&listener, &SessionListener::notifyItemsFound);
        QSignalSpy reserved(&listener, &SessionListener::notifyReserved);
        CaptureRequest request { id, QDir(m_dir.filePath("hungdata")), QDir(), { "hotpixel.rec" } };
        QDir().mkpath(request.data.path());
        std::unique_ptr<SessionProxy> proxy(wpd.createSession(request, &listener));
        QVERIFY(proxy->isDevice());
        proxy->start();
        QTRY_COMPARE(controls->heldCalls(), 1); // the open
        QCOMPARE(heldWhileTurning(), 1);
        QVERIFY(items.isEmpty());
        controls->release();
        QTRY_VERIFY(!enumerated.isEmpty() && enumerated.last().first().toBool());
        QCOMPARE(fileNames(items), QStringList({ "IMG_1.jpg", "IMG_1.vrx" }));
        QTRY_COMPARE(reserved.size(), 1);

        QSignalSpy done(&listener, &SessionListener::notifyItemFile);
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        QDir().mkpath(m_dir.filePath("hungout"));
        const QString target = m_dir.filePath("hungout/IMG_1.vrx");
        controls->hold();
        proxy->transfer(QUrl::fromLocalFile(target), recipeOf("IMG_1.vrx"));
        proxy->remove("f:DCIM/IMG_1.jpg");
        QTRY_COMPARE(controls->heldCalls(), 1);
        QCOMPARE(heldWhileTurning(), 1);
        QVERIFY(done.isEmpty() && removed.isEmpty());
        controls->release();
        QTRY_COMPARE(done.size(), 1);
        QTRY_COMPARE(removed.size(), 1);
        QCOMPARE(QFileInfo(target).size(), qint64(5000));
        QVERIFY(!QFileInfo::exists(folder + "/DCIM/IMG_1.jpg"));

        // A session that goes while its device hangs does not wait for it, and the copy it
        // asked for is answered at once.
        controls->hold();
        QSignalSpy failed(&listener, &SessionListener::notifyObstacle);
        proxy->transfer(QUrl::fromLocalFile(target + "2"), recipeOf("IMG_1.vrx"));
        QTRY_COMPARE(controls->heldCalls(), 1);
        proxy.reset();
        QCOMPARE(failed.size(), 1);
        controls->release();
        m_manager.detach(id);
    }

    // A device whose tree leads back into itself is listed once, and the listing ends.
    void cyclesAreListedOnce_data()
    {
        QTest::addColumn<bool>("graph");
        QTest::newRow("folder links") << false;
        QTest::newRow("object graph") << true;
    }
    void cyclesAreListedOnce()
    {
        QFETCH(bool, graph);
        std::unique_ptr<IPortableDevice> device;
        QString id;
        if (graph) {
            device = std::make_unique<GraphDevice>();
        } else {
            const QString folder = m_dir.filePath("loops");
            writeFile(folder + "/DCIM/IMG_1.jpg", "jpg");
            writeFile(folder + "/DCIM/100/IMG_2.vrx", "raw");
            QVERIFY(QFile::link(folder + "/DCIM", folder + "/DCIM/100/up"));
            QVERIFY(QFile::link("..", folder + "/DCIM/loop"));
            QVERIFY(QFile::link(folder, folder + "/DCIM/100/root"));
            id = m_manager.attach(folder, "loops", "Quelt");
            QCOMPARE(m_manager.open(id, false, &device), PortableDevice::kOk);
        }
        SessionListener listener;
        QSignalSpy items(&listener, &SessionListener::notifyItemsFound);
        auto proxy = open(&listener, std::move(device));
        QVERIFY(proxy); // the listing ended
        QCOMPARE(fileNames(items), QStringList({ "IMG_1.jpg", "IMG_2.vrx" }));
        proxy.reset();
        if (!id.isEmpty())
            m_manager.detach(id);
    }

    // Two cameras' videos of one name into one folder: a download never writes into the
    // file another one is writing, and never replaces a video that took the name after it
    // was queued (unless the user chose to replace the file there); it ends AnotherExists,
    // and the video stays on its camera.
    void videosOfOneNameFromTwoCameras()
    {
        m_manager.controls(m_id)->setFaults({});
        const QString folder = m_dir.filePath("twocams");
        writeFile(folder + "/VID_0001.mp4", QByteArray(3 * FolderDevice::kOptimalBuffer, 'w'));
        QString other = m_manager.attach(folder, "other");
        SessionListener first, second;
        auto proxy = open(&first);
        std::swap(other, m_id);
        auto proxy2 = open(&second);
        std::swap(other, m_id);
        QVERIFY(proxy && proxy2);
        QSignalSpy firstDone(&first, &SessionListener::videoDownloaded);
        QSignalSpy secondDone(&second, &SessionListener::videoDownloaded);
        const auto resultOf = [](const QSignalSpy& spy, int i) {
            return spy.at(i).first().value<VideosModel::DownloadRequest>().result;
        };
        const QString target = m_dir.filePath("videos/VID_0001.mp4");
        QDir().mkpath(QFileInfo(target).absolutePath());
        const QByteArray mine = QByteArray(5000, 'v'), theirs(3 * FolderDevice::kOptimalBuffer, 'w');

        // The other camera's download is under way (its reads are slow, then one waits).
        FolderDevice::Faults slow;
        slow.callDelayMs = 300;
        m_manager.controls(other)->setFaults(slow);
        proxy2->fetchVideo({ "f:VID_0001.mp4", target, true, theirs.size() });
        QTRY_VERIFY(QFileInfo(target + ".transfer").size() > 0);
        m_manager.controls(other)->hold();
        proxy->fetchVideo({ "f:VID_0001.mp4", target, true, mine.size() });
        QTRY_COMPARE(firstDone.size(), 1);
        QCOMPARE(resultOf(firstDone, 0), VideosModel::DownloadResultError::AnotherExists);
        QVERIFY(QFileInfo(target + ".transfer").size() > 0); // not cut, not written into
        m_manager.controls(other)->release();
        QTRY_COMPARE_WITH_TIMEOUT(secondDone.size(), 1, 20000);
        QCOMPARE(resultOf(secondDone, 0), VideosModel::DownloadResultError::None);
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), theirs);
        file.close();

        // Queued while the name was free, it finds the other camera's video there: kept.
        proxy->fetchVideo({ "f:VID_0001.mp4", target, true, mine.size() });
        QTRY_COMPARE(firstDone.size(), 2);
        QCOMPARE(resultOf(firstDone, 1), VideosModel::DownloadResultError::AnotherExists);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), theirs);
        file.close();
        QVERIFY(!QFile::exists(target + ".transfer"));
        // The user chose to replace it.
        VideosModel::DownloadRequest replace { "f:VID_0001.mp4", target, true, mine.size() };
        replace.overwrite = true;
        proxy->fetchVideo(replace);
        QTRY_COMPARE(firstDone.size(), 3);
        QCOMPARE(resultOf(firstDone, 2), VideosModel::DownloadResultError::None);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), mine);
        proxy2.reset();
        m_manager.detach(other);
    }

    // A camera may delete a file itself and write another picture under the same name and
    // object id, with the same size and time. Once the device told of the removal, a
    // removal asked for that id (the copied picture being freed) leaves the new file.
    void keepsFileWrittenAgainUnderItsId()
    {
        m_manager.controls(m_id)->setFaults({});
        SessionListener listener;
        auto proxy = open(&listener);
        QVERIFY(proxy);
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        QSignalSpy items(&listener, &SessionListener::notifyItemsFound);
        const QString name = "DCIM/102/IMG_0005.vrx";
        const QString path = m_camera + "/" + name;
        const QFileInfo before(path);
        const QDateTime modified = before.lastModified();
        const QByteArray again(int(before.size()), 'n');
        QVERIFY(QFile::remove(path));
        m_manager.controls(m_id)->announceRemoved(name);
        QTRY_COMPARE(removed.size(), 1);
        QCOMPARE(removed.first().first().toStringList(), QStringList { "f:" + name });
        writeFile(path, again);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(modified, QFileDevice::FileModificationTime));
        }
        m_manager.controls(m_id)->announceAdded(name);
        QTRY_COMPARE(fileNames(items), QStringList { "IMG_0005.vrx" });
        proxy->remove("f:" + name);
        // Removals run in order: once the next one is done, the first was decided.
        const QString other = m_camera + "/DCIM/102/IMG_0008.jpg";
        proxy->remove("f:DCIM/102/IMG_0008.jpg");
        QTRY_VERIFY(!QFile::exists(other));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), again);
    }
};

OSTRA_TEST_MAIN(TestWinSessionProxy)
#include "tst_winsessionproxy.moc"
