#include "support/filetree.h"
#include "support/privatebus.h"
#include "support/testmain.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "platform/powersupplyreader.h"
#include "platform/powerwatcher.h"

namespace {

// Writes "supply/file=value" entries into a power-supply folder laid out like the kernel's.
void supply(const QString& root, const QStringList& entries)
{
    QDir().mkpath(root);
    for (const QString& entry : entries)
        ostra::test::writeTreeFile(
            root + '/' + entry.section('=', 0, 0), entry.section('=', 1).toLatin1() + '\n');
}

const QDBusConnection kNoBus = QDBusConnection(QStringLiteral("ostra-none"));

} // namespace

class TestPowerWatcher : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    int m_round = 0;
    QString freshRoot() { return m_dir.filePath(QStringLiteral("supply-%1").arg(++m_round)); }

private slots:
    void readsTheSupplies_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::addColumn<bool>("onAc");
        QTest::newRow("empty folder") << QStringList() << true;
        QTest::newRow("mains online") << QStringList { "AC/type=Mains", "AC/online=1" } << true;
        QTest::newRow("laptop on battery")
            << QStringList { "AC/type=Mains", "AC/online=0", "BAT0/type=Battery", "BAT0/status=Discharging" }
            << false;
        QTest::newRow("battery only, discharging")
            << QStringList { "BAT0/type=Battery", "BAT0/status=Discharging" } << false;
        QTest::newRow("mouse battery ignored") << QStringList { "hid-mouse/type=Battery",
            "hid-mouse/scope=Device", "hid-mouse/status=Discharging" }
                                               << true;
        QTest::newRow("usb-c power") << QStringList { "ucsi/type=USB", "ucsi/online=1", "BAT1/type=Battery",
            "BAT1/status=Discharging" }
                                     << true;
        QTest::newRow("absent battery slot")
            << QStringList { "AC/type=Mains", "AC/online=0", "BAT0/type=Battery", "BAT0/present=0" } << true;
        QTest::newRow("garbage") << QStringList { "X/type=\xff\xfe", "X/online=banana" } << true;
    }

    void readsTheSupplies()
    {
        QFETCH(QStringList, layout);
        QFETCH(bool, onAc);
        const QString root = freshRoot();
        supply(root, layout);
        QCOMPARE(PowerSupplyReader(root).onAcPower(), onAc);
    }

    void pollingSeesAChange()
    {
        const QString root = freshRoot();
        supply(root, { "AC/type=Mains", "AC/online=1" });
        PowerWatcher watcher(PowerSupplyReader(root), kNoBus, 20);
        QCOMPARE(watcher.mode(), PowerWatcher::Polling);
        QVERIFY(watcher.onAcPower());
        QSignalSpy spy(&watcher, &PowerWatcher::changed);
        supply(root, { "AC/online=0", "BAT0/type=Battery", "BAT0/status=Discharging" });
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        QCOMPARE(spy.first().first().toBool(), false);
        // No change, no signal.
        watcher.check();
        QCOMPARE(spy.count(), 1);
    }

    void upowerSignalTriggersARead()
    {
        ostra::test::PrivateBus bus;
        QString why;
        if (!bus.start(&why))
            QSKIP(qPrintable(why));
        QDBusConnection service = QDBusConnection::connectToBus(bus.address(), QStringLiteral("upower"));
        QVERIFY(service.registerService(QStringLiteral("org.freedesktop.UPower")));

        const QString root = freshRoot();
        supply(root, { "AC/type=Mains", "AC/online=1", "BAT0/type=Battery", "BAT0/status=Charging" });
        QDBusConnection client = QDBusConnection::connectToBus(bus.address(), QStringLiteral("client"));
        // A poll interval far beyond the test: only the signal can bring the news.
        PowerWatcher watcher(PowerSupplyReader(root), client, 24 * 3600 * 1000);
        QCOMPARE(watcher.mode(), PowerWatcher::UPowerSignal);
        QSignalSpy spy(&watcher, &PowerWatcher::changed);

        supply(root, { "AC/online=0", "BAT0/status=Discharging" });
        auto emitChange = [&service](const QVariantMap& changed) {
            QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/UPower"),
                QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
            signal << QStringLiteral("org.freedesktop.UPower") << changed << QStringList();
            return service.send(signal);
        };
        // A change of another property is not news about the power source.
        QVERIFY(emitChange({ { QStringLiteral("LidIsClosed"), true } }));
        QVERIFY(emitChange({ { QStringLiteral("OnBattery"), true } }));
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        QCOMPARE(spy.first().first().toBool(), false);
        QVERIFY(!watcher.onAcPower());

        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("upower"));
    }
};

OSTRA_TEST_MAIN_CORE(TestPowerWatcher)
#include "tst_powerwatcher.moc"
