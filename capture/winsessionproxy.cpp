#include "capture/winsessionproxy.h"

#include "capture/filekind.h"
#include "capture/logging.h"
#include "capture/sessionlistener.h"
#include "core/appsettings.h"
#include "core/texthelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <limits>

using namespace PortableDevice;

namespace {

QByteArray fileKey(const QString& name)
{
    return fileKeyDocument(name).toJson(QJsonDocument::Compact);
}

} // namespace

WinSessionProxy::WinSessionProxy(std::unique_ptr<IPortableDevice> device, const CaptureRequest& request,
    SessionListener* listener, IFileCalls& calls)
    : m_device(std::move(device))
    , m_listener(listener)
    , m_calls(calls)
    , m_reserved(request.reserved.begin(), request.reserved.end())
    , m_dataFolder(request.data.absolutePath())
{
    connect(this, &WinSessionProxy::tomorrowIsAnotherDay, this, &WinSessionProxy::nextMorning,
        Qt::QueuedConnection);
    m_bulk = m_device->hasBulk();
    m_commits.setMaxThreadCount(1);
    qCDebug(lcCapture) << "Advise" << m_device->id();
    m_device->advise(this);
}

WinSessionProxy::~WinSessionProxy()
{
    // No callback may reach this object once it goes: stopping waits for a running one.
    m_device->advise(nullptr);
    cancelPendingRequests();
    m_commits.waitForDone();
}

void WinSessionProxy::start()
{
    qCDebug(lcCapture) << "Capture request" << m_device->id();
    emit m_listener->notifyEnumerated(false);
    listChildren(QLatin1String(kRootId));
    schedule();
}

void WinSessionProxy::transfer(QUrl target, Recipe recipe)
{
    const auto it = m_files.constFind(recipe.recipe.toJson(QJsonDocument::Compact));
    if (it == m_files.constEnd()) {
        emit m_listener->notifyObstacle(target, recipe, IFileSink::SrcLost);
        return;
    }
    qCDebug(lcCapture) << "item found" << it->remoteId << it->fileName;
    m_requests << Request { ItemTransfer, recipe, it->remoteId, target, target.toLocalFile(), it->fileSize,
        {} };
    emit m_listener->notifyProgress(target, recipe, ProgressRatio(0, it->fileSize));
    schedule();
}

void WinSessionProxy::fetchPreset(QString path, QString objectId, uint32_t size)
{
    m_requests << Request { PresetFile, Recipe(), objectId, QUrl::fromLocalFile(path), path, qint64(size),
        {} };
    schedule();
}

void WinSessionProxy::remove(QString remoteId)
{
    m_removals << remoteId;
    schedule();
}

void WinSessionProxy::fetchVideo(VideosModel::DownloadRequest request)
{
    m_requests << Request { Video, Recipe(), request.objectID, QUrl::fromLocalFile(request.path),
        request.path, request.size, request };
    schedule();
}

void WinSessionProxy::cancelPendingRequests()
{
    qCDebug(lcCapture) << QThread::currentThreadId() << "cancelPendingRequests";
    if (m_bulkContext) {
        m_device->cancelBulk(m_bulkContext);
        m_bulkContext = 0;
    }
    m_device->cancel();
    QList<Request> dropped = m_requests;
    m_requests.clear();
    if (m_copying) {
        dropped.prepend(m_current);
        finish(true);
    }
    for (const Request& request : qAsConst(dropped))
        reportCancelled(request);
}

void WinSessionProxy::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    emit tomorrowIsAnotherDay();
}

void WinSessionProxy::nextMorning()
{
    m_scheduled = false;
    if (m_bulkContext)
        return;
    m_frame.restart();
    if (!m_copying) {
        if (!m_removals.isEmpty())
            deleteRemovals();
        if (!m_requests.isEmpty())
            startTransfer();
    }
    while (m_copying) {
        if (!inBudget()) {
            schedule();
            if (m_current.kind == ItemTransfer || m_current.kind == Video)
                break;
        }
        Result result = copyChunk();
        if (result == kOk && m_written < m_readLimit)
            continue;
        if (result != kOk)
            qCWarning(lcCapture) << "Transfer" << QString::number(result, 16) << m_current.objectId;
        const Request done = m_current;
        if (finish(result != kOk))
            commit(done);
        else
            report(done, result == kOk ? kFailed : result);
        if (!m_requests.isEmpty())
            schedule();
    }
    if (m_copying && m_current.kind == ItemTransfer)
        emit m_listener->notifyProgress(
            m_current.target, m_current.recipe, ProgressRatio(m_written, m_expected));
    else if (m_copying && m_current.kind == Video)
        emit m_listener->reportProgress(m_written);

    const bool hadIds = !m_pendingIds.isEmpty();
    while (inBudget() && !m_pendingIds.isEmpty()) {
        const QString id = m_pendingIds.takeFirst();
        if (examine(id)) {
            listChildren(id);
            emit m_listener->notifyDeviceStarted();
        }
    }
    if (!m_pendingIds.isEmpty()) {
        schedule();
    } else if (m_bulk && !m_bulkIds.isEmpty()) {
        if (inBudget()) {
            // One bulk read for every object found in the walk.
            const quint64 context = ++m_lastContext;
            const QStringList ids = m_bulkIds;
            m_bulkIds.clear();
            if (m_device->startBulk(context, ids) == kOk) {
                m_bulkContext = context;
            } else {
                m_bulk = false;
                m_pendingIds = ids;
                schedule();
            }
        } else {
            schedule();
        }
    }
    if (hadIds && m_pendingIds.isEmpty() && m_bulkIds.isEmpty() && !m_bulkContext) {
        qCDebug(lcCapture) << "Done enumerating";
        emit m_listener->notifyEnumerated(true);
    }
}

void WinSessionProxy::listChildren(const QString& parent)
{
    QStringList ids;
    const Result result = m_device->children(parent, &ids);
    qCDebug(lcCapture) << parent << "<-" << QString::number(result, 16) << ids.size();
    m_pendingIds += ids;
}

bool WinSessionProxy::examine(const QString& id)
{
    if (m_knownIds.contains(id))
        return false;
    if (m_bulk) {
        m_bulkIds << id;
        return true;
    }
    DeviceObject object;
    const Result result = m_device->properties(id, &object);
    if (result != kOk) {
        qCWarning(lcCapture) << "Failed to get properties" << QString::number(result, 16) << id;
        return true;
    }
    QList<CapturedImage> found;
    const bool folder = process(object, &found);
    if (!found.isEmpty())
        emit m_listener->notifyItemsFound(found);
    return folder;
}

bool WinSessionProxy::process(const DeviceObject& object, QList<CapturedImage>* found)
{
    if (object.folder)
        return true;
    const QString name = object.originalFileName.isEmpty() ? object.name : object.originalFileName;
    if (!isSingleNameComponent(name)) {
        qCWarning(lcCapture) << "Object name is no file name, skipped" << object.id << name;
        return false;
    }
    if (!object.sizeKnown)
        qCWarning(lcCapture) << "can't stat" << name;
    m_knownIds.insert(object.id);
    const CapturedImage image { normalizeUnderscoreName(QFileInfo(object.name).completeBaseName()), object.id,
        name, object.size, QUrl() };
    m_files.insert(fileKey(name), image);
    const QString thumbnail = QStringLiteral("_thumbnail.jpg");
    if (name.endsWith(QLatin1String(".qpf"))) {
        emit m_listener->notifyPresetFound(name, object.id, uint32_t(object.size));
    } else if (name.endsWith(QLatin1String(".mp4"))) {
        emit m_listener->notifyVideoFound(name, object.id, object.size, QDateTime::currentDateTime());
    } else if (m_reserved.contains(name)) {
        const QString path = m_dataFolder + QLatin1Char('/') + name;
        m_requests << Request { ReservedFile, Recipe(), object.id, QUrl::fromLocalFile(path), path,
            object.size, {} };
        schedule();
    } else if (name.endsWith(thumbnail)) {
        QString folder = AppSettings::videoThumbnailFolder();
        if (folder.isEmpty())
            folder = m_dataFolder + QStringLiteral("/VideoThumbnails");
        const QString path = folder + QLatin1Char('/') + name;
        QString video = name;
        video.replace(video.size() - thumbnail.size(), thumbnail.size(), QStringLiteral(".mp4"));
        if (QFileInfo::exists(path)) {
            emit m_listener->notifyVideoThumbnailReady(video, path);
        } else {
            QDir().mkpath(folder);
            m_requests << Request { VideoPreview, Recipe(), object.id, QUrl::fromLocalFile(path), path,
                object.size, {} };
            schedule();
        }
    } else {
        found->append(image);
    }
    return false;
}

void WinSessionProxy::deleteRemovals()
{
    const QStringList ids = m_removals;
    m_removals.clear();
    for (const QString& id : ids) {
        qCDebug(lcCapture) << "Removing" << id;
        const Result result = m_device->remove(id);
        if (result != kOk)
            qCWarning(lcCapture) << "Removal: " << QString::number(result, 16) << id;
    }
}

void WinSessionProxy::startTransfer()
{
    m_current = m_requests.takeFirst();
    qint64 optimal = 0;
    Result result = m_device->openStream(m_current.objectId, &m_source, &optimal);
    if (result != kOk) {
        qCWarning(lcCapture) << "I Transfer" << m_current.objectId << QString::number(result, 16);
        m_source.reset();
        report(m_current, kFailed);
        if (!m_requests.isEmpty())
            schedule();
        return;
    }
    m_destination = std::make_shared<TransferFile>(m_calls);
    if (!m_destination->open(m_current.path)) {
        qCWarning(lcCapture) << "O Transfer" << m_current.objectId << m_current.path;
        m_source.reset();
        report(m_current, kFailed);
        if (!m_requests.isEmpty())
            schedule();
        return;
    }
    m_copying = true;
    m_buffer.resize(int(std::max<qint64>(optimal, 4096)));
    m_read = m_written = 0;
    qint64 size = 0;
    m_expected = m_source->stat(&size) == kOk ? size : m_current.size;
    m_readLimit = QFileInfo(m_current.path).suffix().toUpper() == QLatin1String("VRX")
        ? m_expected
        : std::numeric_limits<qint64>::max();
    schedule();
}

Result WinSessionProxy::copyChunk()
{
    const qint64 n = std::min<qint64>(m_buffer.size(), m_readLimit - m_read);
    if (n <= 0) {
        qCDebug(lcCapture) << m_current.path << "nothing left to read";
        return kOk;
    }
    qint64 got = 0;
    const Result result = m_source->read(m_buffer.data(), n, &got);
    if (result != kOk) {
        qCWarning(lcCapture) << "nothing more to write" << QString::number(result, 16);
        return result;
    }
    if (got == 0) {
        if (m_read != m_expected)
            qCWarning(lcCapture) << "Actual file size of" << m_device->id() << m_current.path << "is"
                                 << m_read << "not" << m_expected;
        m_expected = m_readLimit = m_read;
        return kOk;
    }
    m_read += got;
    const Result written = m_destination->write(m_buffer.constData(), got);
    if (written != kOk)
        return written;
    m_written += got;
    return kOk;
}

bool WinSessionProxy::finish(bool aborted)
{
    m_source.reset();
    m_copying = false;
    if (aborted || m_written < m_readLimit) {
        if (m_destination)
            m_destination->discard();
        m_destination.reset();
        return false;
    }
    return true;
}

void WinSessionProxy::commit(const Request& request)
{
    // fsync, rename and the folder's fsync may block for long on a busy disk: they run on a
    // thread of their own, one file after another, and the result comes back here.
    std::shared_ptr<TransferFile> file = std::move(m_destination);
    // The destructor waits for the running commit; a report still queued then is dropped.
    // The image service lets go of the target until it is replaced.
    std::shared_ptr<QSemaphoreReleaser> eviction = m_bailiff ? m_bailiff->evictPath(request.path) : nullptr;
    m_commits.start([this, file, request, eviction]() mutable {
        const bool committed = file->commit();
        eviction.reset();
        QMetaObject::invokeMethod(
            this, [this, request, committed] { report(request, committed ? kOk : kFailed); },
            Qt::QueuedConnection);
    });
}

void WinSessionProxy::report(const Request& request, Result result)
{
    switch (request.kind) {
    case ItemTransfer:
        if (result == kOk)
            emit m_listener->notifyItemFile(request.target, request.recipe);
        else
            emit m_listener->notifyObstacle(request.target, request.recipe,
                result == kDiskFull                                  ? IFileSink::NoSpace
                    : QFileInfo(request.path).absoluteDir().exists() ? IFileSink::IOError
                                                                     : IFileSink::DirLost);
        break;
    case ReservedFile:
        if (result == kOk)
            emit m_listener->notifyReserved(QFileInfo(request.path).fileName(), request.target);
        break;
    case Video: {
        VideosModel::DownloadRequest video = request.video;
        if (result != kOk)
            video.result = result == kDiskFull ? VideosModel::DownloadResultError::NoDiskSpace
                                               : VideosModel::DownloadResultError::CannotWrite;
        emit m_listener->videoDownloaded(video);
        break;
    }
    case VideoPreview:
        if (result == kOk) {
            QString video = QFileInfo(request.path).fileName();
            video.replace(QLatin1String("_thumbnail.jpg"), QLatin1String(".mp4"));
            emit m_listener->notifyVideoThumbnailReady(video, request.path);
        }
        break;
    case PresetFile:
        break;
    }
}

void WinSessionProxy::reportCancelled(const Request& request)
{
    if (request.kind == ItemTransfer) {
        emit m_listener->notifyObstacle(request.target, request.recipe, IFileSink::IOError);
        emit m_listener->notifyProgress(request.target, request.recipe, ProgressRatio(0, 0));
    } else if (request.kind == Video) {
        VideosModel::DownloadRequest video = request.video;
        video.result = VideosModel::DownloadResultError::CannotWrite;
        emit m_listener->videoDownloaded(video);
    }
}

void WinSessionProxy::queryRawOid(QString id)
{
    examine(id);
    if (m_bulk && !m_bulkIds.isEmpty())
        schedule();
}

void WinSessionProxy::enumerateId(QString id)
{
    listChildren(id);
    schedule();
}

void WinSessionProxy::clearRawOid(QString id)
{
    m_knownIds.remove(id);
    emit m_listener->notifyItemsRemoved({ id });
}

void WinSessionProxy::onBulkEnded(quint64 context, Result result)
{
    if (context != m_bulkContext)
        qCWarning(lcCapture) << "OnEnd: ended operation that wasn't pending" << context << m_bulkContext;
    if (result != kOk)
        qCWarning(lcCapture) << "OnEnd: ended operation with an error" << QString::number(result, 16);
    m_bulkContext = 0;
    m_bulk = false; // later objects are read one by one
    qCDebug(lcCapture) << "Done enumerating";
    emit m_listener->notifyEnumerated(true);
    schedule();
}

// Device thread: only posts copies to the GUI thread.

void WinSessionProxy::objectAdded(const QString& id)
{
    QMetaObject::invokeMethod(this, "queryRawOid", Qt::QueuedConnection, Q_ARG(QString, id));
    QMetaObject::invokeMethod(this, "enumerateId", Qt::QueuedConnection, Q_ARG(QString, id));
}

void WinSessionProxy::objectRemoved(const QString& id)
{
    QMetaObject::invokeMethod(this, "clearRawOid", Qt::QueuedConnection, Q_ARG(QString, id));
}

void WinSessionProxy::deviceRemoved()
{
    qCDebug(lcCapture) << "notifyDeviceLost()";
    QMetaObject::invokeMethod(m_listener, "notifyDeviceLost", Qt::QueuedConnection);
}

void WinSessionProxy::bulkStarted(quint64)
{
    // The session said notifyEnumerated(false) when it started; the bulk read is part of it.
}

void WinSessionProxy::bulkProgress(quint64 context, const QList<DeviceObject>& objects)
{
    QMetaObject::invokeMethod(
        this,
        [this, context, objects] {
            if (context != m_bulkContext)
                return;
            QList<CapturedImage> found;
            for (const DeviceObject& object : objects)
                process(object, &found);
            if (!found.isEmpty())
                emit m_listener->notifyItemsFound(found);
        },
        Qt::QueuedConnection);
}

void WinSessionProxy::bulkEnded(quint64 context, Result result)
{
    QMetaObject::invokeMethod(
        this, [this, context, result] { onBulkEnded(context, result); }, Qt::QueuedConnection);
}
