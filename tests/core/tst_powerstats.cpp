#include "support/filetree.h"
#include "support/testmain.h"

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "core/powerservices.h"
#include "core/powerstats.h"
#include "platform/powerwatcher.h"

namespace {
void setValue(const QString& root, const QString& supply, const char* name, const QByteArray& value)
{
    ostra::test::writeTreeFile(root + '/' + supply + '/' + QLatin1String(name), value);
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
};

OSTRA_TEST_MAIN(TestPowerStats)
#include "tst_powerstats.moc"
