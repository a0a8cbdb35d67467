#include "support/privatebus.h"
#include "support/testmain.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QRegularExpression>
#include <QThread>

#include "platform/udisksejector.h"

namespace {

// Plays udisks2 under one object path tree: answers the object manager from a table and
// writes down every other call (with the caller's own calls, in one order); calls to the
// objects or methods named in `refusing` fail.
class FakeUDisks : public QDBusVirtualObject
{
public:
    UDisksEjector::ManagedObjects objects;
    QMutex mutex;
    QStringList calls;
    QSet<QString> refusing;

    void add(const QString& call)
    {
        QMutexLocker lock(&mutex);
        calls << call;
    }
    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.member() == QLatin1String("GetManagedObjects"))
            return connection.send(message.createReply(QVariant::fromValue(objects)));
        const QString name = message.path().section(QLatin1Char('/'), -1);
        add(message.member() + " " + name);
        QMutexLocker lock(&mutex);
        if (refusing.contains(name) || refusing.contains(message.member()))
            return connection.send(
                message.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"), "no"));
        return connection.send(message.createReply());
    }
};

const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");

UDisksEjector::InterfaceMap block(const char* device, const QString& drive, const QList<QByteArray>& points)
{
    UDisksEjector::InterfaceMap interfaces;
    interfaces["org.freedesktop.UDisks2.Block"] = QVariantMap {
        { "Device", QByteArray(device) + '\0' },
        { "Drive", QVariant::fromValue(QDBusObjectPath(drive.isEmpty() ? "/" : kRoot + "/drives/" + drive)) },
    };
    QList<QByteArray> terminated;
    for (const QByteArray& point : points)
        terminated << point + '\0';
    interfaces["org.freedesktop.UDisks2.Filesystem"]
        = QVariantMap { { "MountPoints", QVariant::fromValue(terminated) } };
    return interfaces;
}

} // namespace

class TestUDisksEjector : public QObject
{
    Q_OBJECT
private:
    ostra::test::PrivateBus m_bus;
    QThread m_serviceThread;
    FakeUDisks m_udisks;
    bool m_up = false;

private slots:
    void initTestCase()
    {
        QString why;
        if (!m_bus.start(&why))
            return;
        UDisksEjector::registerTypes();
        auto& objects = m_udisks.objects;
        objects[QDBusObjectPath(kRoot + "/block_devices/sdz1")]
            = block("/dev/sdz1", "CAM", { "/media/u/CAM" });
        objects[QDBusObjectPath(kRoot + "/block_devices/sdz2")]
            = block("/dev/sdz2", "CAM", { "/media/u/CAM2" });
        objects[QDBusObjectPath(kRoot + "/block_devices/sdz3")] = block("/dev/sdz3", "CAM", {});
        objects[QDBusObjectPath(kRoot + "/block_devices/sdy1")]
            = block("/dev/sdy1", "OTHER", { "/media/u/O" });
        objects[QDBusObjectPath(kRoot + "/block_devices/loop0")] = block("/dev/loop0", "", { "/mnt/img" });
        QDBusConnection service = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("udisks"));
        QVERIFY(service.registerVirtualObject(kRoot, &m_udisks, QDBusConnection::SubPath));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.UDisks2")));
        // The service answers on a thread of its own while the ejector blocks in its calls.
        m_serviceThread.start();
        m_udisks.moveToThread(&m_serviceThread);
        m_up = true;
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("udisks"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        m_serviceThread.quit();
        m_serviceThread.wait();
    }

    void ejectsEveryMountedPartThenTheDrive_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QStringList>("refusing");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("calls");
        const QStringList both { "removing /media/u/CAM", "Unmount sdz1", "removing /media/u/CAM2",
            "Unmount sdz2" };
        QTest::newRow("power off") << QByteArray("/dev/sdz2") << QStringList() << true
                                   << both + QStringList { "PowerOff CAM" };
        QTest::newRow("power off refused") << QByteArray("/dev/sdz1") << QStringList { "PowerOff" } << true
                                           << both + QStringList { "PowerOff CAM", "Eject CAM" };
        // A part in use stays mounted: the eject fails there and the drive keeps its power.
        QTest::newRow("busy part") << QByteArray("/dev/sdz1") << QStringList { "sdz1" } << false
                                   << QStringList { "removing /media/u/CAM", "Unmount sdz1" };
        QTest::newRow("busy second part")
            << QByteArray("/dev/sdz1") << QStringList { "sdz2" } << false << both;
        QTest::newRow("no drive") << QByteArray("/dev/loop0") << QStringList() << true
                                  << QStringList { "removing /mnt/img", "Unmount loop0" };
        QTest::newRow("unknown device") << QByteArray("/dev/sdx9") << QStringList() << false << QStringList();
    }

    void ejectsEveryMountedPartThenTheDrive()
    {
        if (!m_up)
            QSKIP("no private D-Bus daemon here");
        QFETCH(QByteArray, device);
        QFETCH(QStringList, refusing);
        QFETCH(bool, result);
        QFETCH(QStringList, calls);
        {
            QMutexLocker lock(&m_udisks.mutex);
            m_udisks.calls.clear();
            m_udisks.refusing = QSet<QString>(refusing.begin(), refusing.end());
        }
        for (const QString& refused : refusing)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(refused == "sdz1" ? "Unmount" : refused));
        UDisksEjector ejector(QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("client")));
        QCOMPARE(ejector.eject(device, [this](const QString& point) { m_udisks.add("removing " + point); }),
            result);
        QMutexLocker lock(&m_udisks.mutex);
        QCOMPARE(m_udisks.calls, calls);
    }

    void noBusLogsOnce()
    {
        UDisksEjector ejector(QDBusConnection::connectToBus(
            QStringLiteral("unix:path=/nonexistent/ostra-no-bus"), QStringLiteral("nobus")));
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("No system bus")));
        int removing = 0;
        QVERIFY(!ejector.eject("/dev/sdz1", [&](const QString&) { ++removing; }));
        QVERIFY(!ejector.eject("/dev/sdz1", [&](const QString&) { ++removing; }));
        QCOMPARE(removing, 0);
        QDBusConnection::disconnectFromBus(QStringLiteral("nobus"));
    }
};

OSTRA_TEST_MAIN_CORE(TestUDisksEjector)
#include "tst_udisksejector.moc"
