#include "support/capturetypes.h"
#include "support/fakevolumes.h"
#include "support/filetree.h"
#include "support/heldopens.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include "capture/sessionlistener.h"
#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "platform/imountsource.h"
#include "platform/ivolumeejector.h"
#include "platform/mountinfosource.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using ostra::test::NoEjector;

QStringList* record(VolMonitor& monitor)
{
    auto* log = new QStringList;
    QObject::connect(&monitor, &CaptureListener::notifyCaptureDeviceFound,
        [=](CaptureDevice d) { *log << "found " + d.deviceId + " " + d.name; });
    QObject::connect(&monitor, &CaptureListener::notifyCaptureDeviceUpdated,
        [=](CaptureDevice d) { *log << "updated " + d.deviceId; });
    QObject::connect(&monitor, &CaptureListener::notifyCaptureDeviceLost,
        [=](CaptureDevice d) { *log << "lost " + d.deviceId; });
    return log;
}

// The real file calls, whose file syncs wait while the gate is closed (a card that takes its
// time); shared, so that a record left running keeps them.
class HeldSync : public IFileCalls
{
public:
    struct State
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool closed = true;
        int waiting = 0;
        int inside = 0;
    };
    std::shared_ptr<State> state = std::make_shared<State>();

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
    int fsync(int fd) override
    {
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            ++state->inside;
            ++state->waiting;
            state->opened.wait(lock, [this] { return !state->closed; });
            --state->waiting;
        }
        const int result = systemFileCalls().fsync(fd);
        std::lock_guard<std::mutex> lock(state->mutex);
        --state->inside;
        return result;
    }
};

// Shares the calls with the records that may outlive the test's scope.
class SharedHeldSync
{
public:
    std::shared_ptr<HeldSync> sync = std::make_shared<HeldSync>();
    HeldSync& operator*() { return *sync; }
    SharedHeldSync* operator->() { return this; }
    bool held() const
    {
        std::lock_guard<std::mutex> lock(sync->state->mutex);
        return sync->state->waiting > 0;
    }
    bool inside() const
    {
        std::lock_guard<std::mutex> lock(sync->state->mutex);
        return sync->state->inside > 0;
    }
    void open()
    {
        {
            std::lock_guard<std::mutex> lock(sync->state->mutex);
            sync->state->closed = false;
        }
        sync->state->opened.notify_all();
    }
    void close()
    {
        std::lock_guard<std::mutex> lock(sync->state->mutex);
        sync->state->closed = true;
    }
};

void makeFile(const QString& path, const QByteArray& bytes)
{
    QVERIFY(ostra::test::writeTreeFile(path, bytes));
}

} // namespace

class TestVolMonitor : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    SharedHeldSync m_heldSync;

private slots:
    void initTestCase() { ostra::test::registerCaptureTypes(); }

    void sessions()
    {
        const QString root = m_dir.filePath("pictures"), writable = m_dir.filePath("writable");
        makeFile(root + "/DCIM/IMG_1.jpg", "jpg");
        makeFile(root + "/DCIM/IMG_1.vrx", "raw!");
        makeFile(root + "/hotpixel.rec", "hot");
        QDir().mkpath(writable);
        const VolMonitor::Link link;
        const CaptureRequest request { "V$Z40$1", QDir(), QDir(), { "hotpixel.rec" } };
        const VolMonitor::Facts picture { "", root, true, true };
        const VolMonitor::Facts s { "", writable, true, false };
        SessionListener listener;
        QSignalSpy items(&listener, &SessionListener::notifyItemsFound);
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        QSignalSpy reserved(&listener, &SessionListener::notifyReserved);
        {
            VolMonitor::PassiveSessionProxy session(link, picture, s, request, &listener);
            session.start();
            QTRY_COMPARE(items.size(), 1);
            QCOMPARE(items.last().first().value<QList<CapturedImage>>().size(), 2);
            QCOMPARE(reserved.size(), 1);
            session.remove("DCIM/IMG_1.vrx");
            QTRY_COMPARE(removed.size(), 1);
        }
        {
            // A session that goes before its listing ran lists nothing.
            auto gone
                = std::make_unique<VolMonitor::PassiveSessionProxy>(link, picture, s, request, &listener);
            gone->start();
            gone.reset();
            QTest::qWait(20);
            QCOMPARE(items.size(), 1);
        }
        const QString record = writable + "/.QTrash/DCIM/IMG_1.vrx";
        QCOMPARE(QFileInfo(record).size(), qint64(48));
        {
            // After a re-plug the retired file stays away, even with other contents.
            makeFile(root + "/DCIM/IMG_1.vrx", "changed raw");
            VolMonitor::PassiveSessionProxy session(link, picture, s, request, &listener);
            session.start();
            QTRY_COMPARE(items.size(), 2);
            const auto list = items.last().first().value<QList<CapturedImage>>();
            QCOMPARE(list.size(), 1);
            QCOMPARE(list.first().remoteId, QString("DCIM/IMG_1.jpg"));
            QCOMPARE(list.first().linkId, QString("IMG_1"));
        }
        {
            // Without a writable S nothing is written anywhere, and nothing reported.
            VolMonitor::PassiveSessionProxy session(link, picture, VolMonitor::Facts(), request, &listener);
            session.remove("DCIM/IMG_1.jpg");
            QCOMPARE(removed.size(), 1);
            QVERIFY(!QFileInfo::exists(QDir::currentPath() + "/.QTrash"));
        }
    }

    // A card that hangs while a record is forced to it (a busy or failing USB stick) holds
    // only the session's own thread: the event loop turns, the listing queued behind waits
    // its turn, and both are reported once the card answers. A session that goes while the
    // card hangs does not wait for it, and its record is told no one.
    void hungCardLeavesTheLoopTurning()
    {
        ostra::test::TempTree tree;
        QVERIFY(tree.isValid());
        const QString root = tree.path("pictures"), writable = tree.path("writable");
        makeFile(root + "/DCIM/IMG_1.jpg", "jpg");
        makeFile(root + "/DCIM/IMG_1.vrx", "raw!");
        QVERIFY(QDir().mkpath(writable));
        // Kept by the test object: a record left running may still use them after this test.
        SharedHeldSync& calls = m_heldSync;
        SessionListener listener;
        QSignalSpy items(&listener, &SessionListener::notifyItemsFound);
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        auto session = std::make_unique<VolMonitor::PassiveSessionProxy>(VolMonitor::Link(),
            VolMonitor::Facts { "", root, true, true }, VolMonitor::Facts { "", writable, true, false },
            CaptureRequest { "V$Z40$1", QDir(), QDir(), {} }, &listener, *calls);
        // Lets the card go should the GUI thread wait for it, so that the test fails instead
        // of hanging.
        ostra::test::RescueWatchdog watchdog([&] { calls->open(); });
        session->remove("DCIM/IMG_1.vrx");
        session->start();
        QTRY_VERIFY(calls->held());
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(calls->held() && items.isEmpty() && removed.isEmpty());
        calls->open();
        QTRY_COMPARE(removed.size(), 1);
        QTRY_COMPARE(items.size(), 1);
        QCOMPARE(
            items.first().first().value<QList<CapturedImage>>().size(), 1); // the retired one is left out
        calls->close();

        session->remove("DCIM/IMG_1.jpg");
        QTRY_VERIFY(calls->held());
        session.reset();
        const bool notRescued = watchdog.end();
        QVERIFY(notRescued);
        calls->open();
        QTRY_VERIFY(!calls->inside());
        QCoreApplication::processEvents();
        QCOMPARE(removed.size(), 1);
    }

    // Opening a session reads nothing of the card on the GUI thread: while the S volume
    // hangs, the session is made, the event loop turns and nothing is reported; once the
    // card answers, the trash folder is made and the record and listing queued behind it
    // are reported in the order they were asked for.
    void hungCardWhileTheSessionOpens()
    {
        ostra::test::TempTree tree;
        QVERIFY(tree.isValid());
        const QString root = tree.path("pictures"), writable = tree.path("writable");
        makeFile(root + "/DCIM/IMG_1.jpg", "jpg");
        makeFile(root + "/DCIM/IMG_1.vrx", "raw!");
        QVERIFY(QDir().mkpath(writable));
        ostra::test::HeldOpens card(writable);
        if (!card.isValid())
            QSKIP("needs root to hold a folder's opens");
        card.close();
        // Lets the card go should the GUI thread wait for it, so that the test fails instead
        // of hanging.
        ostra::test::RescueWatchdog watchdog([&] { card.open(); });
        SessionListener listener;
        QStringList events;
        connect(&listener, &SessionListener::notifyItemsFound, this,
            [&](QList<CapturedImage> found) { events << QString("listed %1").arg(found.size()); });
        connect(&listener, &SessionListener::notifyItemsRemoved, this,
            [&](QStringList removed) { events << "removed " + removed.join(','); });
        auto session = std::make_unique<VolMonitor::PassiveSessionProxy>(VolMonitor::Link(),
            VolMonitor::Facts { "", root, true, true }, VolMonitor::Facts { "", writable, true, false },
            CaptureRequest { "V$Z40$1", QDir(), QDir(), {} }, &listener);
        session->remove("DCIM/IMG_1.vrx");
        session->start();
        QTRY_VERIFY(card.held() > 0);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(events.isEmpty());
        QVERIFY(card.held() > 0);
        card.open();
        QTRY_COMPARE(events.size(), 2);
        QCOMPARE(events, QStringList({ "removed DCIM/IMG_1.vrx", "listed 1" }));
        QVERIFY(watchdog.end());
        QCOMPARE(QFileInfo(writable + "/.QTrash/DCIM/IMG_1.vrx").size(), qint64(48));
    }

    // Removing a picture writes its record under ".QTrash" on the S volume: a link planted
    // on the way (the trash folder, a sub-folder, the record) never leads the write out
    // of the volume, and the file outside keeps its contents.
    void trashFollowsNoLink_data()
    {
        QTest::addColumn<QString>("link"); // path below S that is a link to the outside
        QTest::addColumn<bool>("toFolder");
        QTest::newRow("trash folder") << ".QTrash" << true;
        QTest::newRow("sub-folder") << ".QTrash/DCIM" << true;
        QTest::newRow("record") << ".QTrash/DCIM/IMG_1.vrx" << false;
        QTest::newRow("dangling record") << ".QTrash/DCIM/IMG_1.vrx" << false;
    }
    void trashFollowsNoLink()
    {
        QFETCH(QString, link);
        QFETCH(bool, toFolder);
        ostra::test::TempTree tree;
        QVERIFY(tree.isValid());
        const QString root = tree.path("pictures"), writable = tree.path("writable");
        makeFile(root + "/DCIM/IMG_1.vrx", "raw!");
        QVERIFY(QDir().mkpath(writable));
        const QString outside = tree.path("outside");
        const QByteArray precious = "a file of the user's, not of the camera";
        makeFile(outside + "/IMG_1.vrx", precious);
        makeFile(outside + "/DCIM/IMG_1.vrx", precious);
        QVERIFY(QDir().mkpath(QFileInfo(writable + "/" + link).absolutePath()));
        const bool dangling = QString(QTest::currentDataTag()) == "dangling record";
        const QString target = toFolder ? outside : dangling ? outside + "/new.vrx" : outside + "/IMG_1.vrx";
        QVERIFY(QFile::link(target, writable + "/" + link));

        const CaptureRequest request { "V$Z40$1", QDir(), QDir(), {} };
        SessionListener listener;
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        VolMonitor::PassiveSessionProxy session(VolMonitor::Link(),
            VolMonitor::Facts { "", root, true, true }, VolMonitor::Facts { "", writable, true, false },
            request, &listener);
        session.remove("DCIM/IMG_1.vrx");
        QTRY_VERIFY(!session.busy());
        QCoreApplication::processEvents();
        QCOMPARE(removed.size(), 0);
        for (const QString& file : { outside + "/IMG_1.vrx", outside + "/DCIM/IMG_1.vrx" }) {
            QFile check(file);
            QVERIFY(check.open(QIODevice::ReadOnly));
            QCOMPARE(check.readAll(), precious);
        }
        QVERIFY(!QFileInfo::exists(outside + "/new.vrx"));
        QVERIFY(QFileInfo(writable + "/" + link).isSymLink());
    }

    // A camera's volumes are checked (read again, the marker folder looked for) off the GUI
    // thread: while a card hangs the check, the event loop turns and the camera is not yet
    // announced; it is once the check ends. A monitor that goes meanwhile does not wait.
    void hungCheckLeavesTheLoopTurning()
    {
        ostra::test::TempTree tree;
        QVERIFY(tree.isValid());
        const QString c = tree.path("C"), s = tree.path("S");
        QVERIFY(QDir().mkpath(c + "/queltcal"));
        QVERIFY(QDir().mkpath(s));
        auto* mounts = new ostra::test::FakeMountSource;
        Volumes volumes(mounts, new NoEjector);
        QVERIFY(ostra::test::waitReady(volumes));
        // The card of part C answers a check while the gate is open (its label, read on the
        // GUI thread, is the one the mount table gave).
        const auto gate = std::make_shared<ostra::test::HeldMountSource::Gate>();
        gate->closed = true;
        QHash<QString, VolMonitor::Facts> facts;
        facts["/proc"] = { "Z40CD7", c, true, true };
        facts["/sys"] = { "Z40SD7", s, true, false };
        auto monitor = std::make_unique<VolMonitor>();
        monitor->setFactsReader([facts, gate](const QStorageInfo& v) {
            if (v.rootPath() == "/proc" && QThread::currentThread() != qApp->thread()) {
                std::unique_lock<std::mutex> lock(gate->mutex);
                ++gate->inside;
                gate->opened.wait(lock, [&] { return !gate->closed; });
                --gate->inside;
            }
            return facts.value(v.rootPath());
        });
        std::unique_ptr<QStringList> log(record(*monitor));
        monitor->setVolumes(&volumes);
        // Opens the gate should the check run on this thread, so that the test fails instead
        // of hanging.
        ostra::test::RescueWatchdog watchdog([&] { gate->setClosed(false); });
        mounts->list << QStorageInfo("/proc") << QStorageInfo("/sys");
        const bool read = ostra::test::announceChange(*mounts, volumes);
        const bool notRescued = watchdog.end();
        QVERIFY(read);
        QVERIFY(notRescued);
        QTRY_VERIFY(gate->waiting() > 0);
        int turns = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turns; }, Qt::QueuedConnection);
        QTRY_COMPARE(turns, 1);
        QVERIFY(monitor->isChecking());
        QVERIFY(log->isEmpty());
        gate->setClosed(false);
        QTRY_COMPARE(*log, QStringList({ "found V$Z40$7 Z40 (7)" }));
        QVERIFY(ostra::test::waitChecked(*monitor));
        QCOMPARE(monitor->link("V$Z40$7").markerPart, int(VolMonitor::C));

        // Unplugged while its check hangs: the monitor goes without waiting.
        gate->setClosed(true);
        mounts->list.clear();
        QVERIFY(ostra::test::announceChange(*mounts, volumes));
        QTRY_VERIFY(gate->waiting() > 0);
        monitor.reset();
        gate->setClosed(false);
        QTRY_COMPARE(gate->waiting(), 0);
        QTest::qWait(20);
        QCOMPARE(*log, QStringList({ "found V$Z40$7 Z40 (7)" }));
    }

    // An S volume without a label joins its camera by its serial; unplugged, its removal
    // still reaches the camera, and a session opened before writes no record where the
    // volume used to be.
    void unlabeledWritableVolumeUnplugged()
    {
        ostra::test::TempTree tree;
        QVERIFY(tree.isValid());
        const char* points[] = { "/proc", "/sys" };
        auto* mounts = new ostra::test::FakeMountSource;
        QHash<QString, VolMonitor::Facts> facts;
        const QString c = tree.path("C"), s = tree.path("S");
        QVERIFY(QDir().mkpath(c + "/queltcal"));
        makeFile(c + "/DCIM/IMG_1.vrx", "raw!");
        QVERIFY(QDir().mkpath(s));
        facts["/proc"] = { "Z40CD7", c, true, true };
        facts["/sys"] = { "", s, true, false };
        for (const char* point : points) {
            mounts->list << QStorageInfo(QString::fromLatin1(point));
            mounts->serials[QString::fromLatin1(point)] = 0x5EED;
        }
        Volumes volumes(mounts, new NoEjector);
        QVERIFY(ostra::test::waitReady(volumes));
        VolMonitor monitor;
        monitor.setFactsReader([facts](const QStorageInfo& v) { return facts.value(v.rootPath()); });
        std::unique_ptr<QStringList> log(record(monitor));
        mounts->list = { mounts->list.first() };
        QVERIFY(ostra::test::announceChange(*mounts, volumes));
        monitor.setVolumes(&volumes);
        mounts->list << QStorageInfo("/sys");
        QVERIFY(ostra::test::announceChange(*mounts, volumes));
        QVERIFY(ostra::test::waitChecked(monitor));
        QCOMPARE(*log, QStringList({ "found V$Z40$7 Z40 (7)" }));
        QCOMPARE(monitor.writableRoot("V$Z40$7"), s);

        SessionListener listener;
        QSignalSpy removed(&listener, &SessionListener::notifyItemsRemoved);
        std::unique_ptr<SessionProxy> session(
            monitor.createSession(CaptureRequest { "V$Z40$7", QDir(), QDir(), {} }, &listener));
        QTRY_VERIFY(QFileInfo(s + "/.QTrash").isDir());

        mounts->list.removeLast();
        QVERIFY(ostra::test::announceChange(*mounts, volumes));
        QVERIFY(ostra::test::waitChecked(monitor));
        QCOMPARE(*log, QStringList({ "found V$Z40$7 Z40 (7)", "updated V$Z40$7" }));
        QVERIFY(monitor.writableRoot("V$Z40$7").isEmpty());
        QCOMPARE(monitor.link("V$Z40$7").state, 2);
        session->remove("DCIM/IMG_1.vrx");
        QCOMPARE(removed.size(), 0);
        QVERIFY(!QFileInfo::exists(s + "/.QTrash/DCIM/IMG_1.vrx"));
    }

    // Real tmpfs volumes in a private mount namespace, labels given by the test.
    void realMounts()
    {
        const QString base = ostra::test::mountNamespaceFolder();
        if (base.isEmpty())
            QSKIP("runs inside the mount namespace");
        using ostra::test::mountTmpfs;
        using ostra::test::shell;
        QVERIFY(mountTmpfs("camC", base + "/C"));
        QVERIFY(QDir().mkpath(base + "/C/queltcal"));
        QVERIFY(shell(QString("mount -o remount,ro '%1'").arg(base + "/C")));
        Volumes volumes(new MountInfoSource, new NoEjector);
        VolMonitor monitor;
        monitor.setFactsReader([base](const QStorageInfo& v) {
            const QString name = v.rootPath().mid(base.size() + 1);
            return VolMonitor::Facts { name == "C" ? "Z40CD7"
                    : name == "S"                  ? "Z40SD7"
                                                   : "",
                v.rootPath(), v.isValid() && v.isReady(), v.isReadOnly() };
        });
        std::unique_ptr<QStringList> log(record(monitor));
        monitor.setVolumes(&volumes);
        QVERIFY(mountTmpfs("camS", base + "/S"));
        QTRY_COMPARE(*log, QStringList({ "found V$Z40$7 Z40 (7)" }));
        QVERIFY(shell(QString("umount '%1'").arg(base + "/C")));
        QTRY_COMPARE(log->size(), 2);
        QCOMPARE(log->last(), QString("lost V$Z40$7"));
    }

    void inPrivateMountNamespace() { OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.filePath("ns"), { "realMounts" }); }
};

OSTRA_TEST_MAIN(TestVolMonitor)
#include "tst_volmonitor.moc"
