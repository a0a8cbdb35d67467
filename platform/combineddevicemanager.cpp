#include "platform/combineddevicemanager.h"

#include <QMutexLocker>

using namespace PortableDevice;

void CombinedDeviceManager::add(IPortableDeviceManager* manager)
{
    {
        QMutexLocker lock(&m_mutex);
        if (!manager || m_managers.contains(manager))
            return;
        m_managers << manager;
    }
    connect(manager, &IPortableDeviceManager::devicesChanged, this, &IPortableDeviceManager::devicesChanged);
    emit devicesChanged();
}

QList<QPointer<IPortableDeviceManager>> CombinedDeviceManager::managers() const
{
    QMutexLocker lock(&m_mutex);
    return m_managers;
}

Result CombinedDeviceManager::refresh()
{
    Result result = kOk;
    const QList<QPointer<IPortableDeviceManager>> all = managers();
    for (const QPointer<IPortableDeviceManager>& manager : all) {
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
    QHash<QString, QPointer<IPortableDeviceManager>> owner;
    const QList<QPointer<IPortableDeviceManager>> all = managers();
    for (const QPointer<IPortableDeviceManager>& manager : all) {
        if (!manager)
            continue;
        const QList<PortableDeviceInfo> listed = manager->devices();
        for (const PortableDeviceInfo& info : listed) {
            // The first manager to list an id keeps it.
            if (owner.contains(info.id))
                continue;
            owner.insert(info.id, manager);
            result << info;
        }
    }
    QMutexLocker lock(&m_mutex);
    m_owner = owner;
    return result;
}

Result CombinedDeviceManager::open(const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device)
{
    auto ownerOf = [this, &id] {
        QMutexLocker lock(&m_mutex);
        return m_owner.value(id);
    };
    QPointer<IPortableDeviceManager> manager = ownerOf();
    if (!manager) {
        devices();
        manager = ownerOf();
    }
    return manager ? manager->open(id, readOnly, device) : kNotFound;
}
