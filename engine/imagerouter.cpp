#include "engine/imagerouter.h"

#include "engine/streamreader.h"
#include "engine/vrxmetadata.h"

namespace {
// The types the routers' signals carry across threads.
void registerRouterTypes()
{
    static const int once = [] {
        qRegisterMetaType<VrxMessage>("VrxMessage");
        qRegisterMetaType<VrxMetadata>("VrxMetadata");
        qRegisterMetaType<std::shared_ptr<StreamReader>>("std::shared_ptr<StreamReader>");
        return 0;
    }();
    Q_UNUSED(once);
}
} // namespace

ImageRouter::ImageRouter(QObject* parent)
    : QObject(parent)
{
    registerRouterTypes();
    // Automatic connections: an emission on an engine thread is queued to this thread,
    // and subclasses' overrides of the virtual slots take effect.
    connect(this, &ImageRouter::notifyImageOutputSignal, this, &ImageRouter::onImageOutputSlot);
    connect(this, &ImageRouter::notifyFileInvalidSignal, this, &ImageRouter::onFileInvalidSlot);
}

ImageRouter::~ImageRouter()
{
    detachAll();
}

void ImageRouter::addListener(ImageClient* client)
{
    if (!client)
        return;
    QObject* object = client->object();
    int count;
    {
        QMutexLocker lock(&m_mutex);
        if (m_listeners.contains(client))
            return;
        m_listeners.insert(client, Listener { QPointer<QObject>(object), object != nullptr });
        count = m_listeners.size();
    }
    if (object)
        connect(object, &QObject::destroyed, this, &ImageRouter::listenerDestroyed, Qt::UniqueConnection);
    onListenerCountChanged(count);
}

void ImageRouter::removeListener(ImageClient* client)
{
    if (!client)
        return;
    int count;
    QObject* object = nullptr;
    {
        QMutexLocker lock(&m_mutex);
        auto it = m_listeners.find(client);
        if (it == m_listeners.end())
            return;
        object = it.value().object.data();
        m_listeners.erase(it);
        count = m_listeners.size();
    }
    if (object) {
        // Another client may share the object; keep the connection while one does.
        bool shared = false;
        {
            QMutexLocker lock(&m_mutex);
            for (auto it = m_listeners.cbegin(); it != m_listeners.cend(); ++it)
                shared = shared || it.value().object.data() == object;
        }
        if (!shared)
            disconnect(object, &QObject::destroyed, this, &ImageRouter::listenerDestroyed);
    }
    onListenerCountChanged(count);
}

void ImageRouter::listenerDestroyed(QObject* object)
{
    if (!object)
        return;
    int count;
    {
        QMutexLocker lock(&m_mutex);
        bool erased = false;
        for (auto it = m_listeners.begin(); it != m_listeners.end();) {
            // The guarded pointer is already cleared while the object dies; a client
            // registered without an object is never removed here.
            if (it.value().hasObject && (it.value().object.isNull() || it.value().object.data() == object)) {
                it = m_listeners.erase(it);
                erased = true;
            } else {
                ++it;
            }
        }
        if (!erased)
            return;
        count = m_listeners.size();
    }
    onListenerCountChanged(count);
}

void ImageRouter::clearListeners()
{
    detachAll();
}

int ImageRouter::listenerCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_listeners.size();
}

bool ImageRouter::isShown() const
{
    for (const Entry& entry : snapshot()) {
        if (stillRegistered(entry) && entry.client->showsOutput())
            return true;
    }
    return false;
}

bool ImageRouter::hasListener(ImageClient* client) const
{
    QMutexLocker lock(&m_mutex);
    return m_listeners.contains(client);
}

void ImageRouter::kind(int& kind) const
{
    kind = 0;
}

void ImageRouter::onListenerCountChanged(int) { }

void ImageRouter::onImageOutputSlot(VrxMessage message)
{
    sendOutput(message);
}

void ImageRouter::onFileInvalidSlot(QUrl location)
{
    sendInvalid(location);
}

std::vector<ImageRouter::Entry> ImageRouter::snapshot() const
{
    QMutexLocker lock(&m_mutex);
    std::vector<Entry> entries;
    entries.reserve(size_t(m_listeners.size()));
    for (auto it = m_listeners.cbegin(); it != m_listeners.cend(); ++it)
        entries.push_back(Entry { it.key(), it.value().object, it.value().hasObject });
    return entries;
}

bool ImageRouter::stillRegistered(const Entry& entry) const
{
    if (entry.hasObject && entry.object.isNull())
        return false;
    QMutexLocker lock(&m_mutex);
    return m_listeners.contains(entry.client);
}

void ImageRouter::sendOutput(const VrxMessage& message)
{
    // A listener may add or remove listeners, or destroy one, while it is called.
    for (const Entry& entry : snapshot()) {
        if (stillRegistered(entry))
            entry.client->imageOutput(message);
    }
}

void ImageRouter::sendInvalid(const QUrl& location)
{
    for (const Entry& entry : snapshot()) {
        if (stillRegistered(entry))
            entry.client->fileInvalid(location);
    }
}

void ImageRouter::detachAll()
{
    QHash<ImageClient*, Listener> former;
    {
        QMutexLocker lock(&m_mutex);
        former.swap(m_listeners);
    }
    std::vector<Entry> entries;
    for (auto it = former.cbegin(); it != former.cend(); ++it) {
        if (!it.value().object.isNull())
            disconnect(it.value().object.data(), &QObject::destroyed, this, &ImageRouter::listenerDestroyed);
        entries.push_back(Entry { it.key(), it.value().object, it.value().hasObject });
    }
    for (const Entry& entry : entries) {
        // A listener destroyed by an earlier one's detachment is not called.
        if (entry.hasObject && entry.object.isNull())
            continue;
        entry.client->routerDetached(this);
    }
}
