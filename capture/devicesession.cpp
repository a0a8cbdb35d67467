#include "capture/devicesession.h"

#include "capture/filekind.h"
#include "capture/logging.h"
#include "capture/sessionlistener.h"
#include "capture/winsessionproxy.h"
#include "core/appsettings.h"
#include "core/texthelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>

#include <limits>

using namespace PortableDevice;

namespace {

QByteArray fileKey(const QString& name)
{
    return fileKeyDocument(name).toJson(QJsonDocument::Compact);
}

} // namespace

bool DeviceSession::Link::take(quint64 serial)
{
    return serial == 0 || awaited.remove(serial) > 0;
}

DeviceSession::DeviceSession(
    Opener opener, const CaptureRequest& request, std::shared_ptr<Link> link, IFileCalls& calls)
    : m_opener(std::move(opener))
    , m_link(std::move(link))
    , m_calls(calls)
    , m_deviceId(request.deviceId)
    , m_reserved(request.reserved.begin(), request.reserved.end())
    , m_dataFolder(request.data.absolutePath())
{
    connect(
        this, &DeviceSession::tomorrowIsAnotherDay, this, &DeviceSession::nextMorning, Qt::QueuedConnection);
}

DeviceSession::~DeviceSession()
{
    if (m_device) {
        m_device->advise(nullptr);
        QMutexLocker lock(&m_link->mutex);
        m_link->device = nullptr;
    }
}

void DeviceSession::open()
{
    std::unique_ptr<IPortableDevice> device;
    Result result = m_opener ? m_opener(false, &device) : kFailed;
    if (result == kAccessDenied)
        result = m_opener(true, &device);
    m_opener = nullptr;
    if (result != kOk || !device) {
        qCWarning(lcCapture) << "Cannot open" << m_deviceId << QString::number(result, 16);
        m_openFailed = true;
        return;
    }
    m_device = std::move(device);
    {
        QMutexLocker lock(&m_link->mutex);
        m_link->device = m_device.get();
    }
    m_bulk = m_device->hasBulk();
    qCDebug(lcCapture) << "Advise" << m_deviceId;
    m_device->advise(this);
}

void DeviceSession::start()
{
    qCDebug(lcCapture) << "Capture request" << m_deviceId;
    tell([](SessionListener* l) { emit l->notifyEnumerated(false); });
    if (!m_device) {
        // A device that cannot be opened lists nothing: the session stays empty.
        tell([](SessionListener* l) { emit l->notifyEnumerated(true); });
        return;
    }
    m_enumerating = true;
    m_sinceFlush.start();
    listChildren(QLatin1String(kRootId), 0);
    schedule();
}

void DeviceSession::transfer(QUrl target, Recipe recipe, quint64 serial)
{
    const auto it = m_files.constFind(recipe.recipe.toJson(QJsonDocument::Compact));
    Request request { ItemTransfer, recipe, QString(), target, target.toLocalFile(), 0, {}, serial };
    if (it == m_files.constEnd()) {
        answer(request, kNotFound);
        return;
    }
    qCDebug(lcCapture) << "item found" << it->remoteId << it->fileName;
    request.objectId = it->remoteId;
    request.size = it->fileSize;
    {
        QMutexLocker lock(&m_link->mutex);
        if (!m_link->listener || !m_link->awaited.contains(serial))
            return; // cancelled meanwhile
        const qint64 size = it->fileSize;
        toListener([target, recipe, size](SessionListener* l) {
            emit l->notifyProgress(target, recipe, ProgressRatio(0, size));
        });
    }
    m_requests << request;
    schedule();
}

void DeviceSession::enqueue(const Request& request)
{
    if (request.serial) {
        QMutexLocker lock(&m_link->mutex);
        if (!m_link->awaited.contains(request.serial))
            return; // cancelled before it got here
    }
    m_requests << request;
    schedule();
}

void DeviceSession::remove(QString remoteId)
{
    m_removals << remoteId;
    schedule();
}

bool DeviceSession::orphaned() const
{
    QMutexLocker lock(&m_link->mutex);
    return !m_link->listener;
}

void DeviceSession::cancel()
{
    if (!orphaned())
        qCDebug(lcCapture) << QThread::currentThreadId() << "cancelPendingRequests";
    if (m_bulkContext && m_device) {
        m_device->cancelBulk(m_bulkContext);
        m_bulkContext = 0;
        enumerationEnded();
    }
    QList<Request> dropped = m_requests;
    m_requests.clear();
    if (m_copying) {
        dropped.prepend(m_current);
        finish(true);
    }
    // Requests the owner answered already are not answered again.
    for (const Request& request : qAsConst(dropped)) {
        QMutexLocker lock(&m_link->mutex);
        if (m_link->listener && request.serial && m_link->take(request.serial))
            toListener([request](SessionListener* l) { reportCancelled(l, request); });
    }
}

void DeviceSession::shutdown()
{
    cancel();
    if (m_device) {
        m_device->advise(nullptr);
        {
            QMutexLocker lock(&m_link->mutex);
            m_link->device = nullptr;
        }
        m_device.reset();
    }
    QThread::currentThread()->quit();
}

void DeviceSession::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    emit tomorrowIsAnotherDay();
}

void DeviceSession::nextMorning()
{
    m_scheduled = false;
    // Once the owner is gone, no one waits for anything: only the shutdown is left.
    if (!m_device || orphaned())
        return;
    m_frame.restart();
    if (!m_removals.isEmpty())
        deleteRemovals();
    if (!m_copying && !m_requests.isEmpty())
        startTransfer();
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
        if (finish(result != kOk)) {
            // fsync and rename go back to the owner, which asks the image service first.
            std::shared_ptr<TransferFile> file = std::move(m_destination);
            QMutexLocker lock(&m_link->mutex);
            if (WinSessionProxy* owner = m_link->owner)
                QMetaObject::invokeMethod(
                    owner, [owner, done, file] { owner->commit(done, file); }, Qt::QueuedConnection);
        } else {
            answer(done, result == kOk ? kFailed : result);
        }
        if (!m_requests.isEmpty())
            schedule();
    }
    if (m_copying) {
        QMutexLocker lock(&m_link->mutex);
        if (m_link->listener && m_link->awaited.contains(m_current.serial)) {
            const Request current = m_current;
            const qint64 written = m_written, expected = m_expected;
            if (current.kind == ItemTransfer)
                toListener([current, written, expected](SessionListener* l) {
                    emit l->notifyProgress(current.target, current.recipe, ProgressRatio(written, expected));
                });
            else if (current.kind == Video)
                toListener([written](SessionListener* l) { emit l->reportProgress(written); });
        }
    }

    // The listing goes on between copies: reserved files and copies the session asks for
    // are served first, and a large camera does not hold them back.
    if (m_bulkContext) {
        flushFound();
        return; // the bulk read's end schedules again
    }
    const bool hadIds = !m_pendingIds.isEmpty();
    // A few objects per step even while a copy takes the step's time.
    for (int taken = 0; (inBudget() || taken < 8) && !m_pendingIds.isEmpty(); ++taken) {
        const QPair<QString, int> next = m_pendingIds.takeFirst();
        if (examine(next.first)) {
            listChildren(next.first, next.second + 1);
            tell([](SessionListener* l) { emit l->notifyDeviceStarted(); });
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
                for (const QString& id : ids)
                    m_pendingIds.append({ id, 0 });
                schedule();
            }
        } else {
            schedule();
        }
    }
    // A slow device still shows its files ten times a second.
    if (m_pendingIds.isEmpty() || m_foundBatch.size() >= kBatch || m_sinceFlush.elapsed() >= kFlushMs)
        flushFound();
    if (hadIds && m_pendingIds.isEmpty() && m_bulkIds.isEmpty() && !m_bulkContext)
        enumerationEnded();
}

void DeviceSession::enumerationEnded()
{
    if (!m_enumerating)
        return;
    m_enumerating = false;
    qCDebug(lcCapture) << "Done enumerating" << m_found << "objects";
    tell([](SessionListener* l) { emit l->notifyEnumerated(true); });
}

void DeviceSession::listChildren(const QString& parent, int depth)
{
    if (depth > kMaxDepth) {
        qCWarning(lcCapture) << "Folder nested deeper than" << kMaxDepth << "levels, not listed:" << parent;
        return;
    }
    QStringList ids;
    const Result result = m_device->children(parent, &ids);
    qCDebug(lcCapture) << parent << "<-" << QString::number(result, 16) << ids.size();
    for (const QString& id : qAsConst(ids)) {
        // A device whose tree lists an object again (as its own descendant, or twice)
        // would be listed for ever: each object is taken once.
        if (m_seenIds.contains(id)) {
            qCWarning(lcCapture) << "Object listed again, a cycle in the device's tree:" << id << "under"
                                 << parent;
            continue;
        }
        m_seenIds.insert(id);
        m_pendingIds.append({ id, depth });
    }
}

bool DeviceSession::examine(const QString& id)
{
    if (m_knownIds.contains(id))
        return false;
    ++m_found;
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
    // Found files go out once per step, as one batch: the session and the views over
    // it then take in many rows at once.
    return process(object, &m_foundBatch);
}

void DeviceSession::flushFound()
{
    m_sinceFlush.start();
    const QList<CapturedImage> found = std::exchange(m_foundBatch, {});
    reportFound(found);
}

void DeviceSession::reportFound(const QList<CapturedImage>& found)
{
    if (!found.isEmpty())
        tell([found](SessionListener* l) { emit l->notifyItemsFound(found); });
}

bool DeviceSession::process(const DeviceObject& object, QList<CapturedImage>* found)
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
    if (!m_listed.contains(object.id))
        m_listed.insert(object.id, object);
    const CapturedImage image { normalizeUnderscoreName(QFileInfo(object.name).completeBaseName()), object.id,
        name, object.size, QUrl() };
    m_files.insert(fileKey(name), image);
    const QString thumbnail = QStringLiteral("_thumbnail.jpg");
    if (name.endsWith(QLatin1String(".qpf"))) {
        const QString id = object.id;
        const uint32_t size = uint32_t(object.size);
        tell([name, id, size](SessionListener* l) { emit l->notifyPresetFound(name, id, size); });
    } else if (name.endsWith(QLatin1String(".mp4"))) {
        const QString id = object.id;
        const qint64 size = object.size;
        const QDateTime now = QDateTime::currentDateTime();
        tell([name, id, size, now](SessionListener* l) { emit l->notifyVideoFound(name, id, size, now); });
    } else if (m_reserved.contains(name)) {
        // Reserved files ("metadata.xml" first of all) go before the copies queued behind.
        const QString path = m_dataFolder + QLatin1Char('/') + name;
        m_requests.prepend(Request {
            ReservedFile, Recipe(), object.id, QUrl::fromLocalFile(path), path, object.size, {}, 0 });
        schedule();
    } else if (name.endsWith(thumbnail)) {
        QString folder = AppSettings::videoThumbnailFolder();
        if (folder.isEmpty())
            folder = m_dataFolder + QStringLiteral("/VideoThumbnails");
        const QString path = folder + QLatin1Char('/') + name;
        QString video = name;
        video.replace(video.size() - thumbnail.size(), thumbnail.size(), QStringLiteral(".mp4"));
        if (QFileInfo::exists(path)) {
            tell([video, path](SessionListener* l) { emit l->notifyVideoThumbnailReady(video, path); });
        } else {
            QDir().mkpath(folder);
            m_requests << Request { VideoPreview, Recipe(), object.id, QUrl::fromLocalFile(path), path,
                object.size, {}, 0 };
            schedule();
        }
    } else {
        found->append(image);
    }
    return false;
}

void DeviceSession::deleteRemovals()
{
    const QStringList ids = m_removals;
    m_removals.clear();
    for (const QString& id : ids) {
        qCDebug(lcCapture) << "Removing" << id;
        if (!unchangedSinceListed(id))
            continue;
        const Result result = m_device->remove(id);
        if (result != kOk)
            qCWarning(lcCapture) << "Removal: " << QString::number(result, 16) << id;
    }
}

bool DeviceSession::unchangedSinceListed(const QString& id)
{
    if (m_removedIds.contains(id)) {
        qCWarning(lcCapture) << "Removal: " << id << "was deleted on the device since it was listed, kept";
        return false;
    }
    const auto listed = m_listed.constFind(id);
    if (listed == m_listed.cend()) {
        qCWarning(lcCapture) << "Removal: not listed, kept on the device:" << id;
        return false;
    }
    DeviceObject now;
    const Result result = m_device->properties(id, &now);
    if (result != kOk) {
        qCWarning(lcCapture) << "Removal: " << QString::number(result, 16) << id << "cannot be read, kept";
        return false;
    }
    // A camera may write another picture under the same name (a card cleared, a picture
    // taken again): its size or time then differ from those of the file that was copied.
    const bool sameSize = !listed->sizeKnown || !now.sizeKnown || listed->size == now.size;
    const bool sameTime
        = !listed->modified.isValid() || !now.modified.isValid() || listed->modified == now.modified;
    if (now.folder || listed->sizeKnown != now.sizeKnown || !sameSize || !sameTime) {
        qCWarning(lcCapture) << "Removal: " << id << "changed on the device since it was copied, kept:"
                             << "size" << listed->size << "->" << now.size << "modified" << listed->modified
                             << "->" << now.modified;
        return false;
    }
    return true;
}

void DeviceSession::startTransfer()
{
    m_current = m_requests.takeFirst();
    qint64 optimal = 0;
    Result result = m_device->openStream(m_current.objectId, &m_source, &optimal);
    if (result != kOk) {
        qCWarning(lcCapture) << "I Transfer" << m_current.objectId << QString::number(result, 16);
        m_source.reset();
        answer(m_current, kFailed);
        if (!m_requests.isEmpty())
            schedule();
        return;
    }
    m_destination = std::make_shared<TransferFile>(m_calls);
    // A video's name was found free when it was queued (or the file there chosen to be
    // replaced): a file that took it since (another camera's video) is never replaced.
    m_destination->setReplaceTarget(m_current.kind != Video || m_current.video.overwrite);
    if (!m_destination->open(m_current.path)) {
        qCWarning(lcCapture) << "O Transfer" << m_current.objectId << m_current.path;
        // A missing folder is told apart from a missing object by the report.
        const Result why = m_destination->openResult();
        m_source.reset();
        m_destination.reset();
        answer(m_current, why == kNotFound ? kFailed : why);
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

Result DeviceSession::copyChunk()
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
            qCWarning(lcCapture) << "Actual file size of" << m_deviceId << m_current.path << "is" << m_read
                                 << "not" << m_expected;
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

bool DeviceSession::finish(bool aborted)
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

void DeviceSession::tell(std::function<void(SessionListener*)> f)
{
    QMutexLocker lock(&m_link->mutex);
    toListener(std::move(f));
}

void DeviceSession::toListener(std::function<void(SessionListener*)> f)
{
    // Emitted on the listener's own thread: whatever is connected to it directly runs there.
    if (SessionListener* listener = m_link->listener)
        QMetaObject::invokeMethod(
            listener, [listener, f] { f(listener); }, Qt::QueuedConnection);
}

void DeviceSession::answer(const Request& request, Result result)
{
    QMutexLocker lock(&m_link->mutex);
    if (m_link->listener && m_link->take(request.serial))
        toListener([request, result](SessionListener* l) { report(l, request, result); });
}

void DeviceSession::report(SessionListener* listener, const Request& request, Result result)
{
    switch (request.kind) {
    case ItemTransfer:
        if (result == kOk)
            emit listener->notifyItemFile(request.target, request.recipe);
        else
            emit listener->notifyObstacle(request.target, request.recipe,
                result == kNotFound                                  ? IFileSink::SrcLost
                    : result == kDiskFull                            ? IFileSink::NoSpace
                    : result == kWriteProtected                      ? IFileSink::NoWrite
                    : QFileInfo(request.path).absoluteDir().exists() ? IFileSink::IOError
                                                                     : IFileSink::DirLost);
        break;
    case ReservedFile:
        if (result == kOk)
            emit listener->notifyReserved(QFileInfo(request.path).fileName(), request.target);
        break;
    case Video: {
        VideosModel::DownloadRequest video = request.video;
        if (result != kOk)
            video.result = result == kDiskFull ? VideosModel::DownloadResultError::NoDiskSpace
                : result == kAlreadyExists     ? VideosModel::DownloadResultError::AnotherExists
                                               : VideosModel::DownloadResultError::CannotWrite;
        emit listener->videoDownloaded(video);
        break;
    }
    case VideoPreview:
        if (result == kOk) {
            QString video = QFileInfo(request.path).fileName();
            video.replace(QLatin1String("_thumbnail.jpg"), QLatin1String(".mp4"));
            emit listener->notifyVideoThumbnailReady(video, request.path);
        }
        break;
    case PresetFile:
        break;
    }
}

void DeviceSession::reportCancelled(SessionListener* listener, const Request& request)
{
    if (request.kind == ItemTransfer) {
        emit listener->notifyObstacle(request.target, request.recipe, IFileSink::IOError);
        emit listener->notifyProgress(request.target, request.recipe, ProgressRatio(0, 0));
    } else if (request.kind == Video) {
        VideosModel::DownloadRequest video = request.video;
        video.result = VideosModel::DownloadResultError::CannotWrite;
        emit listener->videoDownloaded(video);
    }
}

void DeviceSession::queryRawOid(QString id)
{
    if (!m_device || orphaned())
        return;
    examine(id);
    flushFound();
    if (m_bulk && !m_bulkIds.isEmpty())
        schedule();
}

void DeviceSession::enumerateId(QString id)
{
    if (!m_device || orphaned())
        return;
    listChildren(id, 1);
    schedule();
}

void DeviceSession::clearRawOid(QString id)
{
    m_knownIds.remove(id);
    m_seenIds.remove(id);
    // What was listed under the id stays as it was: a file found there again is not it.
    if (m_listed.contains(id))
        m_removedIds.insert(id);
    tell([id](SessionListener* l) { emit l->notifyItemsRemoved({ id }); });
}

void DeviceSession::onBulkEnded(quint64 context, Result result)
{
    if (context != m_bulkContext)
        qCWarning(lcCapture) << "OnEnd: ended operation that wasn't pending" << context << m_bulkContext;
    if (result != kOk)
        qCWarning(lcCapture) << "OnEnd: ended operation with an error" << QString::number(result, 16);
    m_bulkContext = 0;
    m_bulk = false; // later objects are read one by one
    enumerationEnded();
    schedule();
}

// The device's threads: only post copies to this object's thread.

void DeviceSession::objectAdded(const QString& id)
{
    QMetaObject::invokeMethod(this, "queryRawOid", Qt::QueuedConnection, Q_ARG(QString, id));
    QMetaObject::invokeMethod(this, "enumerateId", Qt::QueuedConnection, Q_ARG(QString, id));
}

void DeviceSession::objectRemoved(const QString& id)
{
    QMetaObject::invokeMethod(this, "clearRawOid", Qt::QueuedConnection, Q_ARG(QString, id));
}

void DeviceSession::deviceRemoved()
{
    QMutexLocker lock(&m_link->mutex);
    if (!m_link->listener)
        return;
    qCDebug(lcCapture) << "notifyDeviceLost()";
    QMetaObject::invokeMethod(m_link->listener, "notifyDeviceLost", Qt::QueuedConnection);
}

void DeviceSession::bulkStarted(quint64)
{
    // The session said notifyEnumerated(false) when it started; the bulk read is part of it.
}

void DeviceSession::bulkProgress(quint64 context, const QList<DeviceObject>& objects)
{
    QMetaObject::invokeMethod(
        this,
        [this, context, objects] {
            if (context != m_bulkContext)
                return;
            QList<CapturedImage> found;
            for (const DeviceObject& object : objects)
                process(object, &found);
            reportFound(found);
        },
        Qt::QueuedConnection);
}

void DeviceSession::bulkEnded(quint64 context, Result result)
{
    QMetaObject::invokeMethod(
        this, [this, context, result] { onBulkEnded(context, result); }, Qt::QueuedConnection);
}
