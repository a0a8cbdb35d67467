#include "support/privatebus.h"
#include "support/testmain.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QMutex>
#include <QRegularExpression>
#include <QThread>

#include "platform/udisksejector.h"

namespace {

// Calls seen by the stand-in service and by the ejector's caller, in one order.
struct CallLog
{
    QMutex mutex;
    QStringList calls;
    QSet<QString> refusing; // objects whose calls fail
    void add(const QString& call)
    {
        QMutexLocker lock(&mutex);
        calls << call;
    }
};

QString leaf(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

class FakeManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.ObjectManager")
public:
    UDisksEjector::ManagedObjects objects;
public slots:
    UDisksEjector::ManagedObjects GetManagedObjects() { return objects; }
};

class FakeFilesystem : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Filesystem")
public:
    CallLog* log = nullptr;
public slots:
    void Unmount(const QVariantMap&)
    {
        const QString name = leaf(message().path());
        log->add("Unmount " + name);
        if (log->refusing.contains(name))
            sendErrorReply(
                QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy"), QStringLiteral("busy"));
    }
};

class FakeDrive : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Drive")
public:
    CallLog* log = nullptr;
public slots:
    void PowerOff(const QVariantMap&) { answer("PowerOff"); }
    void Eject(const QVariantMap&) { answer("Eject"); }

private:
    void answer(const QString& method)
    {
        const QString name = leaf(message().path());
        log->add(method + " " + name);
        if (log->refusing.contains(method))
            sendErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"), QStringLiteral("refused"));
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
    CallLog m_log;
    QList<QObject*> m_objects;
    bool m_up = false;

private slots:
    void initTestCase()
    {
        QString why;
        if (!m_bus.start(&why))
            return;
        UDisksEjector::registerTypes();
        m_serviceThread.start();
        QDBusConnection service = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("udisks"));
        QVERIFY(service.isConnected());
        auto* manager = new FakeManager;
        manager->objects[QDBusObjectPath(kRoot + "/block_devices/sdz1")]
            = block("/dev/sdz1", "CAM", { "/media/u/CAM" });
        manager->objects[QDBusObjectPath(kRoot + "/block_devices/sdz2")]
            = block("/dev/sdz2", "CAM", { "/media/u/CAM2" });
        manager->objects[QDBusObjectPath(kRoot + "/block_devices/sdz3")] = block("/dev/sdz3", "CAM", {});
        manager->objects[QDBusObjectPath(kRoot + "/block_devices/sdy1")]
            = block("/dev/sdy1", "OTHER", { "/media/u/O" });
        manager->objects[QDBusObjectPath(kRoot + "/block_devices/loop0")]
            = block("/dev/loop0", "", { "/mnt/img" });
        manager->objects[QDBusObjectPath(kRoot + "/drives/CAM")]["org.freedesktop.UDisks2.Drive"]
            = QVariantMap();
        m_objects << manager;
        QVERIFY(service.registerObject(kRoot, manager, QDBusConnection::ExportAllSlots));
        for (const char* name : { "sdz1", "sdz2", "sdz3", "sdy1", "loop0" }) {
            auto* fs = new FakeFilesystem;
            fs->log = &m_log;
            m_objects << fs;
            QVERIFY(service.registerObject(
                kRoot + "/block_devices/" + name, fs, QDBusConnection::ExportAllSlots));
        }
        for (const char* name : { "CAM", "OTHER" }) {
            auto* drive = new FakeDrive;
            drive->log = &m_log;
            m_objects << drive;
            QVERIFY(
                service.registerObject(kRoot + "/drives/" + name, drive, QDBusConnection::ExportAllSlots));
        }
        for (QObject* object : qAsConst(m_objects))
            object->moveToThread(&m_serviceThread);
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.UDisks2")));
        m_up = true;
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("udisks"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        for (QObject* object : qAsConst(m_objects))
            QMetaObject::invokeMethod(object, "deleteLater");
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
        QTest::newRow("busy part") << QByteArray("/dev/sdz1") << QStringList { "sdz1" } << true
                                   << both + QStringList { "PowerOff CAM" };
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
            QMutexLocker lock(&m_log.mutex);
            m_log.calls.clear();
            m_log.refusing = QSet<QString>(refusing.begin(), refusing.end());
        }
        for (const QString& refused : refusing)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(refused == "sdz1" ? "Unmount" : refused));
        UDisksEjector ejector(QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("client")));
        QCOMPARE(
            ejector.eject(device, [this](const QString& point) { m_log.add("removing " + point); }), result);
        QMutexLocker lock(&m_log.mutex);
        QCOMPARE(m_log.calls, calls);
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
