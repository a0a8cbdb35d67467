#include "capture/winsessionproxy.h"

#include "capture/logging.h"
#include "capture/sessionlistener.h"

#include <QMutexLocker>
#include <QThread>

#include <cerrno>
#include <cstring>

using namespace PortableDevice;

WinSessionProxy::WinSessionProxy(
    DeviceSession::Opener opener, const CaptureRequest& request, SessionListener* listener, IFileCalls& calls)
    : m_link(std::make_shared<DeviceSession::Link>())
    , m_listener(listener)
{
    m_link->listener = listener;
    m_link->owner = this;
    m_commits.setMaxThreadCount(1);
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("device"));
    m_session = new DeviceSession(std::move(opener), request, m_link, calls);
    m_session->moveToThread(m_thread);
    // Both go once the thread ends, which may be after this object is gone.
    connect(m_thread, &QThread::finished, m_session, &QObject::deleteLater);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start();
    post([](DeviceSession* session) { session->open(); });
}

WinSessionProxy::WinSessionProxy(std::unique_ptr<IPortableDevice> device, const CaptureRequest& request,
    SessionListener* listener, IFileCalls& calls)
    : WinSessionProxy(
        [holder = std::make_shared<std::unique_ptr<IPortableDevice>>(std::move(device))](
            bool, std::unique_ptr<IPortableDevice>* out) {
            // Handed over once; a second open finds none.
            *out = std::move(*holder);
            return *out ? kOk : kFailed;
        },
        request, listener, calls)
{ }

WinSessionProxy::~WinSessionProxy()
{
    cancelPendingRequests();
    {
        // From here on the device thread tells no one anything.
        QMutexLocker lock(&m_link->mutex);
        m_link->listener = nullptr;
        m_link->owner = nullptr;
    }
    post([](DeviceSession* session) { session->shutdown(); });
    // Commits under way finish (their folder's fsync is short); their answers are dropped.
    m_commits.waitForDone();
}

void WinSessionProxy::post(std::function<void(DeviceSession*)> f)
{
    DeviceSession* session = m_session;
    QMetaObject::invokeMethod(
        session, [session, f] { f(session); }, Qt::QueuedConnection);
}

quint64 WinSessionProxy::await(DeviceSession::Request request)
{
    request.serial = ++m_lastSerial;
    QMutexLocker lock(&m_link->mutex);
    m_link->awaited.insert(request.serial, request);
    return request.serial;
}

void WinSessionProxy::start()
{
    post([](DeviceSession* session) { session->start(); });
}

void WinSessionProxy::transfer(QUrl target, Recipe recipe)
{
    DeviceSession::Request request;
    request.kind = DeviceSession::ItemTransfer;
    request.recipe = recipe;
    request.target = target;
    request.path = target.toLocalFile();
    const quint64 serial = await(request);
    post([target, recipe, serial](DeviceSession* session) { session->transfer(target, recipe, serial); });
}

void WinSessionProxy::fetchPreset(QString path, QString objectId, uint32_t size)
{
    const DeviceSession::Request request { DeviceSession::PresetFile, Recipe(), objectId,
        QUrl::fromLocalFile(path), path, qint64(size), {}, 0 };
    post([request](DeviceSession* session) { session->enqueue(request); });
}

void WinSessionProxy::remove(QString remoteId)
{
    post([remoteId](DeviceSession* session) { session->remove(remoteId); });
}

void WinSessionProxy::fetchVideo(VideosModel::DownloadRequest video)
{
    DeviceSession::Request request { DeviceSession::Video, Recipe(), video.objectID,
        QUrl::fromLocalFile(video.path), video.path, video.size, video, 0 };
    request.serial = await(request);
    post([request](DeviceSession* session) { session->enqueue(request); });
}

void WinSessionProxy::cancelPendingRequests()
{
    QList<DeviceSession::Request> waiting;
    {
        QMutexLocker lock(&m_link->mutex);
        waiting = m_link->awaited.values();
        m_link->awaited.clear();
        // A read blocked on the device ends now with a failure.
        if (m_link->device)
            m_link->device->cancel();
    }
    std::sort(waiting.begin(), waiting.end(),
        [](const DeviceSession::Request& a, const DeviceSession::Request& b) { return a.serial < b.serial; });
    for (const DeviceSession::Request& request : qAsConst(waiting))
        DeviceSession::reportCancelled(m_listener, request);
    post([](DeviceSession* session) { session->cancel(); });
}

void WinSessionProxy::commit(const DeviceSession::Request& request, std::shared_ptr<TransferFile> file)
{
    {
        QMutexLocker lock(&m_link->mutex);
        if (request.serial && !m_link->awaited.contains(request.serial))
            return; // cancelled: the file is discarded with its last reference
    }
    // fsync, rename and the folder's fsync may block for long on a busy disk: they run on a
    // thread of their own and the result comes back here. The image service lets go of the
    // target until it is replaced.
    std::shared_ptr<QSemaphoreReleaser> eviction = m_bailiff ? m_bailiff->evictPath(request.path) : nullptr;
    {
        QMutexLocker lock(&m_waitingMutex);
        m_waiting.append({ request, std::move(file), std::move(eviction) });
    }
    // One task per copy on a single thread: the first to run takes every copy waiting then,
    // the later ones may find none left.
    m_commits.start([this] { commitWaiting(); });
}

void WinSessionProxy::commitWaiting()
{
    QList<WaitingCommit> batch;
    {
        QMutexLocker lock(&m_waitingMutex);
        batch.swap(m_waiting);
    }
    if (batch.isEmpty())
        return;
    QVector<bool> placed(batch.size());
    QStringList folders;
    for (int i = 0; i < batch.size(); ++i) {
        placed[i] = batch[i].file->place();
        batch[i].eviction.reset();
        if (placed[i] && !folders.contains(batch[i].file->folder()))
            folders << batch[i].file->folder();
    }
    // A name is on the device only once its folder is: no copy is answered before that.
    QStringList unsynced;
    for (const QString& folder : qAsConst(folders)) {
        for (const WaitingCommit& waiting : qAsConst(batch)) {
            if (waiting.file->folder() != folder)
                continue;
            if (!waiting.file->syncFolder()) {
                qCWarning(lcCapture) << "Cannot force the folder" << folder << strerror(errno);
                unsynced << folder;
            }
            break;
        }
    }
    QList<QPair<DeviceSession::Request, Result>> answers;
    for (int i = 0; i < batch.size(); ++i) {
        const Result result = !placed[i]                 ? batch[i].file->placeResult()
            : unsynced.contains(batch[i].file->folder()) ? kFailed
                                                         : kOk;
        answers.append({ batch[i].request, result });
    }
    QMetaObject::invokeMethod(
        this,
        [this, answers] {
            // One journal transaction for the copies forced together.
            if (m_listener)
                emit m_listener->notifyBatch(true);
            for (const auto& a : answers)
                answer(a.first, a.second);
            if (m_listener)
                emit m_listener->notifyBatch(false);
        },
        Qt::QueuedConnection);
}

void WinSessionProxy::answer(const DeviceSession::Request& request, Result result)
{
    {
        QMutexLocker lock(&m_link->mutex);
        if (!m_link->take(request.serial))
            return;
    }
    DeviceSession::report(m_listener, request, result);
}
