#include "support/capturetypes.h"
#include "support/fakevolumes.h"
#include "support/filetree.h"
#include "support/mountnamespace.h"
#include "support/testmain.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include "capture/sessionlistener.h"
#include "capture/volmonitor.h"
#include "capture/volumes.h"
#include "platform/imountsource.h"
#include "platform/ivolumeejector.h"
#include "platform/mountinfosource.h"

namespace {

using ostra::test::FakeMountSource;
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

private slots:
    void initTestCase() { ostra::test::registerCaptureTypes(); }

    // Volumes stand in for camera parts through the facts the test gives them (any
    // distinct mount points of this machine will do: containers cannot label volumes).
    void groupsVolumes()
    {
        QList<QStorageInfo> points;
        for (const char* path : { "/proc", "/sys", "/dev", "/dev/shm", "/dev/pts", "/sys/fs/cgroup" }) {
            const QStorageInfo info(QString::fromLatin1(path));
            if (info.isValid() && info.rootPath() == QLatin1String(path))
                points << info;
        }
        if (points.size() < 6)
            QSKIP("needs six distinct mount points");
        const QStorageInfo h = points[0], c = points[1], s = points[2], other = points[3], bare = points[4],
                           renamed = points[5];
        QHash<QString, VolMonitor::Facts> facts;
        auto folder = [this](const QString& name) {
            QDir().mkpath(m_dir.filePath(name));
            return m_dir.filePath(name);
        };
        facts[h.rootPath()] = { "Z40HD0042", folder("h"), true, true };
        facts[c.rootPath()] = { "Z40CD0042", folder("c"), true, true };
        facts[s.rootPath()] = { "Z40SD0042", folder("s"), true, false };
        facts[other.rootPath()] = { "BACKUP", folder("other"), true, false };
        facts[bare.rootPath()] = { "", folder("bare"), true, false };
        facts[renamed.rootPath()] = { "MYCAMERA", folder("c"), true, true };
        QDir().mkpath(m_dir.filePath("c/queltcal"));

        auto* source = new FakeMountSource;
        Volumes volumes(source, new NoEjector);
        VolMonitor monitor;
        monitor.setFactsReader([&](const QStorageInfo& v) { return facts.value(v.rootPath()); });
        std::unique_ptr<QStringList> log(record(monitor));
        monitor.setVolumes(&volumes);
        auto announce = [&](const QList<QStorageInfo>& list) {
            source->list = list;
            emit source->changed();
        };
        const QString key = "V$Z40$0042";
        announce({ s, other, bare }); // S first, unrelated volumes: nothing yet
        QCOMPARE(*log, QStringList());
        announce({ s, other, bare, c });
        QCOMPARE(*log, QStringList({ "found " + key + " Z40 (0042)" }));
        // Serials 0 never match: an unrelated label-less disk stays out of the group.
        QCOMPARE(monitor.link(key).parts[VolMonitor::S].rootPath(), s.rootPath());
        log->clear();
        monitor.onVolumeUpdated(c, renamed); // a label that changes keeps its group
        QCOMPARE(*log, QStringList({ "updated " + key }));
        QCOMPARE(monitor.link(key).parts[VolMonitor::C].rootPath(), renamed.rootPath());
        monitor.onVolumeUpdated(renamed, c);
        log->clear();
        announce({ other, bare, c });
        QCOMPARE(*log, QStringList({ "updated " + key }));
        QCOMPARE(monitor.link(key).state, 2);
        announce({ other, bare });
        QCOMPARE(*log, QStringList({ "updated " + key, "lost " + key }));
        // Only an equal, known serial joins a label-less volume as S.
        source->serials[c.rootPath()] = 77;
        source->serials[bare.rootPath()] = 77;
        announce({ c });
        log->clear();
        announce({ c, bare });
        QCOMPARE(*log, QStringList({ "found " + key + " Z40 (0042)" }));
        QCOMPARE(monitor.link(key).parts[VolMonitor::S].rootPath(), bare.rootPath());
    }

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
            QCOMPARE(removed.size(), 1);
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
            // A record that cannot be written is not reported, and the file stays listed.
            QDir().mkpath(writable + "/.QTrash/hotpixel.rec2/in the way");
            makeFile(root + "/hotpixel.rec2", "x");
            VolMonitor::PassiveSessionProxy session(link, picture, s, request, &listener);
            session.remove("hotpixel.rec2");
            QCOMPARE(removed.size(), 1);
            session.start();
            QTRY_COMPARE(items.size(), 3);
            QCOMPARE(items.last().first().value<QList<CapturedImage>>().size(), 2);
        }
        {
            // Without a writable S nothing is written anywhere, and nothing reported.
            VolMonitor::PassiveSessionProxy session(link, picture, VolMonitor::Facts(), request, &listener);
            session.remove("DCIM/IMG_1.jpg");
            QCOMPARE(removed.size(), 1);
            QVERIFY(!QFileInfo::exists(QDir::currentPath() + "/.QTrash"));
        }
        QCOMPARE(VolMonitor::PassiveSessionProxy::crc32("abc"), 0x352441C2u);
        const QByteArray empty
            = VolMonitor::PassiveSessionProxy::trashRecord("", QFileInfo(root + "/hotpixel.rec"));
        QCOMPARE(empty.size(), 48);
        QCOMPARE(empty.left(8), QByteArray(8, '\0'));
        QCOMPARE(empty.mid(8, 8), QByteArray::fromHex("0000000000000003"));
        // No marker volume: no session on the working directory.
        VolMonitor monitor;
        std::unique_ptr<SessionProxy> none(monitor.createSession(request, &listener));
        QVERIFY(!none->isDevice());
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
