#include "support/fakevolumes.h"
#include "support/mountnamespace.h"
#include "support/rescuewatchdog.h"
#include "support/testmain.h"

#include <QPointer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using ostra::test::FakeMountSource;

// The volumes mounted below `below`, announced; true once the volumes have read them.
bool announce(FakeMountSource& source, Volumes& volumes, const QString& below)
{
    source.list.clear();
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes())
        if (v.rootPath().startsWith(below))
            source.list << v;
    return ostra::test::announceChange(source, volumes);
}

// Writes down the devices it is asked to eject.
class RecordingEjector : public IVolumeEjector
{
public:
    QStringList calls;
    bool eject(const QByteArray& device, const std::function<void(const QString&)>&) override
    {
        calls << QString::fromLatin1(device);
        return true;
    }
};

// An eject that hangs until the test lets it go (a drive that takes its time to flush).
class HeldEjector : public IVolumeEjector
{
public:
    QSemaphore gate;
    std::atomic<bool> inside { false };
    bool eject(const QByteArray&, const std::function<void(const QString&)>& beforeUnmount) override
    {
        inside = true;
        beforeUnmount(QStringLiteral("/"));
        gate.acquire();
        inside = false;
        return false; // the drive refused
    }
};

// An eject that hangs until its gate opens, shared with the test: the ejector itself goes
// with the last task that holds it, and says so.
class SharedGateEjector : public IVolumeEjector
{
public:
    std::shared_ptr<QSemaphore> gate = std::make_shared<QSemaphore>();
    std::shared_ptr<std::atomic<int>> state
        = std::make_shared<std::atomic<int>>(0); // 1 inside, 2 out, 3 gone
    ~SharedGateEjector() override { *state = 3; }
    bool eject(const QByteArray&, const std::function<void(const QString&)>& beforeUnmount) override
    {
        *state = 1;
        gate->acquire();
        // Told after the owner went: reaches no one.
        beforeUnmount(QStringLiteral("/"));
        *state = 2;
        return true;
    }
};

using HangingMountSource = ostra::test::HeldMountSource;

// Every signal of the object as a line, mount points relative to `base`.
QStringList* record(Volumes& volumes, const QString& base)
{
    auto* log = new QStringList;
    auto name = [base](const QStorageInfo& v) {
        return v.rootPath().mid(base.size() + 1) + " " + QString::fromLatin1(v.device());
    };
    QObject::connect(&volumes, &Volumes::volumeAdded, [=](QStorageInfo v) { *log << "added " + name(v); });
    QObject::connect(
        &volumes, &Volumes::volumeRemoved, [=](QStorageInfo v) { *log << "removed " + name(v); });
    QObject::connect(
        &volumes, &Volumes::volumeRemoving, [=](QStorageInfo v) { *log << "removing " + name(v); });
    QObject::connect(&volumes, &Volumes::volumeUpdated, [=](QStorageInfo a, QStorageInfo b) {
        *log << QStringLiteral("updated %1 %2>%3").arg(name(b)).arg(a.isReadOnly()).arg(b.isReadOnly());
    });
    QObject::connect(&volumes, &Volumes::mountedChanged, [=](QList<QStorageInfo> m, bool leap) {
        *log << QStringLiteral("mounted %1 %2").arg(m.size()).arg(leap);
    });
    return log;
}

} // namespace

class TestVolumes : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    void followsTheMountTable()
    {
        const QString base = ostra::test::mountNamespaceFolder();
        if (base.isEmpty())
            QSKIP("runs in a mount namespace (inPrivateMountNamespace)");
        using ostra::test::mountTmpfs;
        using ostra::test::shell;
        auto* source = new FakeMountSource;
        auto* ejector = new RecordingEjector;
        Volumes volumes(source, ejector);
        QVERIFY(ostra::test::waitReady(volumes));
        std::unique_ptr<QStringList> log(record(volumes, base));
        auto step = [&](const QStringList& expected) {
            log->clear();
            if (!announce(*source, volumes, base))
                return QStringLiteral("not read");
            return *log == expected ? QString() : log->join(" | ");
        };
        const QString a = base + "/A";
        QVERIFY(mountTmpfs("devA", a));
        QCOMPARE(step({ "added A devA", "mounted 1 0" }), QString());
        // A volume mounted in a folder of another one is a volume of its own.
        QVERIFY(mountTmpfs("devB", a + "/DCIM"));
        QCOMPARE(step({ "added A/DCIM devB", "mounted 2 0" }), QString());
        QVERIFY(shell("mount -o remount,ro '" + a + "'"));
        QCOMPARE(step({ "updated A devA 0>1", "mounted 2 0" }), QString());
        QCOMPARE(step({ "mounted 2 0" }), QString());
        const QStorageInfo oldA = volumes.mounted().first().rootPath() == a ? volumes.mounted().first()
                                                                            : volumes.mounted().last();
        // Another card at the same mount point: the old one goes, the new one comes.
        QVERIFY(shell("umount '" + a + "/DCIM' && umount '" + a + "'"));
        source->serials[a] = 0xABCD1234;
        QVERIFY(mountTmpfs("devC", a));
        QCOMPARE(step({ "removed A/DCIM devB", "removed A devA", "added A devC", "mounted 1 0" }), QString());
        QCOMPARE(volumes.driveValue(volumes.mounted().first()), quint32(0xABCD1234));
        QCOMPARE(volumes.driveValue(oldA), quint32(0));
        QVERIFY(!Volumes::sameSerial(0, 0));

        log->clear();
        volumes.queryAll();
        QCOMPARE(*log, QStringList { "mounted 1 1" });
        // A file system without a block device cannot be ejected.
        QVERIFY(!volumes.ejectVolume(volumes.mounted().first()));
        QVERIFY(ejector->calls.isEmpty());
    }

    void inPrivateMountNamespace()
    {
        QVERIFY(m_dir.isValid());
        OSTRA_RUN_IN_MOUNT_NAMESPACE(m_dir.path(), QStringList { "followsTheMountTable" });
    }

    // An eject runs off the GUI thread: while it hangs, the event loop turns; its end and
    // its result come as a signal.
    void ejectLeavesTheLoopTurning()
    {
        const QStorageInfo root(QStringLiteral("/"));
        if (!root.device().startsWith("/dev/"))
            QSKIP("the root file system has no block device here");
        auto* source = new FakeMountSource;
        source->list << root;
        auto* ejector = new HeldEjector;
        Volumes volumes(source, ejector);
        QVERIFY(ostra::test::waitReady(volumes));
        const auto letGo = qScopeGuard([ejector] { ejector->gate.release(10); });
        QSignalSpy ejected(&volumes, &Volumes::volumeEjected);
        QSignalSpy removing(&volumes, &Volumes::volumeRemoving);
        QVERIFY(volumes.ejectVolume(root));
        QTRY_VERIFY(ejector->inside);
        int insideThen = -1;
        QMetaObject::invokeMethod(
            &volumes, [&] { insideThen = ejector->inside ? 1 : 0; }, Qt::QueuedConnection);
        QTRY_VERIFY(insideThen >= 0);
        QCOMPARE(insideThen, 1);
        QTRY_COMPARE(removing.size(), 1);
        QVERIFY(ejected.isEmpty());
        ejector->gate.release();
        QTRY_COMPARE(ejected.size(), 1);
        QCOMPARE(ejected.first().at(0).value<QStorageInfo>().rootPath(), QStringLiteral("/"));
        QCOMPARE(ejected.first().at(1).toBool(), false);
    }

    // The first read of the mount table starts with the object, off the GUI thread: while a
    // file system hangs it the object is there and the event loop turns, with no volume
    // listed and not ready; once the read ends, the volumes present come as added, with
    // their serials, and then ready.
    void firstReadLeavesTheLoopTurning()
    {
        auto* source = new HangingMountSource(true);
        const std::shared_ptr<HangingMountSource::Gate> gate = source->gate;
        const auto letGo = qScopeGuard([gate] { gate->setClosed(false); });
        source->list << QStorageInfo(QStringLiteral("/"));
        source->serials[QStringLiteral("/")] = 0xABCD1234;
        // Opens the gate should the object wait for the read, so that the test fails
        // instead of hanging.
        ostra::test::RescueWatchdog watchdog([&] { gate->setClosed(false); });
        auto volumes = std::make_unique<Volumes>(source, new RecordingEjector);
        const bool notRescued = watchdog.end();
        QVERIFY(notRescued);
        QStringList order;
        connect(volumes.get(), &Volumes::volumeAdded, this,
            [&](QStorageInfo v) { order << "added " + v.rootPath(); });
        connect(volumes.get(), &Volumes::mountedChanged, this,
            [&](QList<QStorageInfo> m) { order << QStringLiteral("mounted %1").arg(m.size()); });
        connect(volumes.get(), &Volumes::readyChanged, this, [&] { order << "ready"; });
        QTRY_COMPARE(gate->waiting(), 1);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        QVERIFY(!volumes->ready());
        QVERIFY(volumes->mounted().isEmpty());
        QCOMPARE(volumes->driveValue(QStorageInfo(QStringLiteral("/"))), quint32(0));
        QVERIFY(order.isEmpty());
        gate->setClosed(false);
        QTRY_VERIFY(volumes->ready());
        QCOMPARE(order, QStringList({ "added /", "mounted 1", "ready" }));
        QCOMPARE(volumes->mounted().size(), 1);
        QCOMPARE(volumes->driveValue(volumes->mounted().first()), quint32(0xABCD1234));
    }

    // Reading the mount table again runs off the GUI thread: while a file system hangs the
    // read, the event loop turns and changes meanwhile are read once more afterwards; a
    // quit then does not wait for the read, which keeps the source until it ends.
    void hungMountTableLeavesTheLoopTurning()
    {
        auto* source = new HangingMountSource;
        const std::shared_ptr<HangingMountSource::Gate> gate = source->gate;
        QPointer<IMountSource> sourceGone(source);
        auto setClosed = [gate](bool closed) {
            {
                std::lock_guard<std::mutex> lock(gate->mutex);
                gate->closed = closed;
            }
            gate->opened.notify_all();
        };
        auto inside = [gate] {
            std::lock_guard<std::mutex> lock(gate->mutex);
            return gate->inside;
        };
        ostra::test::RescueWatchdog watchdog([&] { setClosed(false); });
        auto volumes = std::make_unique<Volumes>(source, new RecordingEjector);
        QVERIFY(ostra::test::waitReady(*volumes));
        QSignalSpy added(volumes.get(), &Volumes::volumeAdded);
        QSignalSpy read(volumes.get(), &Volumes::mountedChanged);
        setClosed(true);
        source->list << QStorageInfo(QStringLiteral("/"));
        emit source->changed();
        QTRY_COMPARE(inside(), 1);
        int turned = 0;
        QMetaObject::invokeMethod(
            this, [&] { ++turned; }, Qt::QueuedConnection);
        QTRY_COMPARE(turned, 1);
        // Two more changes while the read hangs: one more read once it ends.
        emit source->changed();
        emit source->changed();
        QVERIFY(read.isEmpty());
        setClosed(false);
        QTRY_COMPARE(read.size(), 2);
        QCOMPARE(added.size(), 1);
        QCOMPARE(added.first().first().value<QStorageInfo>().rootPath(), QStringLiteral("/"));
        QCOMPARE(volumes->mounted().size(), 1);

        setClosed(true);
        emit source->changed();
        QTRY_COMPARE(inside(), 1);
        volumes.reset();
        const bool notRescued = watchdog.end();
        QVERIFY(notRescued);
        QVERIFY(!sourceGone.isNull()); // the hung read still has it
        setClosed(false);
        QTRY_VERIFY(sourceGone.isNull());
    }

    // A quit while a drive hangs in its eject waits a bounded time, then leaves the eject to
    // end on its own: it keeps the ejector, and its end reaches no one.
    void shutdownLeavesAHungEject()
    {
        const QStorageInfo root(QStringLiteral("/"));
        if (!root.device().startsWith("/dev/"))
            QSKIP("the root file system has no block device here");
        auto* ejector = new SharedGateEjector;
        const std::shared_ptr<QSemaphore> gate = ejector->gate;
        const std::shared_ptr<std::atomic<int>> state = ejector->state;
        // Opens the gate should the destruction wait for it, so that the test fails
        // instead of hanging.
        ostra::test::RescueWatchdog watchdog([&] { gate->release(10); });
        int told = 0;
        {
            auto* source = new FakeMountSource;
            source->list << root;
            Volumes volumes(source, ejector);
            connect(&volumes, &Volumes::volumeEjected, this, [&] { ++told; });
            connect(&volumes, &Volumes::volumeRemoving, this, [&] { ++told; });
            QVERIFY(volumes.ejectVolume(root));
            QTRY_COMPARE(state->load(), 1);
        }
        const bool notRescued = watchdog.end();
        QVERIFY(notRescued);
        QCOMPARE(state->load(), 1); // still inside, and the ejector still there
        gate->release();
        QTRY_COMPARE(state->load(), 3);
        QTest::qWait(50);
        QCOMPARE(told, 0);
    }
};

OSTRA_TEST_MAIN_CORE(TestVolumes)
#include "tst_volumes.moc"
