#include "engine/fileperm.h"
#include "engine/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/replytarget.h"

namespace {

// A key being looked for on a thread of its own for the GUI thread.
struct KeyLookup
{
    std::mutex mutex;
    std::condition_variable found;
    bool done = false;
    bool abandoned = false; // the asker stopped waiting
    QString key;
};

// A key found after its asker gave up serves the next request for the file this long.
constexpr std::chrono::seconds kLandedLife(5);

} // namespace

struct FilePerm::Registry
{
    QMutex mutex;
    QHash<QString, std::shared_ptr<QSemaphore>> semaphores;

    std::mutex keysMutex;
    QHash<QString, std::shared_ptr<KeyLookup>> lookups;
    QHash<QString, std::pair<QString, std::chrono::steady_clock::time_point>> landed;

    // Drops the file's lock when nothing holds or waits for it any more: only the table
    // refers to it then, and a new one can be handed out only under the mutex.
    void prune(const QString& key)
    {
        QMutexLocker lock(&mutex);
        const auto it = semaphores.find(key);
        if (it != semaphores.end() && it.value().use_count() == 1
            && it.value()->available() == FilePerm::kExclusive)
            semaphores.erase(it);
    }
};

namespace {

// Keeps the semaphore alive for as long as a token refers to it, so a token may
// outlive the registry that handed it out. The last token of a file lets its lock go.
struct TokenHolder
{
    TokenHolder(std::weak_ptr<FilePerm::Registry> r, QString k, std::shared_ptr<QSemaphore> s, int n)
        : registry(std::move(r))
        , key(std::move(k))
        , semaphore(std::move(s))
        , units(n)
        , releaser(semaphore.get(), n)
    { }
    ~TokenHolder()
    {
        // The units go back first, then this holder's reference, then the lock may go.
        if (QSemaphore* held = releaser.cancel())
            held->release(units);
        semaphore.reset();
        if (const std::shared_ptr<FilePerm::Registry> alive = registry.lock())
            alive->prune(key);
    }

    std::weak_ptr<FilePerm::Registry> registry;
    QString key;
    std::shared_ptr<QSemaphore> semaphore;
    int units;
    QSemaphoreReleaser releaser;
};

bool onGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

FilePerm::FilePerm(QObject* parent)
    : QObject(parent)
    , m_registry(std::make_shared<Registry>())
    , m_replies(std::make_shared<ReplyTarget>(this))
    , m_keyFunction([](const QString& pathOrUrl) { return FilePerm::lockKey(pathOrUrl); })
{ }

FilePerm::~FilePerm()
{
    m_replies->close();
}

void FilePerm::setKeyFunction(KeyFunction function)
{
    m_keyFunction = std::move(function);
}

int FilePerm::keyLookups() const
{
    std::lock_guard<std::mutex> lock(m_registry->keysMutex);
    return m_registry->lookups.size();
}

QString FilePerm::keyOf(const QString& pathOrUrl)
{
    if (pathOrUrl.isEmpty())
        return pathOrUrl;
    return onGuiThread() ? keyOffThread(pathOrUrl) : m_keyFunction(pathOrUrl);
}

QString FilePerm::keyOffThread(const QString& pathOrUrl)
{
    Registry& registry = *m_registry;
    std::shared_ptr<KeyLookup> lookup;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(registry.keysMutex);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = registry.landed.begin(); it != registry.landed.end();) {
            if (now - it->second > kLandedLife)
                it = registry.landed.erase(it);
            else
                ++it;
        }
        const auto landed = registry.landed.constFind(pathOrUrl);
        if (landed != registry.landed.constEnd())
            return landed->first;
        lookup = registry.lookups.value(pathOrUrl);
        if (!lookup) {
            if (registry.lookups.size() >= kMaxKeyLookups) {
                qCWarning(lcEngine) << "File busy: too many files being looked for" << pathOrUrl;
                return QString();
            }
            lookup = std::make_shared<KeyLookup>();
            registry.lookups.insert(pathOrUrl, lookup);
            fresh = true;
        }
    }
    if (fresh) {
        // Detached: a lookup that hangs on its drive holds nobody.
        std::thread([self = this, registry = m_registry, replies = m_replies, function = m_keyFunction,
                        lookup, pathOrUrl] {
            const QString key = function(pathOrUrl);
            bool abandoned = false;
            {
                std::lock_guard<std::mutex> lock(registry->keysMutex);
                std::lock_guard<std::mutex> found(lookup->mutex);
                lookup->done = true;
                lookup->key = key;
                abandoned = lookup->abandoned;
                registry->lookups.remove(pathOrUrl);
                if (abandoned)
                    registry->landed.insert(pathOrUrl, { key, std::chrono::steady_clock::now() });
            }
            lookup->found.notify_all();
            if (abandoned)
                // Runs only while the registry is there (queued to it).
                replies->post([self, pathOrUrl, key] { emit self->keyResolved(pathOrUrl, key); });
        }).detach();
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (fresh)
        lookup->found.wait_for(
            lock, std::chrono::milliseconds(qMax(0, m_guiKeyWaitMs)), [&] { return lookup->done; });
    if (lookup->done)
        return lookup->key;
    lookup->abandoned = true;
    qCWarning(lcEngine) << "File busy: its drive does not answer" << pathOrUrl;
    return QString();
}

QString FilePerm::lockKey(const QString& pathOrUrl)
{
    QString path = pathOrUrl;
    if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(path);
        if (url.isLocalFile())
            path = url.toLocalFile();
    }
    if (path.isEmpty())
        return path;
    path = QDir::cleanPath(QDir::fromNativeSeparators(QFileInfo(path).absoluteFilePath()));

    // An existing file is known by its canonical path; a file about to be created by its
    // canonical folder and its name, which is what its canonical path will be.
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = info.absoluteDir().canonicalPath();
    if (!folder.isEmpty())
        return folder + QLatin1Char('/') + info.fileName();
    return path;
}

QString FilePerm::lockKey(const QUrl& url)
{
    if (url.isLocalFile())
        return lockKey(url.toLocalFile());
    return lockKey(url.toString());
}

std::shared_ptr<QSemaphore> FilePerm::semaphoreFor(const QString& key)
{
    QMutexLocker lock(&m_registry->mutex);
    auto it = m_registry->semaphores.find(key);
    if (it == m_registry->semaphores.end())
        it = m_registry->semaphores.insert(key, std::make_shared<QSemaphore>(kExclusive));
    return it.value();
}

FileToken FilePerm::hold(const QString& key, std::shared_ptr<QSemaphore> semaphore, int units)
{
    auto holder = std::make_shared<TokenHolder>(m_registry, key, std::move(semaphore), units);
    return FileToken(holder, &holder->releaser);
}

FileToken FilePerm::acquire(const QString& key, int units, int timeoutMs)
{
    if (units < 1 || units > kExclusive) {
        qCWarning(lcEngine) << "FilePerm: bad unit count" << units << "for" << key;
        return {};
    }
    std::shared_ptr<QSemaphore> semaphore = semaphoreFor(key);
    // The registry mutex is not held here, so other files and releases go on.
    if (timeoutMs < 0) {
        semaphore->acquire(units);
    } else if (!semaphore->tryAcquire(units, timeoutMs)) {
        qCWarning(lcEngine) << "File busy" << key << "units" << units;
        // The holders may all have gone meanwhile, leaving this wait the last user.
        semaphore.reset();
        m_registry->prune(key);
        return {};
    }
    return hold(key, std::move(semaphore), units);
}

FileToken FilePerm::acquireFileSemaphore(const QString& path, int units)
{
    const QString key = keyOf(path);
    if (key.isEmpty() && !path.isEmpty())
        return {}; // busy: its key is not in yet
    return acquire(key, units, onGuiThread() ? m_guiWaitMs : -1);
}

FileToken FilePerm::acquireFileSemaphore(const QUrl& url, int units)
{
    return acquireFileSemaphore(url.isLocalFile() ? url.toLocalFile() : url.toString(), units);
}

FileToken FilePerm::acquireUnlessStopped(
    const QUrl& url, int units, const std::function<bool()>& stopped, int pollMs)
{
    const QString key = keyOf(url.isLocalFile() ? url.toLocalFile() : url.toString());
    if (key.isEmpty() && !url.isEmpty())
        return {};
    if (units < 1 || units > kExclusive)
        return acquire(key, units, 0);
    std::shared_ptr<QSemaphore> semaphore = semaphoreFor(key);
    while (!semaphore->tryAcquire(units, qMax(1, pollMs))) {
        if (stopped && stopped()) {
            semaphore.reset();
            m_registry->prune(key);
            return {};
        }
    }
    return hold(key, std::move(semaphore), units);
}

FileToken FilePerm::tryAcquireFileSemaphore(const QString& path, int units, int timeoutMs)
{
    const QString key = keyOf(path);
    if (key.isEmpty() && !path.isEmpty())
        return {};
    return acquire(key, units, timeoutMs);
}

int FilePerm::available(const QString& path)
{
    const QString key = m_keyFunction(path);
    QMutexLocker lock(&m_registry->mutex);
    const auto it = m_registry->semaphores.constFind(key);
    return it == m_registry->semaphores.constEnd() ? kExclusive : it.value()->available();
}

int FilePerm::lockCount() const
{
    QMutexLocker lock(&m_registry->mutex);
    return m_registry->semaphores.size();
}
