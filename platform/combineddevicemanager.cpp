#include "platform/combineddevicemanager.h"

using namespace PortableDevice;

void CombinedDeviceManager::add(IPortableDeviceManager* manager)
{
    if (!manager || m_managers.contains(manager))
        return;
    m_managers << manager;
    connect(manager, &IPortableDeviceManager::devicesChanged, this, &IPortableDeviceManager::devicesChanged);
    emit devicesChanged();
}

Result CombinedDeviceManager::refresh()
{
    Result result = kOk;
    for (const QPointer<IPortableDeviceManager>& manager : qAsConst(m_managers)) {
        if (manager) {
            const Result one = manager->refresh();
            if (one != kOk)
                result = one;
        }
    }
    return result;
}

QList<PortableDeviceInfo> CombinedDeviceManager::devices()
{
    QList<PortableDeviceInfo> result;
    m_owner.clear();
    for (const QPointer<IPortableDeviceManager>& manager : qAsConst(m_managers)) {
        if (!manager)
            continue;
        const QList<PortableDeviceInfo> listed = manager->devices();
        for (const PortableDeviceInfo& info : listed) {
            // The first manager to list an id keeps it.
            if (m_owner.contains(info.id))
                continue;
            m_owner.insert(info.id, manager);
            result << info;
        }
    }
    return result;
}

Result CombinedDeviceManager::open(const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device)
{
    IPortableDeviceManager* manager = m_owner.value(id);
    if (!manager) {
        devices();
        manager = m_owner.value(id);
    }
    return manager ? manager->open(id, readOnly, device) : kNotFound;
}
