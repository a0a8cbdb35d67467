#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

// A small portable-device layer: a manager that lists devices, and per device an object
// tree ("DEVICE" is the root, its children are the storages), object properties, an
// optional bulk property read, read streams, deletion and events. Results are 32-bit
// codes: 0 is success, kAccessDenied asks for a read-only retry, kDiskFull maps to a full
// disk, kWriteProtected to a host folder that takes no writes, anything else is a failure.
namespace PortableDevice {
using Result = uint32_t;
constexpr Result kOk = 0;
constexpr Result kAccessDenied = 0x80070005u;
constexpr Result kDiskFull = 0x80070027u;
constexpr Result kWriteProtected = 0x80070013u; // the host folder or volume takes no writes
constexpr Result kAlreadyExists = 0x800700B7u; // another file took the host file's name
constexpr Result kFailed = 0x80004005u;
constexpr Result kNotFound = 0x80070002u;
constexpr Result kCancelled = 0x800704C7u;
inline bool succeeded(Result r)
{
    return r == kOk;
}
extern const char* const kRootId; // "DEVICE"
} // namespace PortableDevice

// The properties of one object.
struct DeviceObject
{
    QString id;
    QString name; // the object's name (file name without path)
    QString originalFileName;
    bool folder = false; // a folder or storage (association)
    bool sizeKnown = false; // false: the size could not be read
    qint64 size = 0;
    QDateTime modified; // last modification; invalid when the device does not tell
};

// A device's read stream of one object.
class IDeviceStream
{
public:
    virtual ~IDeviceStream() = default;
    // Reads up to `length` bytes; `*got` 0 with success is the end of the data.
    virtual PortableDevice::Result read(char* buffer, qint64 length, qint64* got) = 0;
    virtual PortableDevice::Result stat(qint64* size) = 0;
};

// Receives a device's events and bulk results, on a thread of the device.
class IDeviceEventSink
{
public:
    virtual ~IDeviceEventSink() = default;
    virtual void objectAdded(const QString& id) = 0;
    virtual void objectRemoved(const QString& id) = 0;
    virtual void deviceRemoved() = 0;
    virtual void bulkStarted(quint64 context) = 0;
    virtual void bulkProgress(quint64 context, const QList<DeviceObject>& objects) = 0;
    virtual void bulkEnded(quint64 context, PortableDevice::Result result) = 0;
};

// One open device.
class IPortableDevice
{
public:
    virtual ~IPortableDevice() = default;
    virtual QString id() const = 0;
    // The ids of the children of an object.
    virtual PortableDevice::Result children(const QString& parent, QStringList* ids) = 0;
    virtual PortableDevice::Result properties(const QString& id, DeviceObject* object) = 0;
    // Whether startBulk is offered.
    virtual bool hasBulk() const = 0;
    // Reads the properties of `ids` on a thread of the device, reporting to the sink.
    virtual PortableDevice::Result startBulk(quint64 context, const QStringList& ids) = 0;
    virtual void cancelBulk(quint64 context) = 0;
    // Opens a read stream; `*optimalBuffer` is the transfer size the device prefers.
    virtual PortableDevice::Result openStream(
        const QString& id, std::unique_ptr<IDeviceStream>* stream, qint64* optimalBuffer)
        = 0;
    // Deletes objects (not folders' contents); the object-removed event follows.
    virtual PortableDevice::Result remove(const QString& id) = 0;
    // Starts delivering events to the sink (null stops them). Stopping waits until no
    // callback runs and none runs afterwards.
    virtual void advise(IDeviceEventSink* sink) = 0;
    // Cancels what runs on the device (a blocked read ends with a failure).
    virtual void cancel() = 0;
};

struct PortableDeviceInfo
{
    QString id;
    QString friendlyName;
    QString manufacturer;
};

// Lists devices and opens them. `devicesChanged` tells that the list may have changed.
class IPortableDeviceManager : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual PortableDevice::Result refresh() = 0;
    virtual QList<PortableDeviceInfo> devices() = 0;
    virtual PortableDevice::Result open(
        const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device)
        = 0;

signals:
    void devicesChanged();
};

// Whether a name from a device can be used as one path component: not empty, no "/" or
// NUL, not "." or "..".
bool isSingleNameComponent(const QString& name);

// A bulk read of `ids` through `device`: their properties in batches of 100, each handed
// to `batchRead`, the last one only when the read was not cancelled. Stops with kCancelled
// as soon as `cancelled` says so; objects whose properties cannot be read are left out.
PortableDevice::Result readPropertiesInBatches(IPortableDevice& device, const QStringList& ids,
    const std::function<bool()>& cancelled, const std::function<void(const QList<DeviceObject>&)>& batchRead);
