#include "engine/fileperm.h"
#include "engine/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace {

// Keeps the semaphore alive for as long as a token refers to it, so a token may
// outlive the registry that handed it out.
struct TokenHolder
{
    TokenHolder(std::shared_ptr<QSemaphore> s, int units)
        : semaphore(std::move(s))
        , releaser(semaphore.get(), units)
    { }
    std::shared_ptr<QSemaphore> semaphore;
    QSemaphoreReleaser releaser; // declared last: releases before the semaphore may go
};

bool onGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

FilePerm::FilePerm(QObject* parent)
    : QObject(parent)
{ }

FilePerm::~FilePerm() = default;

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
    QMutexLocker lock(&m_mutex);
    auto it = m_semaphores.find(key);
    if (it == m_semaphores.end())
        it = m_semaphores.insert(key, std::make_shared<QSemaphore>(kExclusive));
    return it.value();
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
        return {};
    }
    auto holder = std::make_shared<TokenHolder>(std::move(semaphore), units);
    return FileToken(holder, &holder->releaser);
}

FileToken FilePerm::acquireFileSemaphore(const QString& path, int units)
{
    return acquire(lockKey(path), units, onGuiThread() ? m_guiWaitMs : -1);
}

FileToken FilePerm::acquireFileSemaphore(const QUrl& url, int units)
{
    return acquire(lockKey(url), units, onGuiThread() ? m_guiWaitMs : -1);
}

FileToken FilePerm::acquireUnlessStopped(
    const QUrl& url, int units, const std::function<bool()>& stopped, int pollMs)
{
    const QString key = lockKey(url);
    if (units < 1 || units > kExclusive)
        return acquire(key, units, 0);
    std::shared_ptr<QSemaphore> semaphore = semaphoreFor(key);
    while (!semaphore->tryAcquire(units, qMax(1, pollMs))) {
        if (stopped && stopped())
            return {};
    }
    auto holder = std::make_shared<TokenHolder>(std::move(semaphore), units);
    return FileToken(holder, &holder->releaser);
}

FileToken FilePerm::tryAcquireFileSemaphore(const QString& path, int units, int timeoutMs)
{
    return acquire(lockKey(path), units, timeoutMs);
}

int FilePerm::available(const QString& path)
{
    return semaphoreFor(lockKey(path))->available();
}
