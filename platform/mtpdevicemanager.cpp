#include "platform/mtpdevicemanager.h"

#include "platform/logging.h"
#include "platform/mtpdevice.h"
#include "platform/mtptree.h"

#include <QSocketNotifier>

#include <cstdlib>
#include <libudev.h>

using namespace PortableDevice;

namespace {

QString takeText(char* text)
{
    const QString result = QString::fromUtf8(text ? text : "");
    std::free(text);
    return result;
}

QString locationOf(const LIBMTP_raw_device_t& raw)
{
    return QStringLiteral("%1:%2").arg(raw.bus_location).arg(raw.devnum);
}

} // namespace

MtpDeviceManager::MtpDeviceManager(QObject* parent)
    : IPortableDeviceManager(parent)
{
    LIBMTP_Init();
    m_udev = udev_new();
    m_monitor = m_udev ? udev_monitor_new_from_netlink(m_udev, "udev") : nullptr;
    if (m_monitor && udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") == 0
        && udev_monitor_enable_receiving(m_monitor) == 0) {
        m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            if (udev_device* device = udev_monitor_receive_device(m_monitor))
                udev_device_unref(device);
            emit devicesChanged();
        });
    } else {
        qCInfo(lcPlatform) << "No udev monitor: MTP devices are found only when asked";
    }
}

MtpDeviceManager::~MtpDeviceManager()
{
    delete m_notifier;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

Result MtpDeviceManager::refresh()
{
    LIBMTP_raw_device_t* raw = nullptr;
    int count = 0;
    const LIBMTP_error_number_t error = LIBMTP_Detect_Raw_Devices(&raw, &count);
    QHash<QString, Entry> known;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        known = m_devices;
    }
    QHash<QString, Entry> found;
    if (error == LIBMTP_ERROR_NONE) {
        for (int i = 0; i < count; ++i) {
            const QString location = locationOf(raw[i]);
            if (known.contains(location)) {
                found.insert(location, known.value(location));
                continue;
            }
            LIBMTP_mtpdevice_t* device = LIBMTP_Open_Raw_Device_Uncached(&raw[i]);
            if (!device)
                continue;
            const QString serial = takeText(LIBMTP_Get_Serialnumber(device));
            PortableDeviceInfo info { MtpTree::deviceId(raw[i].device_entry.vendor_id,
                                          raw[i].device_entry.product_id, serial),
                takeText(LIBMTP_Get_Friendlyname(device)), takeText(LIBMTP_Get_Manufacturername(device)) };
            if (info.friendlyName.isEmpty())
                info.friendlyName = takeText(LIBMTP_Get_Modelname(device));
            LIBMTP_Release_Device(device);
            found.insert(location, Entry { info, raw[i] });
        }
    }
    std::free(raw);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices = found;
    }
    return error == LIBMTP_ERROR_NONE || error == LIBMTP_ERROR_NO_DEVICE_ATTACHED ? kOk : kFailed;
}

QList<PortableDeviceInfo> MtpDeviceManager::devices()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<PortableDeviceInfo> list;
    for (const Entry& entry : qAsConst(m_devices))
        list << entry.info;
    return list;
}

Result MtpDeviceManager::open(const QString& id, bool, std::unique_ptr<IPortableDevice>* device)
{
    LIBMTP_raw_device_t raw {};
    bool listed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Entry& entry : qAsConst(m_devices)) {
            if (entry.info.id == id) {
                raw = entry.raw;
                listed = true;
                break;
            }
        }
    }
    if (listed) {
        LIBMTP_mtpdevice_t* mtp = LIBMTP_Open_Raw_Device_Uncached(&raw);
        if (!mtp)
            return kFailed;
        *device = std::make_unique<MtpDevice>(id, mtp);
        return kOk;
    }
    return kNotFound;
}
