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
            // Without a writable S nothing is written anywhere, and nothing reported.
            VolMonitor::PassiveSessionProxy session(link, picture, VolMonitor::Facts(), request, &listener);
            session.remove("DCIM/IMG_1.jpg");
            QCOMPARE(removed.size(), 1);
            QVERIFY(!QFileInfo::exists(QDir::currentPath() + "/.QTrash"));
        }
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
