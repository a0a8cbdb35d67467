#include "platform/powerwatcher.h"

#include <QDBusConnectionInterface>

namespace {
const char* const kService = "org.freedesktop.UPower";
const char* const kPath = "/org/freedesktop/UPower";
} // namespace

PowerWatcher::PowerWatcher(QObject* parent)
    : PowerWatcher(PowerSupplyReader(), QDBusConnection::systemBus(), defaultPollMs, parent)
{ }

PowerWatcher::PowerWatcher(
    const PowerSupplyReader& reader, const QDBusConnection& bus, int pollMs, QObject* parent)
    : QObject(parent)
    , m_reader(reader)
    , m_bus(bus)
{
    m_onAc = m_reader.onAcPower();
    const bool upower = m_bus.isConnected() && m_bus.interface()
        && m_bus.interface()->isServiceRegistered(QLatin1String(kService)).value()
        && m_bus.connect(QLatin1String(kService), QLatin1String(kPath),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"), this,
            SLOT(onUPowerProperties(QString, QVariantMap, QStringList)));
    if (upower) {
        m_mode = UPowerSignal;
    } else if (m_reader.available()) {
        m_mode = Polling;
        m_poll.setInterval(pollMs);
        connect(&m_poll, &QTimer::timeout, this, &PowerWatcher::check);
        m_poll.start();
    }
}

void PowerWatcher::check()
{
    const bool onAc = m_reader.onAcPower();
    if (onAc == m_onAc)
        return;
    m_onAc = onAc;
    emit changed(onAc);
}

void PowerWatcher::onUPowerProperties(
    const QString& interface, const QVariantMap& changed, const QStringList& invalidated)
{
    Q_UNUSED(interface)
    if (changed.contains(QStringLiteral("OnBattery")) || invalidated.contains(QStringLiteral("OnBattery")))
        check();
}
