#include "platform/folderdevice.h"

#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace PortableDevice;

namespace {

const QString kStorage = QStringLiteral("s1");
const QString kFilePrefix = QStringLiteral("f:");

// Reads a file, failing once `failAfter` bytes were read or the device is unplugged.
class FolderStream : public IDeviceStream
{
public:
    FolderStream(const QString& path, std::shared_ptr<FolderDevice::Controls> controls)
        : m_file(path)
        , m_controls(std::move(controls))
    { }
    bool open() { return m_file.open(QIODevice::ReadOnly); }
    Result read(char* buffer, qint64 length, qint64* got) override
    {
        *got = 0;
        m_controls->call();
        const FolderDevice::Faults faults = m_controls->faults();
        if (m_controls->unplugged())
            return kFailed;
        if (faults.failReadAfter >= 0) {
            if (m_done >= faults.failReadAfter)
                return kFailed;
            length = std::min(length, faults.failReadAfter - m_done);
        }
        const qint64 n = m_file.read(buffer, length);
        if (n < 0)
            return kFailed;
        m_done += n;
        *got = n;
        return kOk;
    }
    Result stat(qint64* size) override
    {
        const FolderDevice::Faults faults = m_controls->faults();
        if (faults.failStat)
            return kFailed;
        *size = m_file.size() + faults.sizeSurplus;
        return kOk;
    }

private:
    QFile m_file;
    std::shared_ptr<FolderDevice::Controls> m_controls;
    qint64 m_done = 0;
};

} // namespace

FolderDevice::Faults FolderDevice::Controls::faults() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults;
}

void FolderDevice::Controls::setFaults(const Faults& faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults;
}

void FolderDevice::Controls::announceAdded(const QString& relativePath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (FolderDevice* device : qAsConst(m_devices)) {
        const QString id = kFilePrefix + relativePath;
        device->post([id](IDeviceEventSink* sink) { sink->objectAdded(id); });
    }
}

void FolderDevice::Controls::announceRemoved(const QString& relativePath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (FolderDevice* device : qAsConst(m_devices)) {
        const QString id = kFilePrefix + relativePath;
        device->post([id](IDeviceEventSink* sink) { sink->objectRemoved(id); });
    }
}

void FolderDevice::Controls::unplug()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unplugged = true;
    for (FolderDevice* device : qAsConst(m_devices))
        device->post([](IDeviceEventSink* sink) { sink->deviceRemoved(); });
}

bool FolderDevice::Controls::unplugged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unplugged;
}

void FolderDevice::Controls::hold()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_held = true;
}

void FolderDevice::Controls::release()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = false;
    }
    m_released.notify_all();
}

int FolderDevice::Controls::heldCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heldCalls;
}

void FolderDevice::Controls::call()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_held) {
        ++m_heldCalls;
        m_released.wait(lock, [this] { return !m_held; });
        --m_heldCalls;
    }
    const int delay = m_faults.callDelayMs;
    lock.unlock();
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

FolderDevice::FolderDevice(const QString& id, const QString& folder, std::shared_ptr<Controls> controls)
    : m_id(id)
    , m_folder(QDir(folder).absolutePath())
    , m_controls(std::move(controls))
{
    m_thread = std::thread([this] { run(); });
    std::lock_guard<std::mutex> lock(m_controls->m_mutex);
    m_controls->m_devices << this;
}

FolderDevice::~FolderDevice()
{
    {
        std::lock_guard<std::mutex> lock(m_controls->m_mutex);
        m_controls->m_devices.removeAll(this);
    }
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

QString FolderDevice::pathOf(const QString& id) const
{
    if (id == kStorage)
        return m_folder;
    if (!id.startsWith(kFilePrefix))
        return QString();
    const QString relative = id.mid(kFilePrefix.size());
    const QStringList parts = relative.split(QLatin1Char('/'));
    for (const QString& part : parts)
        if (!isSingleNameComponent(part))
            return QString();
    return m_folder + QLatin1Char('/') + relative;
}

Result FolderDevice::children(const QString& parent, QStringList* ids)
{
    ids->clear();
    m_controls->call();
    if (m_controls->unplugged())
        return kFailed;
    if (parent == QLatin1String(kRootId)) {
        *ids << kStorage;
        return kOk;
    }
    const QString path = pathOf(parent);
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return kNotFound;
    const QString prefix = parent == kStorage ? kFilePrefix : parent + QLatin1Char('/');
    const QStringList names
        = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    const QString root = QFileInfo(m_folder).canonicalFilePath();
    for (const QString& name : names) {
        // A link to a folder of the device (or to a folder that holds it) would list the
        // same objects again under longer names, for ever: it is left out.
        const QFileInfo info(path + QLatin1Char('/') + name);
        if (info.isSymLink() && info.isDir()) {
            const QString target = info.canonicalFilePath();
            const QString here = QFileInfo(path).canonicalFilePath();
            if (target.isEmpty() || target == root || root.startsWith(target + QLatin1Char('/'))
                || target.startsWith(root + QLatin1Char('/')) || here.startsWith(target + QLatin1Char('/'))) {
                qCWarning(lcPlatform)
                    << "Folder link of" << m_id << "leads back into the device, not listed:" << prefix + name;
                continue;
            }
        }
        *ids << prefix + name;
    }
    return kOk;
}

Result FolderDevice::properties(const QString& id, DeviceObject* object)
{
    m_controls->call();
    const QString path = pathOf(id);
    if (path.isEmpty() || m_controls->unplugged())
        return kNotFound;
    const QFileInfo info(path);
    if (!info.exists())
        return kNotFound;
    const Faults faults = m_controls->faults();
    const QString name = id == kStorage ? QStringLiteral("Storage") : info.fileName();
    if (!faults.failPropertiesOf.isEmpty() && name == faults.failPropertiesOf)
        return kFailed;
    object->id = id;
    object->name = name;
    object->originalFileName = name;
    object->folder = info.isDir();
    object->sizeKnown = !object->folder;
    object->size = object->folder ? 0 : info.size() + faults.sizeSurplus;
    object->modified = object->folder ? QDateTime() : info.lastModified();
    return kOk;
}

bool FolderDevice::hasBulk() const
{
    return !m_controls->faults().noBulk;
}

Result FolderDevice::startBulk(quint64 context, const QStringList& ids)
{
    if (!hasBulk())
        return kFailed;
    post([this, context, ids](IDeviceEventSink* sink) {
        sink->bulkStarted(context);
        const Result result = readPropertiesInBatches(
            *this, ids, [this, context] { return m_cancelledBulk == context; },
            [sink, context](const QList<DeviceObject>& batch) { sink->bulkProgress(context, batch); });
        sink->bulkEnded(context, result);
    });
    return kOk;
}

void FolderDevice::cancelBulk(quint64 context)
{
    m_cancelledBulk = context;
}

Result FolderDevice::openStream(
    const QString& id, std::unique_ptr<IDeviceStream>* stream, qint64* optimalBuffer)
{
    m_controls->call();
    const QString path = pathOf(id);
    if (path.isEmpty() || m_controls->unplugged() || !QFileInfo(path).isFile())
        return kNotFound;
    auto file = std::make_unique<FolderStream>(path, m_controls);
    if (!file->open())
        return kFailed;
    *stream = std::move(file);
    *optimalBuffer = kOptimalBuffer;
    return kOk;
}

Result FolderDevice::remove(const QString& id)
{
    m_controls->call();
    const QString path = pathOf(id);
    if (path.isEmpty() || id == kStorage || m_controls->unplugged())
        return kNotFound;
    if (m_controls->faults().failDelete)
        return kFailed;
    const QFileInfo info(path);
    const bool removed = info.isDir() ? QDir().rmdir(path) : QFile::remove(path);
    if (!removed)
        return kFailed;
    post([id](IDeviceEventSink* sink) { sink->objectRemoved(id); });
    return kOk;
}

void FolderDevice::advise(IDeviceEventSink* sink)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_sink = sink;
}

void FolderDevice::post(std::function<void(IDeviceEventSink*)> task)
{
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::move(task));
    }
    m_wake.notify_all();
}

void FolderDevice::run()
{
    for (;;) {
        std::function<void(IDeviceEventSink*)> task;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_quit)
                return;
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
        std::lock_guard<std::mutex> lock(m_sinkMutex);
        if (m_sink)
            task(m_sink);
    }
}

QString FolderDeviceManager::attach(
    const QString& folder, const QString& friendlyName, const QString& manufacturer)
{
    const QString path = QDir(folder).absolutePath();
    const QString id = QStringLiteral("folder:") + path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices.insert(id,
            Entry { { id, friendlyName, manufacturer }, path, std::make_shared<FolderDevice::Controls>() });
        m_order.removeAll(id);
        m_order << id;
    }
    emit devicesChanged();
    return id;
}

void FolderDeviceManager::detach(const QString& id)
{
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entry = m_devices.take(id);
        m_order.removeAll(id);
    }
    if (entry.controls)
        entry.controls->unplug();
    emit devicesChanged();
}

Result FolderDeviceManager::refresh()
{
    QList<std::shared_ptr<FolderDevice::Controls>> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Entry& entry : qAsConst(m_devices))
            if (entry.controls->faults().askedByRefresh)
                all << entry.controls;
    }
    for (const std::shared_ptr<FolderDevice::Controls>& controls : qAsConst(all))
        controls->call();
    return kOk;
}

QList<PortableDeviceInfo> FolderDeviceManager::devices()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<PortableDeviceInfo> list;
    for (const QString& id : qAsConst(m_order))
        list << m_devices.value(id).info;
    return list;
}

Result FolderDeviceManager::open(const QString& id, bool readOnly, std::unique_ptr<IPortableDevice>* device)
{
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_devices.constFind(id);
        if (it == m_devices.constEnd())
            return kNotFound;
        entry = *it;
    }
    entry.controls->call();
    if (!QFileInfo(entry.folder).isDir())
        return kNotFound;
    FolderDevice::Faults faults = entry.controls->faults();
    if (faults.denyOpenOnce && !readOnly) {
        faults.denyOpenOnce = false;
        entry.controls->setFaults(faults);
        return kAccessDenied;
    }
    *device = std::make_unique<FolderDevice>(id, entry.folder, entry.controls);
    return kOk;
}
