#include "engine/imagelocator.h"
#include "engine/logging.h"

#include "ciapi/renderer.h"
#include "ciapi/rendererbase.h"
#include "ciapi/statefileeditor.h"
#include "ciapi/tuning.h"
#include "core/asynctask.h"
#include "engine/exceptiontext.h"
#include "engine/statefile.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sstream>

namespace {

// Values of the last indexing result that the watch needs.
constexpr int kRowInvalid = IResolver::Invalid;
constexpr int kRowFileSize = IResolver::FileSize;
constexpr int kWatchDelayMs = 5000;
// Results handed out per turn of the event loop at most, and the time after which the
// rest waits for the next turn.
constexpr int kDeliverBatch = 64;
constexpr qint64 kDeliverSliceNs = 4000000;

} // namespace

ImageLocator::ImageLocator(QObject* parent)
    : ImageLocator(QThread::idealThreadCount(), parent)
{ }

ImageLocator::ImageLocator(int threadCount, QObject* parent)
    : IResolver(parent)
    , m_watcher(new QFileSystemWatcher(this))
    , m_filePerm(new FilePerm)
    , m_pool(QThreadPool::globalInstance())
    , m_threadCount(qMax(1, threadCount))
    , m_taskSlots(m_threadCount)
    , m_compressionThread(new QThread(this))
    , m_patchThread(new QThread(this))
    , m_exportQueue(new ExportQueue(this))
    , m_exportProgress(new ProgressModel(this))
    , m_patchProgressHandler(new ProgressHandler(1000.0, this))
    , m_link(std::make_shared<TaskLink>([this] { return handOver(); },
          [this] {
              QMetaObject::invokeMethod(
                  this, [this] { deliverResults(); }, Qt::QueuedConnection);
          }))
{
    m_roleNames = IResolver::imageRoleNames();
    m_recyclePool.setMaxThreadCount(2);
    m_editorPool = std::make_unique<StdArrayPool<ImageEditor, 2>>(
        m_editors, 1, [](ImageEditor& editor) { editor.clearListeners(); },
        [this](ImageEditor& editor) { recycleEditor(editor); },
        [this](
            std::function<void()> step) { (new AsyncTask(std::move(step), true))->start(&m_recyclePool); });
    m_exportQueue->setLowSpace(m_lowSpaceBytes);
    m_exportQueue->setBackgroundProcessing(m_backgroundProcessing);
    m_exportQueue->setChannelOrder(m_channelOrder);
    m_exportQueue->setCalibrationProvider([this](StreamPart& source) { return calibrationFor(source); });

    connect(this, &ImageLocator::notifyResourcesAvailableSignal, this, &ImageLocator::shuffleTasks);
    for (ImageEditor& editor : m_editors) {
        connect(&editor, &ImageViewer::notifyFileUpdatedSignal, this, &ImageLocator::onFileContentsUpdated);
        connect(&editor, &ImageViewer::notifyFileMetadataSignal, this, &ImageLocator::onFileMetadataIndexed);
        editor.setFilePerm(m_filePerm);
    }
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &ImageLocator::onPathContentsUpdated);
    setApplyTuning(1);
    m_exportProgress->reset();
    ExportQueue::connectProgress(m_exportQueue, m_exportProgress);
    m_compressionThread->start(QThread::InheritPriority);
    m_patchThread->start(QThread::InheritPriority);
}

ImageLocator::~ImageLocator()
{
    // From here on finishing tasks only let go; they never reach this object again.
    m_link->cut();
    m_patchThread->requestInterruption();
    m_patchThread->quit();
    m_compressionThread->requestInterruption();
    m_compressionThread->quit();
    // Exports not begun are dropped, the running one is cut short; lent editors are
    // saved and closed. Nothing of this waits for this thread, whose event loop may have
    // ended already.
    m_exportQueue->abort();
    m_editorPool->release(0);
    m_editorPool->release(1);
    m_recyclePool.waitForDone();
    // Tasks that never started are dropped; running ones are waited for.
    {
        QMutexLocker lock(&m_pendingMutex);
        for (const std::shared_ptr<IndexTask>& task : qAsConst(m_pending))
            task->keeper()->setLoading(false);
        m_pending.clear();
    }
    m_taskSlots.acquire(m_threadCount);
    m_patchThread->wait();
    m_compressionThread->wait();
    m_keepers.clear();
    delete m_filePerm;
}

bool ImageLocator::cpuSupported() const
{
    return CIAPI::Renderer::IsHardwareCompatible();
}

QUrl ImageLocator::fileKey(const QUrl& url)
{
    if (!url.isLocalFile())
        return url;
    const QString path = url.toLocalFile();
    return QUrl::fromLocalFile(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}

std::function<void(CIAPI::RendererBase&)> ImageLocator::rendererSetup() const
{
    const int tuning = m_applyTuning;
    const int order = m_channelOrder;
    return [tuning, order](CIAPI::RendererBase& renderer) {
        renderer.setProperty(CIAPI::IntParam::ChannelOrderBGRA, order == kGlBgra ? 1 : 0);
        CIAPI::ApplyTuning(tuning, renderer);
    };
}

void ImageLocator::setApplyTuning(int applyTuning)
{
    if (applyTuning == m_applyTuning)
        return;
    m_applyTuning = applyTuning;
    m_exportQueue->setApplyTuning(applyTuning);
    emit applyTuningChanged(applyTuning);
}

void ImageLocator::setChannelOrder(int channelOrder)
{
    if (channelOrder == m_channelOrder)
        return;
    m_channelOrder = channelOrder;
    m_exportQueue->setChannelOrder(channelOrder);
    // Kept outputs have the old pixel order. A keeper still held by a running task goes
    // when that task lets go of it, on this thread (see ImageKeeper::create).
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

std::shared_ptr<ImageKeeper> ImageLocator::keeperFor(const QUrl& url)
{
    const QUrl key = fileKey(url);
    auto it = m_keepers.find(key);
    if (it != m_keepers.end())
        return it.value();
    // What its tasks find comes back through deliverResults(), not through its signals.
    std::shared_ptr<ImageKeeper> keeper = ImageKeeper::create(key);
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
    // The source (its path resolved through any links) is made by the task, off this
    // thread.
    setup.filePerm = m_filePerm;
    setup.channelOrder = m_channelOrder;
    setup.applyTuning = m_applyTuning;
    setup.taskSlots = &m_taskSlots;
    setup.link = m_link;
    setup.probe = m_probe;
    {
        QMutexLocker lock(&m_pendingMutex);
        m_pending.append(std::make_shared<IndexTask>(std::move(setup)));
    }
    shuffleTasks();
}

void ImageLocator::shuffleTasks()
{
    QMutexLocker lock(&m_pendingMutex);
    while (!m_pending.isEmpty() && m_taskSlots.tryAcquire(1)) {
        const std::shared_ptr<IndexTask> next = m_pending.takeFirst();
        (new AsyncTask([next] { next->run(); }, true))->start(m_pool);
    }
}

std::shared_ptr<IndexTask> ImageLocator::handOver()
{
    QMutexLocker lock(&m_pendingMutex);
    if (m_pending.isEmpty()) {
        m_taskSlots.release(1);
        return nullptr;
    }
    return m_pending.takeFirst();
}

int ImageLocator::pendingCount() const
{
    QMutexLocker lock(&m_pendingMutex);
    return m_pending.size();
}

void ImageLocator::requestMetadata(QUrl location)
{
    enqueue(keeperFor(location), true, IndexTask::Metadata | IndexTask::Image);
}

void ImageLocator::requestLoad(QUrl url, ImageClient* client)
{
    const std::shared_ptr<ImageKeeper> keeper = keeperFor(url);
    if (client)
        keeper->addListener(client);
    enqueue(keeper, false, IndexTask::Image);
}

void ImageLocator::releaseClient(QUrl url, ImageClient* client)
{
    const auto it = m_keepers.constFind(fileKey(url));
    if (it != m_keepers.constEnd() && client)
        it.value()->removeListener(client);
}

void ImageLocator::cancelLoading()
{
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (it.value().isEmpty())
            it = m_rows.erase(it);
        else
            ++it;
    }
    // Dropped loads must not keep their keepers loading, or the next load request for
    // such a file would wait for output that never comes.
    QList<std::shared_ptr<IndexTask>> dropped;
    {
        QMutexLocker lock(&m_pendingMutex);
        dropped.swap(m_pending);
    }
    for (const std::shared_ptr<IndexTask>& task : qAsConst(dropped))
        task->keeper()->setLoading(false);
}

void ImageLocator::close()
{
    m_keepers.clear();
    cancelLoading();
}

QUrl ImageLocator::filePathToUrl(QString file) const
{
    return QUrl::fromLocalFile(file);
}

bool ImageLocator::isWatched(const QUrl& url) const
{
    return m_watcher->files().contains(fileKey(url).toLocalFile());
}

void ImageLocator::onUrlFoundInvalidSlot(QUrl location)
{
    emit notifyFileInvalidSignal(location);
}

void ImageLocator::deliverResults()
{
    QElapsedTimer clock;
    clock.start();
    bool more = true;
    while (more) {
        std::vector<IndexResult> batch = m_link->take(kDeliverBatch, &more);
        for (IndexResult& result : batch) {
            ImageKeeper* keeper = result.keeper.get();
            switch (result.kind) {
            case IndexResult::Metadata:
                // A task reports under its keeper's URL, which is the file's key already.
                fileIndexed(keeper->url(), result.metadata);
                break;
            case IndexResult::Output:
                keeper->onImageOutputSlot(std::move(result.message));
                break;
            case IndexResult::Invalid:
                keeper->onFileInvalidSlot(keeper->url());
                onUrlFoundInvalidSlot(keeper->url());
                break;
            }
        }
        if (more && clock.nsecsElapsed() >= kDeliverSliceNs) {
            // The rest waits for the next turn, behind whatever else is queued.
            QMetaObject::invokeMethod(
                this, [this] { deliverResults(); }, Qt::QueuedConnection);
            return;
        }
    }
}

void ImageLocator::onFileMetadataIndexed(VrxMetadata record)
{
    fileIndexed(fileKey(record.location), record);
}

void ImageLocator::fileIndexed(const QUrl& url, const VrxMetadata& record)
{
    const QString path = url.toLocalFile();
    if (record.invalid) {
        if (!record.incompatible && record.frameCount > 1 && !record.compressed) {
            m_retryList.append(record);
        } else if (!path.isEmpty()) {
            if (!m_watcher->files().contains(path))
                m_watcher->addPath(path);
            if (!m_shuffleArmed) {
                m_shuffleArmed = true;
                QTimer::singleShot(kWatchDelayMs, this, &ImageLocator::shuffleFiles);
            }
        }
    } else if (!path.isEmpty() && m_watcher->files().contains(path)) {
        m_watcher->removePath(path);
    }

    storeRow(url, record);
    if (!record.invalid)
        emit notifyFileIndexedSignal(record);
}

void ImageLocator::onFileContentsUpdated(QUrl location)
{
    const auto it = m_keepers.constFind(fileKey(location));
    if (it != m_keepers.constEnd())
        it.value()->clearPyramid();
    requestMetadata(location);
}

void ImageLocator::onPathContentsUpdated(QString path)
{
    onFileContentsUpdated(QUrl::fromLocalFile(path));
}

void ImageLocator::shuffleFiles()
{
    m_shuffleArmed = false;
    const QStringList paths = m_watcher->files();
    for (const QString& path : paths) {
        const QUrl url = QUrl::fromLocalFile(path);
        const qint64 size = QFileInfo(path).size();
        const QMap<int, QVariant> row = m_rows.value(url);
        const QVariant known = row.value(kRowFileSize);
        if (!known.isValid() || known.toLongLong() != size || row.value(kRowInvalid).toBool()) {
            const auto it = m_keepers.constFind(url);
            if (it != m_keepers.constEnd())
                it.value()->clearPyramid();
            requestMetadata(url);
        }
    }
}

std::shared_ptr<QSemaphoreReleaser> ImageLocator::evictPath(QString path)
{
    return evict(QUrl::fromLocalFile(path));
}

std::shared_ptr<QSemaphoreReleaser> ImageLocator::evict(QUrl url)
{
    emit notifyFileEvictedSignal(url);
    return m_filePerm->acquireFileSemaphore(url, FilePerm::kExclusive);
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
    const int index = m_editorPool->acquire(false);
    m_currentEditor = index;
    ImageEditor& editor = m_editors[index];
    if (client) {
        editor.addListener(client);
        client->attachEditor(&editor);
    }
    const std::shared_ptr<ImageKeeper> keeper = keeperFor(url);
    const std::shared_ptr<StreamSource> source = keeper->streamSource();
    // Writers stay away from the file while it is opened; the editor holds its own token.
    const FileToken token = m_filePerm->acquireFileSemaphore(keeper->url(), FilePerm::kShared);
    const ImageViewer::Calibration calibration = calibrationFor(*source);
    editor.loadImageWithState(keeper->url(), source, calibration, m_applyTuning, m_channelOrder);
    editor.resetProperty11();
    editor.renderLevel(-1, 2);
    return &editor;
}

void ImageLocator::releaseEditorSlot(ImageEditor* editor, ImageClient* client)
{
    if (!editor)
        return;
    if (client)
        editor->removeListener(client);
    for (int i = 0; i < 2; ++i) {
        if (editor == &m_editors[i])
            m_editorPool->release(i);
    }
}

void ImageLocator::recycleEditor(ImageEditor& editor)
{
    m_exportQueue->run(editor);
    if (m_recycleProbe)
        m_recycleProbe(editor);
    editor.saveAndClose();
}

namespace {

// The rating a state file holds, read without its lock (a reader stops quietly at a record
// that is still being appended); 0 when there is none.
int storedRating(const QUrl& url)
{
    QFile file(StateFile::pathFor(url));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray bytes = file.readAll();
    try {
        std::istringstream in(
            std::string(bytes.constData(), size_t(bytes.size())), std::ios::binary | std::ios::in);
        return CIAPI::StateFileEditor(in).userRating();
    } catch (...) {
        return 0;
    }
}

} // namespace

void ImageLocator::rate(QUrl url, int rating)
{
    const auto known = m_rows.constFind(fileKey(url));
    if (known != m_rows.constEnd() && known.value().value(IResolver::Invalid).toBool()) {
        // A file that is not a picture never gets a state file.
        qCWarning(lcEngine) << "Error rating" << url << rating << "not a picture";
        return;
    }
    int shown = rating;
    try {
        StateFile::writeRating(url, rating);
    } catch (...) {
        qCWarning(lcEngine) << "Error rating" << url << rating << exceptionText(std::current_exception());
        shown = storedRating(url);
    }
    ImageEditor* editor = currentEditor();
    if (editor && fileKey(editor->currentUrl()) == fileKey(url))
        editor->setRating(shown);
    const QUrl key = fileKey(url);
    const auto row = m_rows.find(key);
    if (row == m_rows.end())
        return;
    if (row.value().isEmpty()) {
        onFileContentsUpdated(url);
        return;
    }
    emit modified(key);
    row.value().insert(IResolver::Rating, shown);
    emit resolved(key);
}
