#include "support/testmain.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "core/powerservices.h"
#include "core/powerstats.h"
#include "platform/powerwatcher.h"

namespace {
void setValue(const QString& root, const QString& supply, const char* name, const QByteArray& value)
{
    QDir().mkpath(root + QLatin1Char('/') + supply);
    QFile file(root + QLatin1Char('/') + supply + QLatin1Char('/') + QLatin1String(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(value);
}
const QDBusConnection kNoBus = QDBusConnection(QStringLiteral("ostra-none"));
} // namespace

class TestPowerStats : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;

private slots:
    void followsThePowerSource()
    {
        const QString root = m_dir.filePath(QStringLiteral("follow"));
        setValue(root, QStringLiteral("AC"), "type", "Mains");
        setValue(root, QStringLiteral("AC"), "online", "0");
        setValue(root, QStringLiteral("BAT0"), "type", "Battery");
        setValue(root, QStringLiteral("BAT0"), "status", "Discharging");
        auto* watcher = new PowerWatcher(PowerSupplyReader(root), kNoBus, 20);
        PowerStats stats(watcher);
        QVERIFY(!stats.plugged());
        QSignalSpy plugged(&stats, &PowerStats::pluggedChanged);
        setValue(root, QStringLiteral("AC"), "online", "1");
        QTRY_COMPARE_WITH_TIMEOUT(plugged.count(), 1, 10000);
        QVERIFY(stats.plugged());
        QCOMPARE(watcher->parent(), &stats);
    }

    void stateTellsWhetherChangesCanBeFollowed()
    {
        QQuickWindow window;
        auto* blind = new PowerWatcher(PowerSupplyReader(m_dir.filePath(QStringLiteral("none"))), kNoBus, 20);
        PowerStats failing(blind);
        QCOMPARE(failing.state(), PowerStats::Ok);
        QSignalSpy state(&failing, &PowerStats::stateChanged);
        failing.setWindow(&window);
        QCOMPARE(failing.state(), PowerStats::Failed);
        QCOMPARE(state.count(), 1);

        const QString root = m_dir.filePath(QStringLiteral("ok"));
        QDir().mkpath(root);
        PowerStats working(new PowerWatcher(PowerSupplyReader(root), kNoBus, 20));
        QSignalSpy okState(&working, &PowerStats::stateChanged);
        QQuickItem item;
        item.setParentItem(window.contentItem());
        working.setAnchor(&item);
        QCOMPARE(working.window(), &window);
        QCOMPARE(working.state(), PowerStats::Ok);
        QCOMPARE(okState.count(), 0);
    }
};

OSTRA_TEST_MAIN(TestPowerStats)
#include "tst_powerstats.moc"
