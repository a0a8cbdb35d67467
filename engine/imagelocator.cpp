#include "engine/imagelocator.h"
#include "engine/enginestreams.h"
#include "engine/exportplanner.h"
#include "engine/logging.h"

#include "ciapi/parameters.h"
#include "ciapi/renderer.h"
#include "ciapi/rendererbase.h"
#include "ciapi/statefileeditor.h"
#include "ciapi/tuning.h"
#include "core/asynctask.h"
#include "core/memoryrelease.h"
#include "core/replytarget.h"
#include "engine/exceptiontext.h"
#include "engine/imageproperties.h"
#include "engine/patchundo.h"
#include "engine/statefile.h"
#include "engine/vrxcompress.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSize>
#include <QTimer>

#include <sstream>

ImageLocator::ImageLocator(QObject* parent)
    : ImageLocator(QThread::idealThreadCount(), parent)
{ }

ImageLocator::ImageLocator(int threadCount, QObject* parent)
    : IResolver(parent)
    , m_filePerm(new FilePerm)
    , m_watch([this](const QUrl& url) { return m_rows.value(url); })
    , m_scheduler(threadCount, [this](IndexResult& result) { deliverResult(result); })
    , m_lending([this](ImageEditor& editor) { m_exportQueue->run(editor); })
    , m_compressionThread(new QThread(this))
    , m_replies(std::make_shared<ReplyTarget>(this))
    , m_exportQueue(new ExportQueue(this))
    , m_exportPlanner(new ExportPlanner([queue = m_exportQueue] { return queue->claimedPaths(); }, this))
    , m_exportProgress(new ProgressModel(this))
    , m_patchProgressHandler(new ProgressHandler(1000.0, this))
    , m_batch(new PatchBatch(
          m_filePerm, m_patchProgressHandler,
          [this](const QUrl& url) -> PatchBatch::SourceMaker {
              const std::shared_ptr<ImageKeeper> keeper = keeperFor(url);
              return [keeper] { return keeper->streamSource(); };
          },
          this))
{
    connect(m_batch, &PatchBatch::fileChanged, this, &ImageLocator::onFileContentsUpdated);
    PatchBatch::EditorGate gate;
    gate.hold = [this](const QUrl& url) {
        switch (m_lending.hold(url)) {
        case EditorLending::Hold::Open:
            return PatchBatch::EditorHold::Open;
        case EditorLending::Hold::Saving:
            return PatchBatch::EditorHold::Saving;
        case EditorLending::Hold::None:
            break;
        }
        return PatchBatch::EditorHold::None;
    };
    gate.waitUntilSaved = [this](const QUrl& url) { m_lending.waitUntilSaved(url); };
    gate.applyToOpen = [this](const QUrl& url, PatchBatch::Kind kind, ImageProperties* patch,
                           PatchUndo* undo) { return giveBatchChange(url, kind, patch, undo); };
    m_batch->setEditorGate(std::move(gate));
    connect(m_batch, &PatchBatch::undoCountChanged, this, &ImageLocator::patchUndoCountChanged);
    // An export the user stopped is not told as failed: the user knows it did not finish.
    connect(m_exportQueue, &ExportQueue::notifyExportFailed, this,
        [this](const QString& path, const QString& reason, bool cancelled) {
            if (!cancelled)
                emit exportFailed(path, reason);
        });
    connect(&m_rows, &GalleryRows::modified, this, &IResolver::modified);
    connect(&m_rows, &GalleryRows::resolved, this, &IResolver::resolved);
    m_exportQueue->setLowSpace(m_lowSpaceBytes);
    m_exportQueue->setBackgroundProcessing(m_backgroundProcessing);
    m_exportQueue->setChannelOrder(m_channelOrder);
    m_exportQueue->setCalibrationProvider([this](StreamPart& source) { return calibrationFor(source); });
    m_exportQueue->setSaveWait([this](const QUrl& url) { m_lending.waitUntilSavedForExport(url); });

    connect(this, &ImageLocator::notifyResourcesAvailableSignal, this, &ImageLocator::shuffleTasks);
    m_lending.setFreedNotice(
        [this] { QMetaObject::invokeMethod(this, &ImageLocator::editorFreed, Qt::QueuedConnection); });
    for (ImageEditor& editor : m_lending.editors()) {
        connect(&editor, &ImageViewer::notifyFileUpdatedSignal, this, &ImageLocator::onFileContentsUpdated);
        connect(&editor, &ImageViewer::notifyFileMetadataSignal, this, &ImageLocator::onFileMetadataIndexed);
        // Opened: the edits kept since the picture was left without them saved are either
        // saved now or open with it, to be saved by its editor.
        connect(&editor, &ImageViewer::notifyFileOpenedSignal, this, [this](const QUrl& url) {
            m_lending.forgetUnsaved(url);
            m_binned.remove(fileKey(url));
        });
        // Saved by an editor: edits kept for the picture in a file are in its state now.
        connect(&editor, &ImageViewer::notifyFileUpdatedSignal, this,
            [this](const QUrl& url) { m_lending.savedByEditor(url); });
        connect(&editor, &ImageViewer::notifyFileMetadataSignal, this,
            [this](const VrxMetadata& metadata) { m_lending.savedByEditor(metadata.location); });
        // A picture moved away or deleted by another program takes the edits not yet saved:
        // the user is told, unless this service sent it to the bin.
        connect(
            &editor, &ImageViewer::pictureGone, this,
            [this](const QUrl& url) {
                if (!m_binned.contains(fileKey(url)))
                    emit editsNotSaved(QDir::toNativeSeparators(url.toLocalFile()),
                        tr("The picture was moved away or deleted"));
            },
            Qt::QueuedConnection);
        // Saves fail on the GUI thread or on the recycle step's worker.
        connect(
            &editor, &ImageViewer::saveFailed, this,
            [this](const QUrl& url, const QString& reason) {
                emit editsNotSaved(QDir::toNativeSeparators(url.toLocalFile()), reason);
            },
            Qt::QueuedConnection);
        editor.setFilePerm(m_filePerm);
    }
    connect(&m_watch, &UnreadableWatch::changed, this, &ImageLocator::onFileContentsUpdated);
    applyThumbnailBudget();
    m_releaseTimer = new QTimer(this);
    m_releaseTimer->setSingleShot(true);
    m_releaseTimer->setInterval(kReleaseIdleMs);
    connect(m_releaseTimer, &QTimer::timeout, this, [this] {
        m_resultsSinceRelease = 0;
        returnFreeMemory();
    });
    setApplyTuning(1);
    m_exportProgress->reset();
    ExportQueue::connectProgress(m_exportQueue, m_exportProgress);
    m_compressionThread->start(QThread::InheritPriority);
    m_ratingWriter = new QThreadPool(this);
    m_ratingWriter->setMaxThreadCount(1);
    // Edits a crash or a quit left unsaved are written when their picture's disk takes them.
    setKeptEditsFolder(KeptEdits::defaultFolder());
}

void ImageLocator::setKeptEditsFolder(const QString& folder)
{
    m_lending.setKeptFolder(folder);
    // Those whose disk takes them now are written at once, and their rows read again.
    m_lending.savePickedUp([this](const QUrl& url) {
        QMetaObject::invokeMethod(
            this, [this, url] { onFileContentsUpdated(url); }, Qt::QueuedConnection);
    });
}

void ImageLocator::forgetKeptEdits(const QUrl& url)
{
    m_binned.insert(fileKey(url));
    m_lending.dropUnsaved(url);
}

ImageLocator::~ImageLocator()
{
    // A source being made for a compression (held on the disk, maybe) is not waited for.
    m_replies->close();
    m_sourcing.leave(0);
    // Ratings clicked are written before anything goes.
    m_ratingWriter->waitForDone();
    // From here on finishing tasks only let go; they never reach this object again.
    m_scheduler.cut();
    m_batch->stop();
    m_compressionThread->requestInterruption();
    m_compressionThread->quit();
    // Exports not planned or not begun are dropped, the running one is cut short; lent editors are
    // saved and closed. Nothing of this waits for this thread, whose event loop may have
    // ended already.
    m_exportPlanner->cancel();
    // The queue is deleted before the planner, whose worker may still be making a folder.
    m_exportPlanner->forgetClaims();
    m_exportQueue->abort();
    m_lending.closeAll();
    // Tasks that never started are dropped; running ones are waited for.
    m_scheduler.finish();
    m_batch->wait();
    m_compressionThread->wait();
    m_thumbnails.clear();
    m_keepers.clear();
    delete m_filePerm;
}

bool ImageLocator::cpuSupported() const
{
    return CIAPI::Renderer::IsHardwareCompatible();
}

std::function<void(CIAPI::RendererBase&)> ImageLocator::rendererSetup() const
{
    const int tuning = m_applyTuning;
    const int order = m_channelOrder;
    return [tuning, order](CIAPI::RendererBase& renderer) {
        renderer.setProperty(CIAPI::IntParam::ChannelOrderBGRA, ChannelOrder::isBgra(order) ? 1 : 0);
        CIAPI::ApplyTuning(tuning, renderer);
    };
}

void ImageLocator::setApplyTuning(int applyTuning)
{
    if (applyTuning == m_applyTuning)
        return;
    m_applyTuning = applyTuning;
    m_batch->setRendererSetup(rendererSetup());
    m_exportQueue->setApplyTuning(applyTuning);
    emit applyTuningChanged(applyTuning);
}

void ImageLocator::setChannelOrder(int channelOrder)
{
    if (channelOrder == m_channelOrder)
        return;
    m_channelOrder = channelOrder;
    m_batch->setRendererSetup(rendererSetup());
    m_exportQueue->setChannelOrder(channelOrder);
    // Kept outputs have the old pixel order. A keeper still held by a running task goes
    // when that task lets go of it, on this thread (see ImageKeeper::create).
    m_thumbnails.clear();
    m_keepers.clear();
    emit channelOrderChanged(channelOrder);
}

void ImageLocator::setReasonForPowerRequest(const QString& reason)
{
    m_reasonForPowerRequest = reason;
    m_exportQueue->setReasonForPowerRequest(reason);
}

void ImageLocator::setBackgroundProcessing(bool backgroundProcessing)
{
    if (backgroundProcessing == m_backgroundProcessing)
        return;
    m_backgroundProcessing = backgroundProcessing;
    m_exportQueue->setBackgroundProcessing(backgroundProcessing);
    if (backgroundProcessing) {
        const QList<VrxMetadata> records = m_candidates.values();
        for (const VrxMetadata& record : records)
            backgroundProcess(record);
    }
    emit backgroundProcessingChanged(backgroundProcessing);
}

void ImageLocator::setLowSpaceMb(int lowSpaceMb)
{
    // 64-bit: 2048 MB and more must not wrap to a negative or zero threshold.
    m_lowSpaceBytes = qint64(lowSpaceMb) << 20;
    m_exportQueue->setLowSpace(m_lowSpaceBytes);
}

void ImageLocator::setMetahistory(Metahistory* metahistory)
{
    QMutexLocker lock(&m_metahistoryMutex);
    m_metahistory = metahistory;
}

Metahistory* ImageLocator::metahistory() const
{
    QMutexLocker lock(&m_metahistoryMutex);
    return m_metahistory.data();
}

void ImageLocator::setMemoryBudgetMb(int mb)
{
    m_memoryBudget = qMax<qint64>(0, qint64(mb) << 20);
    applyThumbnailBudget();
}

void ImageLocator::setThumbnailBudgetBytes(qint64 bytes)
{
    m_thumbnailLimit = qMax<qint64>(0, bytes);
    applyThumbnailBudget();
}

void ImageLocator::applyThumbnailBudget()
{
    m_thumbnails.setBudget(qMin(m_thumbnailLimit, m_memoryBudget / kThumbnailShare));
}

void ImageLocator::forgetFile(QUrl url)
{
    m_closing.insert(fileKey(url));
    if (m_forgetArmed)
        return;
    // A session change closes every file of the old session in one go, and may offer some
    // of them again in the same turn: the keepers go once it has ended.
    m_forgetArmed = true;
    QMetaObject::invokeMethod(this, &ImageLocator::forgetClosedFiles, Qt::QueuedConnection);
}

void ImageLocator::forgetClosedFiles()
{
    m_forgetArmed = false;
    if (m_closing.isEmpty())
        return;
    QSet<const ImageKeeper*> gone;
    QSet<QUrl> forgottenFiles;
    for (const QUrl& key : qAsConst(m_closing)) {
        const auto it = m_keepers.find(key);
        if (it != m_keepers.end()) {
            // An item still shows the file: the gallery's cells go a moment after their
            // rows, and another view may show it for good.
            if (it.value()->listenerCount() > 0) {
                m_lingering.insert(key);
                connect(it.value().get(), &ImageKeeper::unheard, this, &ImageLocator::onKeeperUnheard,
                    Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
                continue;
            }
            gone.insert(it.value().get());
            m_thumbnails.dropped(it.value().get());
        }
        m_rows.remove(key);
        m_candidates.remove(key);
        forgottenFiles.insert(key);
    }
    m_closing.clear();
    // Background renders of closed files wait no longer; exports asked for are written.
    m_exportQueue->dropBackground(forgottenFiles);
    // Waiting tasks hold their keepers: they go first.
    m_scheduler.cancelFor(gone);
    for (auto it = m_keepers.begin(); it != m_keepers.end();) {
        if (gone.contains(it.value().get()))
            it = m_keepers.erase(it);
        else
            ++it;
    }
    qCDebug(lcEngine) << "Forgot" << forgottenFiles.size() << "closed files," << gone.size() << "keepers";
    returnFreeMemory();
}

void ImageLocator::onKeeperUnheard()
{
    auto* keeper = qobject_cast<ImageKeeper*>(sender());
    if (!keeper)
        return;
    disconnect(keeper, &ImageKeeper::unheard, this, &ImageLocator::onKeeperUnheard);
    const QUrl key = keeper->url();
    // Still its file's keeper, still closed, and nothing listens again.
    if (m_lingering.remove(key) && m_keepers.value(key).get() == keeper && keeper->listenerCount() == 0)
        forgetFile(key);
}

void ImageLocator::returnFreeMemory()
{
    // The pages go back on a worker thread, which may take a moment after a big session.
    // One release runs at a time; asked for meanwhile, it runs once more when done.
    const std::shared_ptr<ReleaseState> state = m_release;
    state->again = true;
    if (state->running.exchange(true))
        return;
    (new AsyncTask(
         [state] {
             while (state->again.exchange(false))
                 MemoryRelease::returnFreeMemory();
             state->running = false;
             // Asked for between the last check and the end: this run does not see it.
             if (state->again && !state->running.exchange(true)) {
                 while (state->again.exchange(false))
                     MemoryRelease::returnFreeMemory();
                 state->running = false;
             }
         },
         true))
        ->start(QThreadPool::globalInstance());
}

void ImageLocator::noteResultForRelease()
{
    if (++m_resultsSinceRelease >= kReleaseEveryResults) {
        m_resultsSinceRelease = 0;
        returnFreeMemory();
    }
    m_releaseTimer->start();
}

std::shared_ptr<ImageKeeper> ImageLocator::keeperFor(const QUrl& url)
{
    const QUrl key = fileKey(url);
    auto it = m_keepers.find(key);
    if (it != m_keepers.end())
        return it.value();
    // What its tasks find comes back through deliverResults(), not through its signals.
    std::shared_ptr<ImageKeeper> keeper = ImageKeeper::create(key);
    keeper->setSourceProbe(m_sourceProbe);
    m_keepers.insert(key, keeper);
    return keeper;
}

void ImageLocator::enqueue(const std::shared_ptr<ImageKeeper>& keeper, bool force, int kinds)
{
    if (keeper->hasOutput() && !force && (kinds & IndexTask::Image)) {
        keeper->resendOutput();
        kinds &= ~IndexTask::Image;
    } else if (keeper->loading() && !force) {
        kinds &= ~IndexTask::Image;
    }
    if (!kinds)
        return;
    keeper->setLoading(kinds & IndexTask::Image);

    IndexTask::Setup setup;
    setup.keeper = keeper;
    setup.url = keeper->url();
    setup.kinds = kinds;
    // The read begins now: changes shown or made from here on are newer.
    setup.readStamp = m_rows.beginRead();
    // The source (its path resolved through any links) is made by the task, off this
    // thread.
    setup.filePerm = m_filePerm;
    setup.channelOrder = m_channelOrder;
    setup.applyTuning = m_applyTuning;
    // Thumbnails are drawn as the editor draws: with the camera's calibration.
    setup.calibration = [this](StreamPart& source) { return calibrationFor(source); };
    m_scheduler.enqueue(std::move(setup));
}

void ImageLocator::shuffleTasks()
{
    m_scheduler.shuffleTasks();
}

int ImageLocator::pendingCount() const
{
    return m_scheduler.pendingCount();
}

void ImageLocator::requestMetadata(QUrl location)
{
    // A session lists the file (again): it is not forgotten. An item asking for its
    // picture is no session: the cells of a closed gallery may ask while they go.
    const QUrl key = fileKey(location);
    m_closing.remove(key);
    m_lingering.remove(key);
    enqueue(keeperFor(key), true, IndexTask::Metadata | IndexTask::Image);
}

void ImageLocator::requestLoad(QUrl url, ImageClient* client)
{
    const std::shared_ptr<ImageKeeper> keeper = keeperFor(url);
    if (client)
        keeper->addListener(client);
    m_thumbnails.touch(keeper);
    enqueue(keeper, false, IndexTask::Image);
}

void ImageLocator::releaseClient(QUrl url, ImageClient* client)
{
    const auto it = m_keepers.constFind(fileKey(url));
    if (it != m_keepers.constEnd() && client) {
        it.value()->removeListener(client);
        // A picture no item shows any more may make room now.
        if (m_thumbnails.used() > m_thumbnails.budget())
            m_thumbnails.trim();
    }
}

void ImageLocator::cancelLoading()
{
    m_rows.dropEmpty();
    m_scheduler.cancel();
}

void ImageLocator::close()
{
    m_thumbnails.clear();
    m_keepers.clear();
    cancelLoading();
}

QUrl ImageLocator::filePathToUrl(QString file) const
{
    return QUrl::fromLocalFile(file);
}

bool ImageLocator::isWatched(const QUrl& url) const
{
    return m_watch.isWatched(fileKey(url).toLocalFile());
}

void ImageLocator::onUrlFoundInvalidSlot(QUrl location)
{
    emit notifyFileInvalidSignal(location);
}

void ImageLocator::deliverResult(IndexResult& result)
{
    noteResultForRelease();
    ImageKeeper* keeper = result.keeper.get();
    switch (result.kind) {
    case IndexResult::Metadata:
        // A task reports under its keeper's URL, which is the file's key already.
        fileIndexed(keeper->url(), result.metadata, result.readStamp);
        break;
    case IndexResult::Output:
        // Read before the file last changed: the read begun since brings the picture as it
        // is (a keeper keeps the first output after a change).
        if (result.readStamp < keeper->changedAt())
            break;
        keeper->onImageOutputSlot(std::move(result.message));
        // A keeper forgotten while its task ran goes with this result: nothing counts it.
        if (m_keepers.value(keeper->url()) == result.keeper)
            m_thumbnails.kept(result.keeper);
        break;
    case IndexResult::Invalid:
        if (result.readStamp < keeper->changedAt())
            break;
        keeper->onFileInvalidSlot(keeper->url());
        onUrlFoundInvalidSlot(keeper->url());
        break;
    }
}

void ImageLocator::onFileMetadataIndexed(VrxMetadata record)
{
    // What an editor just saved is as new as the file.
    fileIndexed(fileKey(record.location), record, m_rows.beginRead());
}

void ImageLocator::fileIndexed(const QUrl& url, const VrxMetadata& record, quint64 readStamp)
{
    // Work that outlived its file's session (a compression, a save) brings no keeper or
    // row back for a file nobody lists; listed again, it is read anew.
    if (!m_keepers.contains(url) && !m_rows.contains(url)) {
        qCDebug(lcEngine) << "Not listed any more" << url;
        return;
    }
    const QMap<int, QVariant> before = m_rows.value(url);
    // A read that began after this one has told everything already.
    if (!m_rows.store(url, record, readStamp)) {
        qCDebug(lcEngine) << "Older read dropped" << url;
        return;
    }
    m_watch.noteIndexed(url.toLocalFile(), record);
    if (record.invalid) {
        m_candidates.remove(url);
        return;
    }
    noteReplaced(url, before);
    emit notifyFileIndexedSignal(record);
    decideProcessing(url, record);
}

void ImageLocator::noteReplaced(const QUrl& key, const QMap<int, QVariant>& before)
{
    // A file found unreadable was cleared when it changed; a new one has nothing kept.
    if (before.isEmpty() || before.value(IResolver::Invalid).toBool())
        return;
    const QMap<int, QVariant> now = m_rows.value(key);
    if (now.value(IResolver::ImageUUID) == before.value(IResolver::ImageUUID)
        && now.value(IResolver::FileSize) == before.value(IResolver::FileSize))
        return;
    const auto it = m_keepers.constFind(key);
    if (it == m_keepers.constEnd())
        return;
    // Another file under the name (an import overwrote it, another program replaced it):
    // the picture kept and the file mapped are the old one's.
    const std::shared_ptr<ImageKeeper> keeper = it.value();
    qCDebug(lcEngine) << "Replaced" << key;
    keeper->clearPyramid();
    keeper->dropSource();
    keeper->setChangedAt(m_rows.beginRead());
    m_thumbnails.dropped(keeper.get());
    // Read again for the items showing it, and for those waiting for a read under way:
    // what that read brings is dropped as older than the change.
    if (keeper->listenerCount() > 0 || keeper->loading())
        enqueue(keeper, true, IndexTask::Image);
}

void ImageLocator::decideProcessing(const QUrl& key, const VrxMetadata& record)
{
    if (!record.incompatible && record.frameCount > 1 && !record.compressed) {
        m_candidates.remove(key);
        compressWhenSourced(keeperFor(key), record);
    } else if (!record.incompatible && record.depthType != 2) {
        m_candidates.insert(key, record);
        if (m_backgroundProcessing)
            backgroundProcess(record);
    } else {
        m_candidates.remove(key);
    }
}

void ImageLocator::onFileContentsUpdated(QUrl location)
{
    const auto it = m_keepers.constFind(fileKey(location));
    if (it != m_keepers.constEnd()) {
        it.value()->clearPyramid();
        it.value()->setChangedAt(m_rows.beginRead());
        m_thumbnails.dropped(it.value().get());
    }
    requestMetadata(location);
    emit notifyFileUpdatedSignal(location);
}

std::shared_ptr<QSemaphoreReleaser> ImageLocator::evictPath(QString path)
{
    return evict(QUrl::fromLocalFile(path));
}

std::shared_ptr<QSemaphoreReleaser> ImageLocator::evict(QUrl url)
{
    emit notifyFileEvictedSignal(url);
    // FilePerm bounds the wait when this is the GUI thread.
    return m_filePerm->acquireFileSemaphore(url, FilePerm::kExclusive);
}

std::shared_ptr<QSemaphoreReleaser> ImageLocator::tryEvict(QUrl url, int timeoutMs)
{
    emit notifyFileEvictedSignal(url);
    return m_filePerm->tryAcquireFileSemaphore(url.toLocalFile(), FilePerm::kExclusive, timeoutMs);
}

ImageViewer::Calibration ImageLocator::calibrationFor(StreamPart& source) const
{
    const Metahistory::Attribution attribution = Metahistory::readCaptureIdentity(source);
    QMutexLocker lock(&m_metahistoryMutex);
    if (!m_metahistory || attribution.device.isNull())
        return {};
    // The store answers from any thread; nothing here waits for the GUI thread.
    return m_metahistory->get(attribution);
}

ImageEditor* ImageLocator::openForView(QUrl url, DepthClient* client)
{
    ImageEditor& editor = m_lending.lend(client, url);
    openInEditor(editor, url);
    return &editor;
}

ImageEditor* ImageLocator::tryOpenForView(QUrl url, DepthClient* client)
{
    ImageEditor* editor = m_lending.tryLend(client, url);
    if (editor)
        openInEditor(*editor, url);
    return editor;
}

void ImageLocator::openInEditor(ImageEditor& editor, const QUrl& url)
{
    const std::shared_ptr<ImageKeeper> keeper = keeperFor(url);
    // The file (its path resolved through any links), its camera's calibration and its
    // state are read on a worker, which takes the editor's token before anything else, so
    // writers stay away from the file while it is opened. The canvas shows the picture once
    // the editor reports it open.
    editor.openInBackground(
        keeper->url(), [keeper]() -> std::shared_ptr<StreamPart> { return keeper->streamSource(); },
        [this](StreamPart& source) { return calibrationFor(source); }, m_applyTuning, m_channelOrder,
        m_lending.unsavedFor(url));
}

void ImageLocator::releaseEditorSlot(ImageEditor* editor, ImageClient* client)
{
    m_lending.giveBack(editor, client);
}

bool ImageLocator::giveBatchChange(const QUrl& url, int kind, ImageProperties* patch, PatchUndo* undo)
{
    ImageEditor* editor = m_lending.lentWith(url);
    if (!editor)
        return false;
    ImageProperties* shown = editor->properties();
    switch (kind) {
    case PatchBatch::Apply: {
        if (!patch)
            return true;
        // What the change replaces, read off the renderer once it holds what is shown (the
        // canvas may not have given it its last values yet, a render being under way); the
        // renderer then goes back, and the canvas takes the change through the properties
        // like any edit of its own (drawn, and saved with the editor's other edits).
        editor->syncProperties();
        CIAPI::RendererBase& renderer = editor->renderer();
        ImageProperties before;
        if (patch->applyPatchToRenderer(renderer, &before) && undo) {
            *undo = PatchUndo::from(before);
            ImageProperties back;
            undo->fill(back);
            back.applyPatchToRenderer(renderer, nullptr);
        }
        shown->applyPatch(patch);
        break;
    }
    case PatchBatch::Undo:
        if (patch)
            shown->applyPatch(patch);
        break;
    case PatchBatch::Revert:
        shown->revertToOriginal();
        break;
    default:
        break;
    }
    return true;
}

namespace {

// The rating a state file holds, read without its lock (a reader stops quietly at a record
// that is still being appended); 0 when there is none.
int storedRating(const QUrl& url)
{
    // Only from a regular file: opening a pipe would hold the rating writer, and so the
    // locator's end, until some writer came.
    const auto in = openFileStream(StateFile::pathFor(url));
    if (!*in)
        return 0;
    try {
        return CIAPI::StateFileEditor(*in).userRating();
    } catch (...) {
        return 0;
    }
}

} // namespace

void ImageLocator::rate(QUrl url, int rating)
{
    if (m_rows.value(fileKey(url)).value(IResolver::Invalid).toBool()) {
        // A file that is not a picture never gets a state file.
        qCWarning(lcEngine) << "Error rating" << url << rating << "not a picture";
        return;
    }
    // An editor still with the canvas carries the rating in its own later saves.
    if (ImageEditor* editor = m_lending.lentWith(url))
        editor->setRating(rating);
    else if (ImageEditor* opening = m_lending.openingWith(url))
        opening->rateWhenOpen(opening->openingUrl(), rating);
    ++m_ratingWrites;
    // The pool runs one write at a time, so the last click wins on disk too. This object
    // waits for it before it goes, so the result always finds it.
    m_ratingWriter->start([this, url, rating, wait = m_ratingLockWaitMs] {
        // An editor handed back with this picture saves it with force: the rating is
        // appended after that save, or the save would write the older rating over it.
        m_lending.waitUntilSaved(url);
        bool written = true;
        int stored = rating;
        try {
            StateFile::writeRating(url, rating, wait);
        } catch (...) {
            qCWarning(lcEngine) << "Error rating" << url << rating << exceptionText(std::current_exception());
            written = false;
            stored = storedRating(url);
        }
        QMetaObject::invokeMethod(
            this, [this, url, written, stored] { ratingWritten(url, written, stored); },
            Qt::QueuedConnection);
    });
}

void ImageLocator::ratingWritten(const QUrl& url, bool written, int shown)
{
    --m_ratingWrites;
    if (!written)
        qCDebug(lcEngine) << "Rating of" << url << "not written; showing" << shown;
    showRating(url, shown);
}

void ImageLocator::showRating(const QUrl& url, int shown)
{
    // Only an editor still with the canvas shows the picture; one handed back is saving on
    // its recycle thread and must not be touched from here.
    if (ImageEditor* editor = m_lending.lentWith(url))
        editor->setRating(shown);
    else if (ImageEditor* opening = m_lending.openingWith(url))
        opening->rateWhenOpen(opening->openingUrl(), shown); // its state may be read already
    const QUrl key = fileKey(url);
    if (!m_rows.contains(key))
        return;
    if (m_rows.value(key).isEmpty()) {
        onFileContentsUpdated(url);
        return;
    }
    m_rows.setRating(key, shown);
}

QMap<int, QVariant> ImageLocator::rowFor(QUrl location)
{
    if (location.isEmpty())
        return {};
    const QUrl key = fileKey(location);
    if (m_rows.contains(key))
        return m_rows.value(key);
    // Known once the file is indexed; `resolved` says so.
    requestMetadata(location);
    return {};
}

void ImageLocator::spawnImageCompression(VrxMetadata metadata)
{
    compressWhenSourced(keeperFor(metadata.location), metadata);
}

void ImageLocator::compressWhenSourced(
    const std::shared_ptr<ImageKeeper>& keeper, const VrxMetadata& metadata)
{
    // The file's source resolves its path, which hangs on a drive that does not answer: it
    // is made off this thread, and the job spawned here once it is in. (The keeper, should
    // the task hold its last reference, is deleted on this thread all the same.)
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_sourcing.start([this, replies, keeper, metadata] {
        std::shared_ptr<StreamSource> source = keeper->streamSource();
        replies->post([this, metadata, source] { spawnImageCompression(metadata, source); });
    });
}

void ImageLocator::spawnImageCompression(VrxMetadata metadata, std::shared_ptr<StreamSource> source)
{
    if (!source || !source->beginCompressing()) {
        qCDebug(lcEngine) << "Already compressing" << metadata.location;
        return;
    }
    qCDebug(lcEngine) << "Spawn compression of" << metadata.location << "UC" << source.use_count();
    // The job may wait behind thousands of others (a whole folder just indexed): the
    // file's pages that indexing read are not this process's to keep meanwhile.
    source->dropResidentPages();
    auto* job = new VrxCompress(m_filePerm, 0.4f, 98, metadata, std::move(source));
    job->moveToThread(m_compressionThread);
    // A job whose turn never comes (the service shuts down first) goes with the thread.
    connect(m_compressionThread, &QThread::finished, job, &QObject::deleteLater);
    connect(job, &VrxCompress::complete, this, &ImageLocator::onFileCompressed);
    QMetaObject::invokeMethod(job, "compress", Qt::QueuedConnection);
}

void ImageLocator::onFileCompressed(VrxMetadata metadata)
{
    if (metadata.invalid) {
        // The original is intact and readable: its row stays as it was (valid, exportable);
        // retryOptimize() offers it to compression again.
        qCDebug(lcEngine) << "Not compressed, kept as it was" << metadata.location;
        metadata.invalid = false;
        m_watch.rememberForRetry(metadata);
        return;
    }
    const QUrl key = fileKey(metadata.location);
    const QMap<int, QVariant> row = m_rows.value(key);
    if (row.isEmpty() || row.value(IResolver::Invalid).toBool()) {
        // Nothing newer to keep: the compressed file as read back.
        fileIndexed(key, metadata, m_rows.beginRead());
        return;
    }
    // A compression changes the raw file's form and size and nothing else: what else its
    // record says is as old as the read it began from, and a rating or an edit shown since
    // stays in the row.
    m_rows.change(
        key, { { IResolver::Compressed, metadata.compressed }, { IResolver::FileSize, metadata.fileSize } });
    m_watch.noteIndexed(key.toLocalFile(), metadata);
    emit notifyFileIndexedSignal(metadata);
    decideProcessing(key, metadata);
}

void ImageLocator::retryOptimize()
{
    const QList<VrxMetadata> records = m_watch.takeRetryList();
    for (VrxMetadata record : records) {
        record.invalid = false;
        const QUrl key = fileKey(record.location);
        if (m_rows.value(key).isEmpty()) {
            onFileMetadataIndexed(record);
            continue;
        }
        // The record is as old as the failed compression: the row holds what the file said
        // since (a star, an edit), and keeps it.
        decideProcessing(key, record);
    }
}

bool ImageLocator::applyProperties(QList<QUrl> locations, ImageProperties* properties, bool shouldSave)
{
    QList<QUrl> keys;
    for (const QUrl& url : qAsConst(locations))
        keys.append(fileKey(url));
    return m_batch->apply(keys, properties, shouldSave);
}

void ImageLocator::revertToOriginal(QList<QUrl> locations)
{
    QList<QUrl> keys;
    for (const QUrl& url : qAsConst(locations))
        keys.append(fileKey(url));
    m_batch->revert(keys);
}

void ImageLocator::undoPatch()
{
    m_batch->undo();
}

void ImageLocator::clearPatchUndoStack()
{
    m_batch->clearUndo();
}

void ImageLocator::cancelPatch()
{
    m_batch->cancel();
}

bool ImageLocator::loadProperties(QUrl location, ImageProperties* properties)
{
    return m_batch->loadProperties(fileKey(location), properties);
}

void ImageLocator::exportImageList(QList<QUrl> locations, int fmts, int sizeVal, int sizeUnit, QUrl folder,
    QString fileName, bool highQuality)
{
    if (locations.isEmpty())
        return;
    // Several pictures keep their own names; an empty name counts as none.
    if (locations.size() > 1 || fileName.trimmed().isEmpty())
        fileName.clear();
    // A name, never a path: nothing is written outside the folder.
    fileName = QFileInfo(fileName).fileName();
    const QString folderPath = folder.isLocalFile() ? folder.toLocalFile() : folder.toString();
    const QString dir = QDir::cleanPath(QDir::current().absoluteFilePath(folderPath));
    // A picture open with the canvas is exported as it stands: its changes are written
    // first (after the save under way, if any), on the editor's save worker; the export
    // waits for that before it reads the picture. Forced: the open editor owns the
    // picture's state (a star given meanwhile is in it too).
    for (const QUrl& location : qAsConst(locations))
        m_lending.saveForExport(location);
    QList<ExportPlanner::Picture> pictures;
    for (const QUrl& location : qAsConst(locations)) {
        const QUrl key = fileKey(location);
        const QMap<int, QVariant> row = m_rows.value(key);
        if (row.value(IResolver::Invalid).toBool() || row.value(IResolver::Incompatible).toBool())
            continue;
        // The whole name before the last dot: "IMG.1.vrx" exports as "IMG.1.jpg".
        pictures.append(
            { key, fileName.isEmpty() ? QFileInfo(key.toLocalFile()).completeBaseName() : fileName });
    }
    Export::SizeSpec size;
    size.unit = Export::SizeUnit(sizeUnit);
    size.value = sizeVal;
    const int quality = highQuality ? 1 : 0;
    // The folder is made and the names are picked on a worker: a folder on a volume that
    // hangs holds the worker, not the window.
    m_exportPlanner->plan(dir, pictures, fmts,
        [this, dir, size, quality](bool made, const QList<ExportPlanner::Output>& outputs) {
            if (!made)
                emit exportFailed(dir, tr("The folder could not be created"));
            for (const ExportPlanner::Output& output : outputs)
                requestWriter(output.location, output.format, output.path, size, quality);
            emit exportListQueued(outputs.size());
        });
}

void ImageLocator::requestWriter(QUrl location, int format, QString path, Export::SizeSpec size, int quality)
{
    const QUrl key = fileKey(location);
    const std::shared_ptr<ImageKeeper> keeper = keeperFor(key);
    // The source is made by the writer: resolving the file's path asks the file system.
    if (!m_exportQueue->enqueue(
            key, [keeper]() -> std::shared_ptr<StreamPart> { return keeper->streamSource(); }, format, path,
            size, quality))
        return; // a writer is at work and takes it up
    // The queue was idle: an editor writes it while it is being recycled.
    ImageEditor& editor = m_lending.borrowForWork();
    m_exportQueue->setWriter(&editor);
    m_lending.giveBack(&editor, nullptr);
}

int ImageLocator::exportListsPending() const
{
    return m_exportPlanner->pending();
}

void ImageLocator::cancelExport()
{
    m_exportPlanner->cancel();
    m_exportQueue->abort();
}

void ImageLocator::backgroundProcess(VrxMetadata metadata)
{
    Export::SizeSpec size;
    size.unit = Export::DepthOnly;
    // The state file's size when indexed (-1: there was none): the render is dropped if
    // the state changed meanwhile. A picture without a state file is rendered too.
    const bool hasState = metadata.extra > 0 || QFileInfo::exists(StateFile::pathFor(metadata.location));
    size.value = hasState ? int(metadata.extra) : -1;
    requestWriter(metadata.location, CIAPI::ExportPPM, QProcess::nullDevice(), size, 0);
}
