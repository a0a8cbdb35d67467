#pragma once

#include "platform/portabledevice.h"

#include <QHash>

#include <mutex>

#include <libmtp.h>

struct udev;
struct udev_monitor;
class QSocketNotifier;

// The MTP devices on the USB buses, found with libmtp; a udev monitor of the USB
// subsystem tells when the list may have changed. Each device is opened once at
// discovery to read its serial number, so its id stays the same across re-plugs.
// refresh() (which opens devices) runs on a discovery thread; the list and open() may be
// used from other threads meanwhile.
class MtpDeviceManager : public IPortableDeviceManager
{
    Q_OBJECT
public:
    explicit MtpDeviceManager(QObject* parent = nullptr);
    ~MtpDeviceManager() override;

    PortableDevice::Result refresh() override;
    QList<PortableDeviceInfo> devices() override;
    // MTP has no access modes: `readOnly` changes nothing.
    PortableDevice::Result open(
        const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device) override;

private:
    struct Entry
    {
        PortableDeviceInfo info;
        LIBMTP_raw_device_t raw;
    };
    mutable std::mutex m_mutex; // guards m_devices, never held across a device call
    QHash<QString, Entry> m_devices; // by bus location and device number
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
};
