#pragma once

#include "platform/portabledevice.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QPointer>

// Several device managers seen as one: the devices of all of them, in the order the
// managers were added; a device opens through the manager that listed it. Safe to use
// from several threads when the managers are.
class CombinedDeviceManager : public IPortableDeviceManager
{
    Q_OBJECT
public:
    using IPortableDeviceManager::IPortableDeviceManager;

    // Does not take the manager (give it this object as parent to have it go with it).
    void add(IPortableDeviceManager* manager);

    PortableDevice::Result refresh() override;
    QList<PortableDeviceInfo> devices() override;
    PortableDevice::Result open(
        const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device) override;

private:
    QList<QPointer<IPortableDeviceManager>> managers() const;

    mutable QMutex m_mutex; // guards the two tables; never held across a manager's call
    QList<QPointer<IPortableDeviceManager>> m_managers;
    QHash<QString, QPointer<IPortableDeviceManager>> m_owner; // device id -> manager that listed it
};
