#include "engine/imageviewer.h"
#include "engine/logging.h"

#include "ciapi/renderer.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/tuning.h"
#include "engine/channelorder.h"
#include "engine/enginestreams.h"
#include "engine/exceptiontext.h"
#include "engine/imageproperties.h"
#include "engine/pixelhelpers.h"
#include "engine/renderervalues.h"
#include "engine/statefile.h"
#include "engine/streampart.h"
#include "engine/transformhelpers.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <atomic>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kViewerKind = 4;
constexpr int kOpenThreads = 4;

} // namespace

struct ImageViewer::BackgroundSave
{
    QUrl url;
    QString statePath;
    std::string bytes;
    StateStamp stamp;
    StateStamp unreadable;
    bool content = false;
    bool rating = false;
    // Written by the worker.
    StateFile::Result result = StateFile::Result::Failed;
    QString reason;
    bool done = false;
};

struct ImageViewer::BackgroundOpen
{
    BackgroundOpen(const QUrl& url, PictureOpen::SourceMaker makeSource, int tuningType, int channelOrder)
        : open(url, std::move(makeSource), tuningType, channelOrder)
    { }

    PictureOpen open;
    std::atomic<bool> stopped { false };
    // Written by the worker before it hands the open back.
    PictureOpen::Outcome outcome = PictureOpen::Outcome::Stopped;
};

ImageViewer::ImageViewer(QObject* parent)
    : ImageRouter(parent)
    , m_busyRetry(new QTimer(this))
{
    m_openPool.setMaxThreadCount(kOpenThreads);
    m_savePool.setMaxThreadCount(1);
    m_busyRetry->setInterval(kBusyRetryMs);
    connect(m_busyRetry, &QTimer::timeout, this, &ImageViewer::retryBusyOpen);
    m_renderer = CIAPI::Renderer::Create(3);
    m_properties = new ImageProperties(this);
    m_firstProgressListener = [this](int progress) { onProgress(progress); };
    m_progressListener = m_firstProgressListener;
    m_firstStateChangeListener = [this](CIAPI::StateChange change, void*) { onStateChange(change); };
    m_stateChangeListener = m_firstStateChangeListener;
    m_outputListener = [this](const CIAPI::ImagePyramid& pyramid, const CIAPI::ROI& region, int level) {
        onOutput(pyramid, region, level);
    };
    m_renderer->setProgressUpdateListener(m_progressListener);
    m_renderer->setStateChangeListener(m_stateChangeListener);
    m_renderer->setOutputUpdateListener(m_outputListener);
}

ImageViewer::~ImageViewer()
{
    // An open still running ends without reaching this object; a save is written.
    waitForOpens();
    m_savePool.waitForDone();
    // No listener may run into a half-destroyed viewer: silence the renderer first.
    silenceRenderer();
    m_renderer.reset();
}

void ImageViewer::silenceRenderer()
{
    if (!m_renderer)
        return;
    m_renderer->cancelRenderRequests();
    // Each returns once a listener call under way has ended.
    m_renderer->setOutputUpdateListener({});
    m_renderer->setStateChangeListener({});
    m_renderer->setProgressUpdateListener({});
}

void ImageViewer::kind(int& kind) const
{
    kind = kViewerKind;
}

void ImageViewer::installListeners()
{
    m_renderer->setOutputUpdateListener(m_outputListener);
    m_renderer->setStateChangeListener(m_stateChangeListener);
    m_renderer->setProgressUpdateListener(m_progressListener);
}

void ImageViewer::onOutput(const CIAPI::ImagePyramid& pyramid, const CIAPI::ROI& region, int level)
{
    QUrl url;
    {
        // Opening and closing change the URL and the output buffer on other threads.
        QMutexLocker lock(&m_openMutex);
        if (m_url.isEmpty() || pyramid != m_currentPyramid)
            return; // output of a picture that is no longer open
        url = m_url;
        if (m_readFailed)
            return;
        if (m_readSource && m_readSource->faults() != m_readFaults) {
            // Zeros read in place of lost bytes: no picture, a read error, said once.
            m_readFailed = true;
            lock.unlock();
            qCWarning(lcEngine) << "can't read file" << url.toLocalFile() << "cut short while it was read";
            emit notifyFileInvalidSignal(url);
            return;
        }
    }
    emit notifyImageOutputSignal(VrxMessage::output(url, VrxMessage::KindViewer, pyramid, region, level));
}

void ImageViewer::onImageOutputSlot(VrxMessage message)
{
    {
        QMutexLocker lock(&m_openMutex);
        if (m_url.isEmpty() || message.location != m_url || message.pyramid != m_currentPyramid)
            return;
    }
    ImageRouter::onImageOutputSlot(message);
}

void ImageViewer::onStateChange(CIAPI::StateChange change)
{
    switch (int(change)) {
    case 0:
        emit setBusyIndicatorSignal(true);
        break;
    case 2:
        depthForDofAvailable();
        break;
    case 3:
        depthForEditingAvailable();
        break;
    case 4:
        emit setBusyIndicatorSignal(false);
        break;
    default:
        break;
    }
}

void ImageViewer::onProgress(int progress)
{
    if (progress == 100) {
        QMutexLocker lock(&m_openMutex);
        m_loaded = true;
        m_wakeup.wakeAll();
    }
    emit updateDepthProgressSignal(progress);
}

void ImageViewer::setLoaded(bool loaded)
{
    QMutexLocker lock(&m_openMutex);
    m_loaded = loaded;
    m_wakeup.wakeAll();
}

void ImageViewer::outputReady()
{
    m_properties->loadFromRenderer(*m_renderer, true);
    refreshFacts();
}

void ImageViewer::fileInvalid(QUrl url)
{
    emit notifyFileInvalidSignal(url);
}

void ImageViewer::depthForDofAvailable() { }

void ImageViewer::depthForEditingAvailable() { }

void ImageViewer::metadataReady()
{
    announceSaved(m_contentDirty, m_ratingDirty);
}

void ImageViewer::announceSaved(bool content, bool rating)
{
    const QUrl url = currentUrl();
    if (content) {
        emit notifyFileUpdatedSignal(url);
    } else if (rating) {
        VrxMetadata metadata;
        metadata.resetFromFile(url);
        metadata.readRendererMetadata(*m_renderer);
        metadata.depthType = 2;
        metadata.userRating = int(m_renderer->getProperty(CIAPI::IntParam::UserRating));
        // Saved whole, with the depth edits it was opened with: no content change here.
        metadata.hasDepthEdits = hasDepthEdits();
        emit notifyFileMetadataSignal(metadata);
    }
}

void ImageViewer::createRenderer()
{
    replaceRenderer(CIAPI::Renderer::Create(3));
}

void ImageViewer::replaceRenderer(std::shared_ptr<CIAPI::Renderer> renderer)
{
    if (renderer == m_renderer)
        return;
    silenceRenderer();
    m_renderer = std::move(renderer);
    installListeners();
}

void ImageViewer::applyTuning(CIAPI::RendererBase& renderer, int tuningType, int channelOrder)
{
    renderer.setProperty(CIAPI::IntParam::ChannelOrderBGRA, ChannelOrder::isBgra(channelOrder) ? 1 : 0);
    CIAPI::ApplyTuning(tuningType, renderer);
}

void ImageViewer::setRendererProperty(CIAPI::RendererBase& renderer)
{
    renderer.setProperty(CIAPI::IntParam::EagerDepth, 1);
}

bool ImageViewer::loadImageWithState(const QUrl& url, std::shared_ptr<StreamPart> source,
    const Calibration& calibration, int tuningType, int channelOrder)
{
    // Nothing of the previous picture may be delivered under the new one.
    m_renderer->cancelRenderRequests();
    m_stateStamp = StateStamp();
    m_unreadableState = StateStamp();
    m_contentDirty = false;
    m_ratingDirty = false;
    m_hasSavedDepth = false;
    m_hasDepthEdits = false; // until this picture's state file says otherwise
    {
        QMutexLocker lock(&m_openMutex);
        dropBackgroundOpen();
        m_pendingOpen = PendingOpen();
        m_loaded = false;
        m_currentPyramid = CIAPI::ImagePyramid();
        m_url = url;
        m_wakeup.wakeAll();
    }
    // The previous picture's input stays readable while engine work still holds it.
    retireInput(m_renderer->input(), std::move(m_source), std::move(m_inputStream));
    m_source = source;

    PictureOpen open(url, source, tuningType, channelOrder);
    const PictureOpen::Outcome outcome = open.run(
        m_filePerm, [calibration](StreamPart&) { return calibration; }, m_renderer, openLockWaitMs());
    switch (outcome) {
    case PictureOpen::Outcome::Opened:
        takeOpened(open);
        return true;
    case PictureOpen::Outcome::FileBusy:
        qCInfo(lcEngine) << "File is busy, opened when released" << url.toLocalFile();
        deferOpen({ url, source, calibration, tuningType, channelOrder, false });
        return false;
    case PictureOpen::Outcome::StateBusy:
        // A writer (a batch edit, a rating) holds the state: the picture is not shown
        // without it, nor read while it may be half written.
        qCInfo(lcEngine) << "State file is busy, opened when released" << stateFilePathFor(url);
        deferOpen({ url, source, calibration, tuningType, channelOrder, true });
        return false;
    case PictureOpen::Outcome::Unreadable:
    case PictureOpen::Outcome::Stopped:
        break;
    }
    failOpen(url, open.reason());
    return false;
}

void ImageViewer::takeOpened(PictureOpen& open)
{
    const QUrl url = open.url();
    if (open.renderer() != m_renderer) {
        // The input this renderer was given stays readable while engine work holds it.
        retireInput(m_renderer->input(), open.source(), nullptr);
        replaceRenderer(open.takeRenderer());
    }
    m_source = open.source();
    m_inputStream = open.takeInputStream();
    m_readToken = open.takeToken();
    m_stateStamp = open.stateStamp();
    m_unreadableState = open.unreadableState();
    m_saveFailureTold = false;
    m_hasDepthEdits = open.hasDepthEdits();
    m_hasSavedDepth = open.hasSavedDepth();
    // Opening is no change: a picture only looked at gets no state file written. Edits kept
    // since the picture was closed without them saved are a change still to be saved.
    m_contentDirty = open.adoptedUnsaved();
    m_ratingDirty = false;
    {
        QMutexLocker lock(&m_openMutex);
        m_readSource = m_source;
        m_readFaults = open.readFaults();
        m_readFailed = false;
        m_loaded = false;
        m_url = url;
        m_wakeup.wakeAll();
    }
    // The original values stay those of the unedited picture; the saved edits are what it
    // shows now.
    m_properties->loadFromRenderer(open.originals(), true);
    m_properties->loadFromRenderer(*m_renderer, false);
    refreshFacts();
}

void ImageViewer::openInBackground(const QUrl& url, std::shared_ptr<StreamPart> source,
    CalibrationLookup calibration, int tuningType, int channelOrder,
    std::shared_ptr<const UnsavedState> unsaved)
{
    openInBackground(
        url, [source = std::move(source)] { return source; }, std::move(calibration), tuningType,
        channelOrder, std::move(unsaved));
}

void ImageViewer::openInBackground(const QUrl& url, PictureOpen::SourceMaker makeSource,
    CalibrationLookup calibration, int tuningType, int channelOrder,
    std::shared_ptr<const UnsavedState> unsaved)
{
    closeImage();
    m_contentDirty = false;
    m_ratingDirty = false;
    auto job = std::make_shared<BackgroundOpen>(url, std::move(makeSource), tuningType, channelOrder);
    job->open.setUnsaved(std::move(unsaved));
    {
        QMutexLocker lock(&m_openMutex);
        m_backgroundOpen = job;
    }
    FilePerm* filePerm = m_filePerm;
    m_openPool.start([this, job, filePerm, calibration = std::move(calibration), probe = m_openProbe] {
        job->outcome
            = job->open.run(filePerm, calibration, nullptr, -1, [job] { return job->stopped.load(); });
        if (probe)
            probe(job->open.url());
        QMetaObject::invokeMethod(
            this, [this, job] { finishOpen(job); }, Qt::QueuedConnection);
    });
}

void ImageViewer::finishOpen(const std::shared_ptr<BackgroundOpen>& job)
{
    {
        QMutexLocker lock(&m_openMutex);
        if (m_backgroundOpen != job)
            return; // overtaken: what it holds goes with it
        m_backgroundOpen.reset();
    }
    const QUrl url = job->open.url();
    switch (job->outcome) {
    case PictureOpen::Outcome::Opened:
        break;
    case PictureOpen::Outcome::Unreadable:
        failOpen(url, job->open.reason());
        return;
    case PictureOpen::Outcome::FileBusy:
    case PictureOpen::Outcome::StateBusy:
    case PictureOpen::Outcome::Stopped:
        return;
    }
    takeOpened(job->open);
    // As opening a picture for view does: the quick mode off, the coarsest level first.
    resetProperty11();
    renderLevel(-1, 2);
    openFinished(url);
    emit notifyFileOpenedSignal(url);
}

void ImageViewer::openFinished(const QUrl&) { }

void ImageViewer::dropBackgroundOpen()
{
    if (!m_backgroundOpen)
        return;
    m_backgroundOpen->stopped = true;
    m_backgroundOpen.reset();
}

QUrl ImageViewer::openingUrl() const
{
    QMutexLocker lock(&m_openMutex);
    return m_backgroundOpen ? m_backgroundOpen->open.url() : m_pendingOpen.url;
}

void ImageViewer::waitForOpens()
{
    {
        QMutexLocker lock(&m_openMutex);
        dropBackgroundOpen();
    }
    m_openPool.waitForDone();
}

void ImageViewer::deferOpen(const PendingOpen& pending)
{
    closeImage();
    {
        QMutexLocker lock(&m_openMutex);
        m_pendingOpen = pending;
    }
    QMetaObject::invokeMethod(m_busyRetry, qOverload<>(&QTimer::start), Qt::QueuedConnection);
    emit notifyFileBusySignal(pending.url);
}

int ImageViewer::openLockWaitMs() const
{
    const QCoreApplication* app = QCoreApplication::instance();
    const bool onGuiThread = app && QThread::currentThread() == app->thread();
    // The retries run on this object's thread: only there is a busy lock left to them.
    return onGuiThread && thread() == QThread::currentThread() ? kOpenLockWaitMs : -1;
}

QUrl ImageViewer::pendingStateUrl() const
{
    QMutexLocker lock(&m_openMutex);
    return m_pendingOpen.forState ? m_pendingOpen.url : QUrl();
}

void ImageViewer::cancelPendingOpen()
{
    QMutexLocker lock(&m_openMutex);
    m_pendingOpen = PendingOpen();
    dropBackgroundOpen();
}

void ImageViewer::failOpen(const QUrl& url, const QString& reason)
{
    m_ratingDirty = false;
    fileInvalid(url);
    closeImage();
    qCWarning(lcEngine) << "can't read file" << url.toLocalFile() << reason;
}

bool ImageViewer::keepUnreadableState(const QString& statePath, QString* error)
{
    return keepUnreadable(statePath, m_unreadableState, error);
}

bool ImageViewer::keepUnreadable(const QString& statePath, StateStamp& unreadable, QString* error)
{
    if (!unreadable.exists())
        return true;
    if (StateStamp::of(statePath) != unreadable) {
        // Replaced or gone since: what is there now was written by someone else.
        unreadable = StateStamp();
        return true;
    }
    if (StateFile::keepAside(statePath).isEmpty()) {
        if (error)
            *error = QStringLiteral("Can't keep the unreadable state file");
        return false;
    }
    unreadable = StateStamp();
    return true;
}

void ImageViewer::retryBusyOpen()
{
    PendingOpen pending;
    {
        QMutexLocker lock(&m_openMutex);
        pending = m_pendingOpen;
    }
    if (pending.url.isEmpty()) {
        m_busyRetry->stop();
        return;
    }
    if (m_filePerm && !m_filePerm->tryAcquireFileSemaphore(pending.url.toLocalFile(), FilePerm::kShared, 0))
        return;
    // Not read again from the raw file each time while a writer keeps the state.
    if (!StateFile::lockIsFree(stateFilePathFor(pending.url)))
        return;
    m_busyRetry->stop();
    // As opening a picture for view does: the quick mode off, the coarsest level first.
    if (loadImageWithState(
            pending.url, pending.source, pending.calibration, pending.tuningType, pending.channelOrder)) {
        resetProperty11();
        renderLevel(-1, 2);
        emit notifyFileOpenedSignal(pending.url);
    }
}

void ImageViewer::closeImage()
{
    m_stateStamp = StateStamp();
    m_unreadableState = StateStamp();
    m_saveFailureTold = false;
    {
        QMutexLocker lock(&m_openMutex);
        m_pendingOpen = PendingOpen();
        dropBackgroundOpen();
        m_loaded = false;
        m_url = QUrl();
        m_currentPyramid = CIAPI::ImagePyramid();
        m_wakeup.wakeAll();
    }
    m_renderer->cancelRenderRequests();
    std::shared_ptr<const CIAPI::vrx::VrxImage> input = m_renderer->input();
    try {
        m_renderer->setInputDataStream(std::shared_ptr<std::istream>());
    } catch (...) {
        qCWarning(lcEngine) << "can't release input" << exceptionText(std::current_exception());
    }
    retireInput(std::move(input), std::move(m_source), std::move(m_inputStream));
    m_inputStream.reset();
    m_source.reset();
    m_readToken.reset();
}

void ImageViewer::saveAndClose(std::shared_ptr<const UnsavedState>* unsaved)
{
    // The changes of a save that fails now leave with the close: told even when an earlier
    // failure was.
    m_saveFailureTold = false;
    const QUrl url = currentUrl();
    if (!serializeCurrentState(true) && unsaved && (m_contentDirty || m_ratingDirty) && url.isValid()
        && !url.isEmpty()) {
        try {
            std::ostringstream out(std::ios::binary | std::ios::out);
            m_renderer->setMode(0);
            m_renderer->serialize(out, CIAPI::StateFull);
            *unsaved = std::make_shared<const UnsavedState>(
                UnsavedState { stateFilePathFor(url), out.str(), m_stateStamp, url.toLocalFile() });
        } catch (...) {
            qCWarning(lcEngine) << "can't keep the unsaved edits of" << url
                                << exceptionText(std::current_exception());
        }
    }
    closeImage();
}

void ImageViewer::reportSaveFailure(const QUrl& url, const QString& reason)
{
    if (std::exchange(m_saveFailureTold, true))
        return;
    emit saveFailed(url, reason.isEmpty() ? QStringLiteral("Unknown exception") : reason);
}

bool ImageViewer::saveInBackground(bool force, int lockWaitMs)
{
    if (isSaving())
        return false;
    m_saveBusy = false;
    const QUrl url = currentUrl();
    qCDebug(lcEngine) << "saveInBackground:" << url << "D" << m_contentDirty << "R" << m_ratingDirty;
    if ((!m_contentDirty && !m_ratingDirty) || !url.isValid() || url.isEmpty())
        return false;
    auto job = std::make_shared<BackgroundSave>();
    job->url = url;
    job->statePath = stateFilePathFor(url);
    try {
        std::ostringstream out(std::ios::binary | std::ios::out);
        m_renderer->setMode(0);
        m_renderer->serialize(out, CIAPI::StateFull);
        job->bytes = out.str();
    } catch (...) {
        qCWarning(lcEngine) << "can't write state" << job->statePath
                            << exceptionText(std::current_exception());
        return false;
    }
    job->stamp = m_stateStamp;
    job->unreadable = m_unreadableState;
    job->content = m_contentDirty;
    job->rating = m_ratingDirty;
    // Changes made from here on are for the next save.
    m_contentSaving = m_contentDirty;
    m_ratingSaving = m_ratingDirty;
    m_contentDirty = false;
    m_ratingDirty = false;
    {
        QMutexLocker lock(&m_saveMutex);
        m_backgroundSave = job;
    }
    m_savePool.start([this, job, force, lockWaitMs] {
        if (keepUnreadable(job->statePath, job->unreadable, &job->reason)) {
            job->result = StateFile::save(
                job->statePath, force, job->stamp,
                [&job](std::ostream& stream) {
                    stream.write(job->bytes.data(), std::streamsize(job->bytes.size()));
                },
                &job->reason, lockWaitMs, job->url.toLocalFile());
        }
        {
            QMutexLocker lock(&m_saveMutex);
            job->done = true;
        }
        emit saveEnded();
    });
    return true;
}

bool ImageViewer::isSaving() const
{
    QMutexLocker lock(&m_saveMutex);
    return m_backgroundSave != nullptr;
}

bool ImageViewer::takeSaveResult()
{
    std::shared_ptr<BackgroundSave> job;
    {
        QMutexLocker lock(&m_saveMutex);
        if (!m_backgroundSave || !m_backgroundSave->done)
            return false;
        job.swap(m_backgroundSave);
    }
    m_contentSaving = false;
    m_ratingSaving = false;
    if (job->url != currentUrl())
        return false; // the picture was closed meanwhile; its bookkeeping went with it
    if (!job->unreadable.exists())
        m_unreadableState = StateStamp();
    if (job->result == StateFile::Result::Saved) {
        m_stateStamp = job->stamp;
        m_saveFailureTold = false;
        announceSaved(job->content, job->rating);
        return true;
    }
    if (job->result == StateFile::Result::PictureGone) {
        qCInfo(lcEngine) << "picture gone, its edits with it" << job->url;
        emit pictureGone(job->url);
        return false;
    }
    m_saveBusy = job->result == StateFile::Result::Busy;
    if (job->result == StateFile::Result::ChangedOnDisk)
        qCDebug(lcEngine) << "state file changed by another writer, left alone" << job->statePath;
    else if (m_saveBusy)
        qCDebug(lcEngine) << "state file busy, saved later" << job->statePath;
    else {
        qCWarning(lcEngine) << "can't write state" << job->statePath
                            << (job->reason.isEmpty() ? QStringLiteral("Unknown exception") : job->reason);
        reportSaveFailure(job->url, job->reason);
        if (m_refusedSaveKeeper)
            m_refusedSaveKeeper(
                UnsavedState { job->statePath, job->bytes, job->stamp, job->url.toLocalFile() });
    }
    m_contentDirty = m_contentDirty || job->content;
    m_ratingDirty = m_ratingDirty || job->rating;
    return false;
}

void ImageViewer::finishBackgroundSave()
{
    if (!isSaving())
        return;
    m_savePool.waitForDone();
    takeSaveResult();
}

bool ImageViewer::serializeCurrentState(bool force, QString* error, int lockWaitMs)
{
    // A save under way is over first: nothing older may land after this one.
    finishBackgroundSave();
    m_saveBusy = false;
    const QUrl url = currentUrl();
    qCDebug(lcEngine) << "serializeCurrentState:" << url << "D" << m_contentDirty << "R" << m_ratingDirty;
    if (!m_contentDirty && !m_ratingDirty)
        return false;
    if (!url.isValid() || url.isEmpty())
        return false;
    const QString statePath = stateFilePathFor(url);
    QString reason;
    if (!keepUnreadableState(statePath, &reason)) {
        qCWarning(lcEngine) << "can't write state" << statePath << reason;
        if (error)
            *error = reason;
        reportSaveFailure(url, reason);
        return false;
    }
    const StateFile::Result result = StateFile::save(
        statePath, force, m_stateStamp,
        [this](std::ostream& stream) {
            m_renderer->setMode(0);
            m_renderer->serialize(stream, CIAPI::StateFull);
        },
        &reason, lockWaitMs, url.toLocalFile());
    if (result == StateFile::Result::PictureGone) {
        qCInfo(lcEngine) << "picture gone, its edits with it" << url;
        m_contentDirty = false;
        m_ratingDirty = false;
        emit pictureGone(url);
        return false;
    }
    if (result == StateFile::Result::Busy) {
        m_saveBusy = true;
        qCDebug(lcEngine) << "state file busy, saved later" << statePath;
        return false;
    }
    if (result == StateFile::Result::Failed) {
        qCWarning(lcEngine) << "can't write state" << statePath << reason;
        if (error)
            *error = reason.isEmpty() ? QStringLiteral("Unknown exception") : reason;
        reportSaveFailure(url, reason);
        return false;
    }
    if (result != StateFile::Result::Saved)
        return false;
    m_saveFailureTold = false;
    metadataReady();
    m_contentDirty = false;
    m_ratingDirty = false;
    return true;
}

void ImageViewer::render(int level, const CIAPI::ROI& region, int renderType)
{
    m_renderer->render(level, region, renderType, false);
}

void ImageViewer::renderLevel(int level, int renderType)
{
    if (currentUrl().isEmpty())
        return;
    CIAPI::ImagePyramid pyramid = m_renderer->outputBuffer();
    const int count = pyramid.levelCount();
    if (level < 0)
        level += count;
    if (level < 0 || level >= count)
        return;
    m_renderer->render(level, imageRect(pyramid[level]), renderType, false);
}

void ImageViewer::renderLowestLevel()
{
    if (currentUrl().isEmpty())
        return;
    const int count = m_renderer->outputBuffer().levelCount();
    if (count == 0)
        return;
    m_renderer->render(count - 1, CIAPI::ROI { 0, 0, 512, 512 }, 1, false);
}

void ImageViewer::setRendererProperty0(double value)
{
    m_renderer->setProperty(CIAPI::FloatParam::DepthOfField, float(value));
    m_renderer->cancelRenderRequests();
    m_contentDirty = true;
}

void ImageViewer::setRendererProperty1(float value)
{
    m_renderer->setProperty(CIAPI::FloatParam::FocusDepth, value);
    m_renderer->cancelRenderRequests();
    m_contentDirty = true;
}

void ImageViewer::setMode(int mode)
{
    m_renderer->setMode(mode);
    m_renderer->cancelRenderRequests();
}

bool ImageViewer::setBackgroundColor(const QColor& color)
{
    try {
        m_renderer->setProperty(CIAPI::FloatArrayParam::BackgroundColor,
            { float(color.redF()), float(color.greenF()), float(color.blueF()), float(color.alphaF()) });
    } catch (...) {
        return false;
    }
    return true;
}

void ImageViewer::setTransform(const CIAPI::Transform& transform)
{
    m_renderer->transform() = transform;
    m_properties->setTransform(transform, false);
    m_contentDirty = true;
}

bool ImageViewer::syncProperties()
{
    // Only a real change makes the pending renders stale; a display item calls this for
    // every output region it receives.
    if (!m_properties->differsFromRenderer(*m_renderer))
        return false;
    m_properties->applyToRenderer(*m_renderer);
    m_renderer->cancelRenderRequests();
    m_contentDirty = true;
    return true;
}

void ImageViewer::setProperty11()
{
    m_renderer->setProperty(CIAPI::IntParam::Interactive, 1);
}

void ImageViewer::resetProperty11()
{
    m_renderer->setProperty(CIAPI::IntParam::Interactive, 0);
    m_properties->loadFromRenderer(*m_renderer, false);
}

std::pair<float, float> ImageViewer::depthRange() const
{
    const std::vector<float> range = m_renderer->getProperty(CIAPI::FloatArrayParam::DepthRange);
    return { range.size() > 0 ? range[0] : 0.f, range.size() > 1 ? range[1] : 0.f };
}

float ImageViewer::propertyValue0() const
{
    return m_renderer->getProperty(CIAPI::FloatParam::DepthOfField);
}

float ImageViewer::propertyValue14() const
{
    return m_renderer->getProperty(CIAPI::FloatParam::MinDepthOfField);
}

float ImageViewer::propertyValue16() const
{
    return m_renderer->getProperty(CIAPI::FloatParam::MaxDepthOfField);
}
