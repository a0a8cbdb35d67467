#include "engine/exportqueue.h"
#include "engine/logging.h"

#include "ciapi/renderer.h"
#include "core/powerservices.h"
#include "core/progressmodel.h"
#include "engine/exceptiontext.h"
#include "engine/exportbudget.h"
#include "engine/imageviewer.h"
#include "engine/streampart.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <exception>
#include <optional>
#include <stdexcept>

ExportQueue::ExportQueue(QObject* parent)
    : QObject(parent)
{ }

ExportQueue::~ExportQueue() = default;

bool ExportQueue::enqueue(const QUrl& location, std::shared_ptr<StreamPart> source, int format,
    const QString& path, const Export::SizeSpec& size, int hiFi)
{
    return enqueue(
        location, [source = std::move(source)] { return source; }, format, path, size, hiFi);
}

bool ExportQueue::enqueue(const QUrl& location, SourceMaker makeSource, int format, const QString& path,
    const Export::SizeSpec& size, int hiFi)
{
    ExportRequest request;
    request.location = location;
    request.makeSource = std::move(makeSource);
    request.format = format;
    request.path = path;
    request.sizeMode = int(size.unit);
    request.sizeValue = size.value;
    request.size = size.size;
    request.hiFi = hiFi;

    bool idle = false;
    {
        QMutexLocker lock(&m_mutex);
        idle = m_current == nullptr && !m_claimed;
        // Only one caller learns that the queue was idle, so only one writer is started.
        if (idle)
            m_claimed = true;
        auto it = m_pending.find(location);
        if (it == m_pending.end()) {
            it = m_pending.insert(location, RequestSet());
            const quint64 sequence = m_nextSequence++;
            m_sequence.insert(location, sequence);
            m_order.emplace(sequence, location);
        }
        if (it->insert(request).second && request.isExport())
            ++m_claimedPaths[path];
        reorder(location);
    }
    if (idle)
        emit notifyResetProgress();
    if (request.isExport())
        emit notifyPartialProgress(0, path);
    return idle;
}

void ExportQueue::abort()
{
    {
        QMutexLocker lock(&m_mutex);
        m_pending.clear();
        m_order.clear();
        m_exportOrder.clear();
        m_sequence.clear();
        m_claimedPaths.clear();
        ++m_aborts;
        if (m_writing)
            m_writing->abort();
    }
    emit notifyResetProgress();
}

int ExportQueue::dropBackground(const QSet<QUrl>& locations)
{
    QMutexLocker lock(&m_mutex);
    int dropped = 0;
    for (const QUrl& url : locations) {
        const auto it = m_pending.find(url);
        if (it == m_pending.end())
            continue;
        for (auto request = it->begin(); request != it->end();) {
            if (request->isExport()) {
                ++request;
            } else {
                request = it->erase(request);
                ++dropped;
            }
        }
        settle(it, url);
    }
    return dropped;
}

void ExportQueue::setBackgroundProcessing(bool on)
{
    QMutexLocker lock(&m_mutex);
    m_backgroundProcessing = on;
}

bool ExportQueue::backgroundProcessing() const
{
    QMutexLocker lock(&m_mutex);
    return m_backgroundProcessing;
}

void ExportQueue::setPendingValue(qint64 value)
{
    QMutexLocker lock(&m_mutex);
    m_pendingValue = value;
}

qint64 ExportQueue::pendingValue() const
{
    QMutexLocker lock(&m_mutex);
    return m_pendingValue;
}

void ExportQueue::setApplyTuning(int tuningType)
{
    QMutexLocker lock(&m_mutex);
    m_applyTuning = tuningType;
}

int ExportQueue::applyTuning() const
{
    QMutexLocker lock(&m_mutex);
    return m_applyTuning;
}

void ExportQueue::setReasonForPowerRequest(const QString& reason)
{
    QMutexLocker lock(&m_mutex);
    m_reasonForPowerRequest = reason;
}

QString ExportQueue::reasonForPowerRequest() const
{
    QMutexLocker lock(&m_mutex);
    return m_reasonForPowerRequest;
}

void ExportQueue::setLowSpace(qint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    m_lowSpace = bytes;
}

qint64 ExportQueue::lowSpace() const
{
    QMutexLocker lock(&m_mutex);
    return m_lowSpace;
}

void ExportQueue::setWriter(ImageViewer* writer)
{
    QMutexLocker lock(&m_mutex);
    m_current = writer;
    m_claimed = false;
}

ImageViewer* ExportQueue::writer() const
{
    QMutexLocker lock(&m_mutex);
    return m_current;
}

void ExportQueue::setChannelOrder(int channelOrder)
{
    QMutexLocker lock(&m_mutex);
    m_channelOrder = channelOrder;
}

void ExportQueue::setCalibrationProvider(CalibrationProvider provider)
{
    QMutexLocker lock(&m_mutex);
    m_calibration = std::move(provider);
}

void ExportQueue::setSaveWait(SaveWait wait)
{
    QMutexLocker lock(&m_mutex);
    m_saveWait = std::move(wait);
}

bool ExportQueue::isIdle() const
{
    QMutexLocker lock(&m_mutex);
    return m_current == nullptr && !m_claimed;
}

QSet<QString> ExportQueue::claimedPaths() const
{
    QMutexLocker lock(&m_mutex);
    QSet<QString> paths;
    for (auto it = m_claimedPaths.cbegin(); it != m_claimedPaths.cend(); ++it)
        paths.insert(it.key());
    return paths;
}

int ExportQueue::pendingCount() const
{
    QMutexLocker lock(&m_mutex);
    int count = 0;
    for (const RequestSet& set : m_pending)
        count += int(set.size());
    return count;
}

void ExportQueue::connectProgress(ExportQueue* queue, ProgressModel* model)
{
    connect(
        queue, &ExportQueue::notifyPartialProgress, model, [model](int percentage, const QString& location) {
            model->setPartialPercentage(percentage, QVariant(location));
        });
    connect(queue, &ExportQueue::notifyPartialDropped, model,
        [model](const QString& location) { model->setPartialProgress(0, 0, QVariant(location)); });
    connect(queue, &ExportQueue::notifyFlushProgress, model, &ProgressModel::flush);
    connect(queue, &ExportQueue::notifyResetProgress, model, &ProgressModel::reset);
}

bool ExportQueue::take(ImageViewer& writer, ExportRequest& request, quint64& aborts)
{
    const QUrl open = writer.currentUrl();
    QMutexLocker lock(&m_mutex);
    aborts = m_aborts.load();
    if (m_pending.isEmpty()) {
        if (m_current == &writer)
            m_current = nullptr;
        return false;
    }
    // The open picture first, then the oldest with an export, then the oldest of all.
    QUrl chosen;
    if (!open.isEmpty() && m_pending.contains(open))
        chosen = open;
    else if (!m_exportOrder.empty())
        chosen = m_exportOrder.begin()->second;
    else
        chosen = m_order.begin()->second;
    auto it = m_pending.find(chosen);
    request = *it->begin();
    it->erase(it->begin());
    settle(it, chosen);
    return true;
}

void ExportQueue::settle(QHash<QUrl, RequestSet>::iterator it, const QUrl& url)
{
    if (!it->empty()) {
        reorder(url);
        return;
    }
    m_pending.erase(it);
    const quint64 sequence = m_sequence.take(url);
    m_order.erase(sequence);
    m_exportOrder.erase(sequence);
}

void ExportQueue::reorder(const QUrl& url)
{
    const auto sequence = m_sequence.constFind(url);
    const auto set = m_pending.constFind(url);
    if (sequence == m_sequence.constEnd())
        return;
    if (set != m_pending.constEnd() && !set->empty() && set->begin()->isExport())
        m_exportOrder.emplace(*sequence, url);
    else
        m_exportOrder.erase(*sequence);
}

bool ExportQueue::acceptBackground(const ExportRequest& request, const QString& statePath) const
{
    bool on;
    qint64 lowSpace;
    {
        QMutexLocker lock(&m_mutex);
        on = m_backgroundProcessing;
        lowSpace = m_lowSpace;
    }
    if (!on)
        return false;
    const QFileInfo state(statePath);
    const qint64 stateSize = state.exists() ? state.size() : -1;
    if (stateSize != request.sizeValue)
        return false;
    const QStorageInfo volume(QFileInfo(request.location.toLocalFile()).absolutePath());
    if (!volume.isValid() || volume.isReadOnly())
        return false;
    return request.hiFi == 1 || volume.bytesAvailable() >= lowSpace;
}

void ExportQueue::run(ImageViewer& writer)
{
    QString reason;
    {
        QMutexLocker lock(&m_mutex);
        if (m_current != &writer)
            return;
        reason = m_reasonForPowerRequest;
    }
    // The machine stays awake while the queue is written.
    keepAwake(false, reason);
    struct Sleep
    {
        ~Sleep() { allowSleep(); }
    } sleep;
    Previous previous;
    ExportRequest request;
    quint64 aborts = 0;
    while (take(writer, request, aborts)) {
        if (!request.isExport() && !acceptBackground(request, stateFilePathFor(request.location)))
            continue;
        write(writer, request, aborts, previous);
        if (request.isExport()) {
            QMutexLocker lock(&m_mutex);
            auto claimed = m_claimedPaths.find(request.path);
            if (claimed != m_claimedPaths.end() && --claimed.value() <= 0)
                m_claimedPaths.erase(claimed);
        }
    }
    emit notifyFlushProgress();
}

bool ExportQueue::copyPrevious(const ExportRequest& request, const Previous& previous)
{
    // Only the same picture, with the same settings and nothing edited since, may be
    // served from the previous output; anything else is rendered.
    if (previous.outputSize < 0 || previous.request.location != request.location
        || !previous.request.sameSettings(request))
        return false;
    if (StateStamp::of(stateFilePathFor(request.location)) != previous.state)
        return false;
    const QFileInfo output(previous.request.path);
    if (!output.exists() || output.size() != previous.outputSize)
        return false;
    if (previous.request.path == request.path)
        return true;
    // Never a moment without a whole file under the name, nor a cut-off copy left in sight.
    return copyExport(previous.request.path, request.path);
}

void ExportQueue::write(ImageViewer& writer, const ExportRequest& request, quint64 aborts, Previous& previous)
{
    int tuning;
    int channelOrder;
    CalibrationProvider calibration;
    SaveWait saveWait;
    {
        QMutexLocker lock(&m_mutex);
        tuning = m_applyTuning;
        channelOrder = m_channelOrder;
        calibration = m_calibration;
        saveWait = m_saveWait;
    }
    try {
        FileToken token;
        if (writer.filePerm())
            token = writer.filePerm()->acquireFileSemaphore(request.location, FilePerm::kShared);

        // Made here, off the thread that asked: resolving the file's path asks the file
        // system.
        const std::shared_ptr<StreamPart> source = request.source ? request.source
            : request.makeSource                                  ? request.makeSource()
                                                                  : nullptr;
        Calibration resources;
        if (calibration && source)
            resources = calibration(*source);

        qCDebug(lcEngine) << "serializeCurrentState E";
        const QUrl before = writer.currentUrl();
        QString saveError;
        const bool saved = writer.serializeCurrentState(false, &saveError);
        qCDebug(lcEngine) << "serializeCurrentState X";
        if (!saveError.isEmpty()) {
            // Opening the next picture would drop the open one's unsaved changes: it stays
            // open with them, and this request fails with the reason.
            qCWarning(lcEngine) << "Can't serialize" << before << saveError;
            throw std::out_of_range(QStringLiteral("Can't serialize %1: %2")
                                        .arg(before.toLocalFile(), saveError)
                                        .toLocal8Bit()
                                        .toStdString());
        }
        // Saving the picture just exported is no edit of it.
        if (saved && before == previous.request.location && previous.outputSize >= 0)
            previous.state = StateStamp::of(stateFilePathFor(before));

        // The editor just handed back with this picture writes its last edits first.
        if (saveWait)
            saveWait(request.location);
        // A raw file cut short while it is read is a read error, never an output.
        const FaultCheck faults(source.get());
        writer.loadImageWithState(request.location, source, resources, tuning, channelOrder);
        // What the output will show: the state as loaded, whatever happens to it meanwhile.
        const StateStamp loadedState = StateStamp::of(stateFilePathFor(request.location));
        const QUrl open = writer.currentUrl();
        if (!open.isValid() || open.isEmpty()) {
            qCDebug(lcEngine) << "No valid input for" << request.location << "into" << request.path;
            if (request.isExport())
                failed(request.path, QStringLiteral("No valid input"));
            return;
        }
        // An abort since the request was taken cancels it (pending requests are gone already).
        if (request.isExport() && abortedSince(aborts))
            throw std::runtime_error("The export was cancelled");
        if (request.isExport() && copyPrevious(request, previous)) {
            emit notifyPartialProgress(100, request.path);
            return;
        }
        if (!request.isExport())
            writer.keepComputedDepth();
        const QString path = request.path;
        // Waits while other exports run that would not leave room for this one.
        std::optional<ExportBudget::Ticket> ticket;
        if (request.isExport()) {
            const CIAPI::ImagePyramid pyramid = writer.renderer().outputBuffer();
            const qint64 pixels = qint64(pyramid[0].width()) * pyramid[0].height();
            const qint64 output
                = request.size.isValid() ? qint64(request.size.width()) * request.size.height() : 0;
            ticket.emplace(ExportBudget::instance(), ExportBudget::estimate(pixels, qMax(pixels, output)));
        }
        faults.check();
        // From here abort() aborts the renderer the export is written with; an abort made
        // before the engine started the write (which it would not see) is seen at the engine's
        // first report, which the engine checks for an abort after.
        const std::shared_ptr<CIAPI::Renderer> renderer = writer.rendererHandle();
        {
            QMutexLocker lock(&m_mutex);
            if (request.isExport() && abortedSince(aborts))
                throw std::runtime_error("The export was cancelled");
            m_writing = renderer;
        }
        struct Written
        {
            ExportQueue& queue;
            ~Written()
            {
                std::shared_ptr<CIAPI::Renderer> done;
                QMutexLocker lock(&queue.m_mutex);
                done.swap(queue.m_writing);
            }
        } writing { *this };
        bool written = exportImage(writer, request, [this, path, renderer, aborts](int percentage) {
            if (abortedSince(aborts))
                renderer->abort();
            emit notifyPartialProgress(percentage, path);
        });
        if (faults.failed()) {
            if (written && request.isExport())
                QFile::remove(path);
            faults.check();
        }
        if (!request.isExport())
            return;
        if (written) {
            previous.request = request;
            previous.request.source.reset();
            previous.request.makeSource = nullptr;
            previous.state = loadedState;
            previous.outputSize = QFileInfo(request.path).size();
        } else {
            previous = Previous();
            failed(request.path, QStringLiteral("The image could not be written"), abortedSince(aborts));
        }
    } catch (...) {
        const QString text = exceptionText(std::current_exception());
        qCDebug(lcEngine) << "Can't process" << request.location << "into" << request.path << text;
        previous = Previous();
        if (request.isExport())
            failed(request.path, text, abortedSince(aborts));
    }
}

void ExportQueue::failed(const QString& path, const QString& reason, bool cancelled)
{
    // The file's share of the progress is dropped: a failure must not leave the bar open.
    emit notifyPartialDropped(path);
    emit notifyExportFailed(path, reason, cancelled);
}
