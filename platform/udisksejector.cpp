#include "platform/udisksejector.h"
#include "platform/logging.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDebug>
#include <QFile>

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");

// Unmounting waits for the drive to take every pending write.
constexpr int kUnmountTimeoutMs = 300000;
constexpr int kCallTimeoutMs = 60000;

// udisks2 spells paths as zero-terminated byte arrays.
QByteArray bytesProperty(const QVariant& value)
{
    QByteArray bytes = value.toByteArray();
    if (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes;
}

QList<QByteArray> mountPoints(const QVariant& value)
{
    QList<QByteArray> points;
    if (value.canConvert<QDBusArgument>()) {
        const QDBusArgument arg = value.value<QDBusArgument>();
        arg.beginArray();
        while (!arg.atEnd()) {
            QByteArray point;
            arg >> point;
            if (point.endsWith('\0'))
                point.chop(1);
            points << point;
        }
        arg.endArray();
    } else {
        for (const QByteArray& point : value.value<QList<QByteArray>>())
            points << (point.endsWith('\0') ? point.left(point.size() - 1) : point);
    }
    return points;
}

} // namespace

void UDisksEjector::registerTypes()
{
    static const bool done = [] {
        qDBusRegisterMetaType<QList<QByteArray>>();
        qDBusRegisterMetaType<InterfaceMap>();
        qDBusRegisterMetaType<ManagedObjects>();
        return true;
    }();
    Q_UNUSED(done)
}

UDisksEjector::UDisksEjector()
    : UDisksEjector(QDBusConnection::systemBus())
{ }

UDisksEjector::UDisksEjector(const QDBusConnection& bus)
    : m_bus(bus)
{
    registerTypes();
}

bool UDisksEjector::eject(const QByteArray& device, const std::function<void(const QString&)>& beforeUnmount)
{
    if (!m_bus.isConnected()) {
        if (!m_warned)
            qCInfo(lcPlatform) << "No system bus: volumes cannot be ejected";
        m_warned = true;
        return false;
    }
    QDBusMessage request
        = QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/UDisks2"),
            QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = m_bus.call(request, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCWarning(lcPlatform) << "udisks2 is not reachable:" << reply.errorMessage();
        return false;
    }
    const ManagedObjects objects = qdbus_cast<ManagedObjects>(reply.arguments().constFirst());

    QDBusObjectPath self;
    QDBusObjectPath drive;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const QVariantMap block = it.value().value(kBlock);
        if (!block.isEmpty() && bytesProperty(block.value(QStringLiteral("Device"))) == device) {
            self = it.key();
            drive = block.value(QStringLiteral("Drive")).value<QDBusObjectPath>();
            break;
        }
    }
    if (self.path().isEmpty()) {
        qCDebug(lcPlatform) << "No udisks2 block device for" << device;
        return false;
    }
    const bool hasDrive = !drive.path().isEmpty() && drive.path() != QLatin1String("/");
    qCDebug(lcPlatform) << "Acting upon" << device << self.path() << drive.path();

    // Every mounted part of the drive goes first; a device without a drive only itself.
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        const QVariantMap block = it.value().value(kBlock);
        const bool part = hasDrive ? block.value(QStringLiteral("Drive")).value<QDBusObjectPath>() == drive
                                   : it.key() == self;
        if (!part || !it.value().contains(kFilesystem))
            continue;
        const QList<QByteArray> points
            = mountPoints(it.value().value(kFilesystem).value(QStringLiteral("MountPoints")));
        if (points.isEmpty())
            continue;
        for (const QByteArray& point : points)
            beforeUnmount(QFile::decodeName(point));
        // Still mounted (a copy reads from it): the drive must not be taken away, and the
        // caller must not say that it may.
        if (!call(it.key().path(), kFilesystem, QStringLiteral("Unmount"), kUnmountTimeoutMs))
            return false;
    }
    if (hasDrive && !call(drive.path(), kDrive, QStringLiteral("PowerOff"), kCallTimeoutMs))
        call(drive.path(), kDrive, QStringLiteral("Eject"), kCallTimeoutMs);
    return true;
}

bool UDisksEjector::call(const QString& path, const QString& interface, const QString& method, int timeoutMs)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message << QVariantMap();
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, timeoutMs);
    const bool ok = reply.type() == QDBusMessage::ReplyMessage;
    if (ok)
        qCDebug(lcPlatform) << method << path << "done";
    else
        qCWarning(lcPlatform) << method << path << "failed:" << reply.errorName() << reply.errorMessage();
    return ok;
}
