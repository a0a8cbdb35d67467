#include "platform/mtpdevice.h"

#include "platform/logging.h"

#include <QTemporaryFile>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <sys/time.h>

using namespace PortableDevice;

namespace {

// Reads one object in partial reads, or downloaded whole into a temporary file first.
class MtpStream : public IDeviceStream
{
public:
    MtpStream(MtpDevice* device, uint32_t handle, qint64 size)
        : m_device(device)
        , m_handle(handle)
        , m_size(size)
    { }

    Result read(char* buffer, qint64 length, qint64* got) override
    {
        *got = 0;
        if (m_device->cancelled())
            return kCancelled;
        if (m_device->partialReads()) {
            if (m_offset >= m_size)
                return kOk;
            const uint32_t want
                = uint32_t(std::min<qint64>({ length, m_size - m_offset, MtpDevice::kChunk }));
            const Result r = m_device->call([&](LIBMTP_mtpdevice_t* device) {
                unsigned char* data = nullptr;
                unsigned int read = 0;
                if (LIBMTP_GetPartialObject(device, m_handle, uint64_t(m_offset), want, &data, &read) != 0)
                    return kFailed;
                std::memcpy(buffer, data, std::min<unsigned int>(read, want));
                *got = std::min<unsigned int>(read, want);
                std::free(data);
                return kOk;
            });
            m_offset += *got;
            return r;
        }
        if (!m_file.isOpen()) {
            if (!m_file.open())
                return kFailed;
            const Result r = m_device->call([this](LIBMTP_mtpdevice_t* device) {
                return LIBMTP_Get_File_To_Handler(device, m_handle, &MtpStream::put, this, nullptr, nullptr)
                        == 0
                    ? kOk
                    : kFailed;
            });
            if (r != kOk || !m_file.seek(0))
                return kFailed;
        }
        const qint64 n = m_file.read(buffer, length);
        if (n < 0)
            return kFailed;
        *got = n;
        return kOk;
    }

    Result stat(qint64* size) override
    {
        *size = m_size;
        return kOk;
    }

private:
    static uint16_t put(void*, void* self, uint32_t length, unsigned char* data, uint32_t* done)
    {
        auto* stream = static_cast<MtpStream*>(self);
        const qint64 n = stream->m_file.write(reinterpret_cast<const char*>(data), length);
        *done = n < 0 ? 0 : uint32_t(n);
        return n == qint64(length) ? LIBMTP_HANDLER_RETURN_OK : LIBMTP_HANDLER_RETURN_ERROR;
    }

    MtpDevice* m_device;
    uint32_t m_handle;
    qint64 m_size;
    qint64 m_offset = 0;
    QTemporaryFile m_file;
};

} // namespace

MtpDevice::MtpDevice(const QString& id, LIBMTP_mtpdevice_t* device)
    : m_id(id)
    , m_device(device)
{
    m_partial = LIBMTP_Check_Capability(m_device, LIBMTP_DEVICECAP_GetPartialObject) != 0;
    m_thread = std::thread([this] { run(); });
    post([this](LIBMTP_mtpdevice_t*) { walk(); });
}

MtpDevice::~MtpDevice()
{
    advise(nullptr);
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
    LIBMTP_Release_Device(m_device);
}

void MtpDevice::walk()
{
    if (LIBMTP_Get_Storage(m_device, LIBMTP_STORAGE_SORTBY_NOTSORTED) != 0)
        qCWarning(lcPlatform) << "MTP storages of" << m_id << "cannot be read";
    {
        std::lock_guard<std::mutex> lock(m_treeMutex);
        m_tree.addStorages(m_device->storage);
        for (const LIBMTP_devicestorage_t* s = m_device->storage; s; s = s->next)
            m_folders.append({ MtpTree::storageId(s->id), s->id, LIBMTP_FILES_AND_FOLDERS_ROOT, 0 });
    }
    m_treeChanged.notify_all();
    walkStep();
}

void MtpDevice::walkStep()
{
    Folder folder;
    {
        std::lock_guard<std::mutex> lock(m_treeMutex);
        if (m_folders.isEmpty() || m_gone) {
            m_walked = true;
            m_treeChanged.notify_all();
            return;
        }
        folder = m_folders.takeFirst();
    }
    LIBMTP_file_t* list = LIBMTP_Get_Files_And_Folders(m_device, folder.storage, folder.handle);
    {
        std::lock_guard<std::mutex> lock(m_treeMutex);
        m_tree.addListing(folder.id, list);
        for (const uint32_t handle : m_tree.foldersToWalk(list, folder.depth, kMaxDepth))
            m_folders.append({ MtpTree::objectId(handle), folder.storage, handle, folder.depth + 1 });
        while (list) {
            LIBMTP_file_t* next = list->next;
            LIBMTP_destroy_file_t(list);
            list = next;
        }
    }
    m_treeChanged.notify_all();
    // The next folder goes behind whatever was queued meanwhile (a read, a delete).
    post([this](LIBMTP_mtpdevice_t*) { walkStep(); });
}

Result MtpDevice::children(const QString& parent, QStringList* ids)
{
    std::unique_lock<std::mutex> lock(m_treeMutex);
    DeviceObject known;
    if (m_tree.object(parent, &known) && !known.folder) {
        ids->clear(); // a file has no children: no need to wait for the walk
        return kOk;
    }
    // The folder asked for is listed next.
    for (int i = 0; i < m_folders.size(); ++i) {
        if (m_folders.at(i).id == parent) {
            m_folders.move(i, 0);
            break;
        }
    }
    const bool listed = m_treeChanged.wait_for(
        lock, std::chrono::seconds(60), [&] { return m_tree.isListed(parent) || m_walked || m_gone; });
    if (!listed || m_gone)
        return kFailed;
    *ids = m_tree.children(parent);
    return kOk;
}

Result MtpDevice::properties(const QString& id, DeviceObject* object)
{
    std::lock_guard<std::mutex> lock(m_treeMutex);
    return m_tree.object(id, object) ? kOk : kNotFound;
}

Result MtpDevice::startBulk(quint64 context, const QStringList& ids)
{
    post([this, context, ids](LIBMTP_mtpdevice_t*) {
        deliver([context](IDeviceEventSink* sink) { sink->bulkStarted(context); });
        const Result result = readPropertiesInBatches(
            *this, ids, [this, context] { return m_cancelledBulk == context; },
            [this, context](const QList<DeviceObject>& batch) {
                deliver([context, batch](IDeviceEventSink* sink) { sink->bulkProgress(context, batch); });
            });
        deliver([context, result](IDeviceEventSink* sink) { sink->bulkEnded(context, result); });
    });
    return kOk;
}

Result MtpDevice::openStream(const QString& id, std::unique_ptr<IDeviceStream>* stream, qint64* optimalBuffer)
{
    bool storage = false;
    uint32_t handle = 0;
    DeviceObject object;
    if (!MtpTree::parseObjectId(id, &storage, &handle) || storage || properties(id, &object) != kOk
        || object.folder)
        return kNotFound;
    m_cancelled = false;
    *stream = std::make_unique<MtpStream>(this, handle, object.size);
    *optimalBuffer = kChunk;
    return kOk;
}

Result MtpDevice::remove(const QString& id)
{
    bool storage = false;
    uint32_t handle = 0;
    if (!MtpTree::parseObjectId(id, &storage, &handle) || storage)
        return kNotFound;
    const Result r = call([handle](LIBMTP_mtpdevice_t* device) {
        return LIBMTP_Delete_Object(device, handle) == 0 ? kOk : kFailed;
    });
    if (r != kOk)
        return r;
    {
        std::lock_guard<std::mutex> lock(m_treeMutex);
        m_tree.removeObject(id);
    }
    post([this, id](
             LIBMTP_mtpdevice_t*) { deliver([id](IDeviceEventSink* sink) { sink->objectRemoved(id); }); });
    return kOk;
}

void MtpDevice::advise(IDeviceEventSink* sink)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_sink = sink;
}

Result MtpDevice::call(const std::function<Result(LIBMTP_mtpdevice_t*)>& task)
{
    if (m_gone)
        return kFailed;
    std::promise<Result> done;
    std::future<Result> result = done.get_future();
    post([&](LIBMTP_mtpdevice_t* device) { done.set_value(task(device)); });
    return result.get();
}

void MtpDevice::post(Task task)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::move(task));
    }
    m_wake.notify_all();
}

void MtpDevice::deliver(const std::function<void(IDeviceEventSink*)>& event)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    if (m_sink)
        event(m_sink);
}

void MtpDevice::run()
{
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_wake.wait_for(
                lock, std::chrono::milliseconds(100), [this] { return m_quit || !m_queue.empty(); });
            if (m_quit)
                return;
            if (!m_queue.empty()) {
                task = std::move(m_queue.front());
                m_queue.pop_front();
            }
        }
        if (task)
            task(m_device);
        else if (!m_gone)
            readEvents();
    }
}

void MtpDevice::readEvents()
{
    if (!m_eventArmed) {
        m_eventArmed
            = LIBMTP_Read_Event_Async(
                  m_device,
                  [](int ret, LIBMTP_event_t event, uint32_t param, void* self) {
                      auto* device = static_cast<MtpDevice*>(self);
                      device->m_eventArmed = false;
                      if (ret < 0) {
                          device->m_gone = true;
                          device->m_treeChanged.notify_all();
                          device->deliver([](IDeviceEventSink* sink) { sink->deviceRemoved(); });
                          return;
                      }
                      const QString id = MtpTree::objectId(param);
                      if (event == LIBMTP_EVENT_OBJECT_ADDED) {
                          device->post([device, id, param](LIBMTP_mtpdevice_t* mtp) {
                              LIBMTP_file_t* file = LIBMTP_Get_Filemetadata(mtp, param);
                              if (!file)
                                  return;
                              {
                                  std::lock_guard<std::mutex> lock(device->m_treeMutex);
                                  device->m_tree.addObject(*file);
                              }
                              LIBMTP_destroy_file_t(file);
                              device->deliver([id](IDeviceEventSink* sink) { sink->objectAdded(id); });
                          });
                      } else if (event == LIBMTP_EVENT_OBJECT_REMOVED) {
                          {
                              std::lock_guard<std::mutex> lock(device->m_treeMutex);
                              device->m_tree.removeObject(id);
                          }
                          device->deliver([id](IDeviceEventSink* sink) { sink->objectRemoved(id); });
                      }
                  },
                  this)
            == 0;
    }
    timeval timeout { 0, 100000 };
    int completed = 0;
    LIBMTP_Handle_Events_Timeout_Completed(&timeout, &completed);
}
