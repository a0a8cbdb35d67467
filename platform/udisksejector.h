#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QMap>
#include <QVariantMap>

#include "platform/ivolumeejector.h"

// Ejects through udisks2 on the system bus: Filesystem.Unmount for each mounted part of
// the drive, then Drive.PowerOff, or Drive.Eject where power-off is refused. A part that
// cannot be unmounted (busy) stops the eject, which then fails. Without a system bus one
// log line says so and nothing is ejected.
class UDisksEjector : public IVolumeEjector
{
public:
    // The object manager's answer: interfaces and their properties by object.
    using InterfaceMap = QMap<QString, QVariantMap>;
    using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;

    UDisksEjector();
    explicit UDisksEjector(const QDBusConnection& bus);

    bool eject(const QByteArray& device, const std::function<void(const QString&)>& beforeUnmount) override;

    // Registers the D-Bus types above (done by the constructors; tests that play the
    // service call it too).
    static void registerTypes();

private:
    bool call(const QString& path, const QString& interface, const QString& method, int timeoutMs);

    QDBusConnection m_bus;
    bool m_warned = false;
};

Q_DECLARE_METATYPE(UDisksEjector::InterfaceMap)
Q_DECLARE_METATYPE(UDisksEjector::ManagedObjects)
