#pragma once

#include "platform/portabledevice.h"

#include <QHash>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Serves a folder tree as a portable device: "DEVICE" has one storage "s1", every other
// object id is "f:" and the path relative to the folder. Events and bulk reads run on a
// thread of the device. Switches make it fail the way real devices do.
class FolderDevice : public IPortableDevice
{
public:
    struct Faults
    {
        bool denyOpenOnce = false; // the next writable open answers kAccessDenied
        QString failPropertiesOf; // property reads of objects of this name fail
        bool failStat = false; // streams cannot tell their size
        bool failDelete = false;
        qint64 failReadAfter = -1; // reads fail once this many bytes of a stream were read
        qint64 sizeSurplus = 0; // added to every reported size
        bool noBulk = false;
        int callDelayMs = 0; // every call (open, list, properties, read, delete) takes this long
        bool askedByRefresh = false; // the manager's refresh calls the device too (as one that opens devices)
    };

    // What a manager and its tests share with the open devices of one folder.
    class Controls
    {
    public:
        Faults faults() const;
        void setFaults(const Faults& faults);
        // Posts the object-added event of a file the test made (path relative to the folder).
        void announceAdded(const QString& relativePath);
        // Posts the object-removed event of a file the test deleted, as a camera tells of a
        // picture it deleted itself (it may then write another under the same name and id).
        void announceRemoved(const QString& relativePath);
        // The device is gone: every open device reports it and fails from then on.
        void unplug();
        bool unplugged() const;
        // A hung device: from now on every call waits until release().
        void hold();
        void release();
        // How many calls wait in a hold now.
        int heldCalls() const;
        // Called at the start of every call of the device: waits while held, then the delay.
        void call();

    private:
        friend class FolderDevice;
        mutable std::mutex m_mutex;
        std::condition_variable m_released;
        bool m_held = false;
        int m_heldCalls = 0;
        Faults m_faults;
        bool m_unplugged = false;
        QList<FolderDevice*> m_devices;
    };

    FolderDevice(const QString& id, const QString& folder, std::shared_ptr<Controls> controls);
    ~FolderDevice() override;

    QString id() const override { return m_id; }
    PortableDevice::Result children(const QString& parent, QStringList* ids) override;
    PortableDevice::Result properties(const QString& id, DeviceObject* object) override;
    bool hasBulk() const override;
    PortableDevice::Result startBulk(quint64 context, const QStringList& ids) override;
    void cancelBulk(quint64 context) override;
    PortableDevice::Result openStream(
        const QString& id, std::unique_ptr<IDeviceStream>* stream, qint64* optimalBuffer) override;
    PortableDevice::Result remove(const QString& id) override;
    void advise(IDeviceEventSink* sink) override;
    void cancel() override { }

    static constexpr qint64 kOptimalBuffer = 256 * 1024;

private:
    QString pathOf(const QString& id) const;
    // Runs `task` on the device's thread with the sink (skipped when none).
    void post(std::function<void(IDeviceEventSink*)> task);
    void run();

    const QString m_id;
    const QString m_folder;
    std::shared_ptr<Controls> m_controls;
    std::mutex m_queueMutex;
    std::condition_variable m_wake;
    std::deque<std::function<void(IDeviceEventSink*)>> m_queue;
    bool m_quit = false;
    std::mutex m_sinkMutex; // held while a callback runs
    IDeviceEventSink* m_sink = nullptr;
    std::atomic<quint64> m_cancelledBulk { 0 };
    std::thread m_thread;
};

// Devices made of folders; `OSTRA_DEMO_CAMERA` attaches one in the application.
class FolderDeviceManager : public IPortableDeviceManager
{
    Q_OBJECT
public:
    using IPortableDeviceManager::IPortableDeviceManager;

    // Returns the device id ("folder:" and the absolute path).
    QString attach(const QString& folder, const QString& friendlyName, const QString& manufacturer = "Quelt");
    // Unplugs the device and drops it from the list.
    void detach(const QString& id);
    std::shared_ptr<FolderDevice::Controls> controls(const QString& id) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_devices.value(id).controls;
    }

    // Calls every attached device whose faults say so, as a manager that opens devices to
    // list them does: a held device then holds the refresh too.
    PortableDevice::Result refresh() override;
    QList<PortableDeviceInfo> devices() override;
    PortableDevice::Result open(
        const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device) override;

private:
    struct Entry
    {
        PortableDeviceInfo info;
        QString folder;
        std::shared_ptr<FolderDevice::Controls> controls;
    };
    mutable std::mutex m_mutex; // the manager is used from the discovery and device threads
    QHash<QString, Entry> m_devices;
    QStringList m_order;
};
