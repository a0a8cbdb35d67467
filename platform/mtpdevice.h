#pragma once

#include "platform/mtptree.h"
#include "platform/portabledevice.h"

#include <QList>
#include <QSet>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// An MTP device through libmtp. libmtp is used from one worker thread only: it lists
// the object tree one folder per task once the device is open (children() waits for the
// folder asked for, which is listed next), so reads and other calls queued meanwhile are
// served between two folders instead of behind the whole tree; it reads properties in
// bulk from that listing, reads objects in partial reads where the device allows them
// (else through a temporary file), deletes, and reads the device's events. A folder met
// again (a tree that lists a folder as its own descendant) or nested deeper than
// kMaxDepth is not listed again; the log says so.
class MtpDevice : public IPortableDevice
{
public:
    // Takes the device.
    MtpDevice(const QString& id, LIBMTP_mtpdevice_t* device);
    ~MtpDevice() override;

    QString id() const override { return m_id; }
    PortableDevice::Result children(const QString& parent, QStringList* ids) override;
    PortableDevice::Result properties(const QString& id, DeviceObject* object) override;
    bool hasBulk() const override { return true; }
    PortableDevice::Result startBulk(quint64 context, const QStringList& ids) override;
    void cancelBulk(quint64 context) override { m_cancelledBulk = context; }
    PortableDevice::Result openStream(
        const QString& id, std::unique_ptr<IDeviceStream>* stream, qint64* optimalBuffer) override;
    PortableDevice::Result remove(const QString& id) override;
    void advise(IDeviceEventSink* sink) override;
    void cancel() override { m_cancelled = true; }

    static constexpr qint64 kChunk = 1024 * 1024;
    static constexpr int kMaxDepth = 64;

    // Runs `task` on the worker and waits for it; kFailed once the device is gone.
    PortableDevice::Result call(const std::function<PortableDevice::Result(LIBMTP_mtpdevice_t*)>& task);
    bool partialReads() const { return m_partial; }
    bool cancelled() const { return m_cancelled; }

private:
    using Task = std::function<void(LIBMTP_mtpdevice_t*)>;
    void post(Task task);
    void run();
    void walk();
    // Lists the next folder of the walk and queues the step after it.
    void walkStep();
    void readEvents();
    void deliver(const std::function<void(IDeviceEventSink*)>& event);

    const QString m_id;
    LIBMTP_mtpdevice_t* m_device;
    bool m_partial = false;
    std::atomic<bool> m_cancelled { false };
    std::atomic<quint64> m_cancelledBulk { 0 };
    std::atomic<bool> m_gone { false };

    std::mutex m_treeMutex;
    std::condition_variable m_treeChanged;
    MtpTree m_tree;
    bool m_walked = false;
    struct Folder
    {
        QString id;
        uint32_t storage = 0;
        uint32_t handle = 0;
        int depth = 0;
    };
    QList<Folder> m_folders; // still to list (under m_treeMutex)

    std::mutex m_queueMutex;
    std::condition_variable m_wake;
    std::deque<Task> m_queue;
    bool m_quit = false;
    bool m_eventArmed = false;

    std::mutex m_sinkMutex;
    IDeviceEventSink* m_sink = nullptr;
    std::thread m_thread;
};
