#include "engine/indextask.h"
#include "engine/logging.h"

#include "ciapi/backgroundthread.h"
#include "ciapi/backgroundwork.h"
#include "ciapi/directrenderer.h"
#include "ciapi/propertyaccessor.h"
#include "ciapi/renderer.h"
#include "ciapi/state/enginestate.h"
#include "ciapi/statefileeditor.h"
#include "ciapi/tuning.h"
#include "engine/channelorder.h"
#include "engine/directstreamreader.h"
#include "engine/enginestreams.h"
#include "engine/pixelhelpers.h"
#include "engine/sentinels.h"
#include "engine/statefile.h"
#include "engine/vrxmessage.h"
#include "engine/vrxmetadata.h"

#include <QDebug>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

CIAPI::ImagePyramid IndexTask::renderThumbnail(StreamSource& source, int channelOrder, int tuning,
    const QHash<int, std::shared_ptr<StreamPart>>& calibration, const QString& statePath)
{
    const FaultCheck faults(&source);
    const std::shared_ptr<CIAPI::Renderer> renderer = CIAPI::Renderer::Create(0);
    const std::shared_ptr<MultiMemStream> input = readRawProperties(source, *renderer, calibration);
    renderer->setProperty(CIAPI::IntParam::ChannelOrderBGRA, ChannelOrder::isBgra(channelOrder) ? 1 : 0);
    CIAPI::ApplyTuning(tuning, *renderer);
    if (!statePath.isEmpty() && QFileInfo::exists(statePath)) {
        // The tone values the picture is edited with, as the editor reads them.
        try {
            const auto stream = openFileStream(statePath);
            renderer->deserialize(*stream, CIAPI::StateSettings);
        } catch (const std::exception& e) {
            qCDebug(lcEngine) << "Thumbnail without the state" << statePath << e.what();
        }
    }
    const CIAPI::ImagePyramid buffer = renderer->outputBuffer();
    const int coarsest = buffer.levelCount() - 1;
    if (coarsest < 0)
        throw std::runtime_error("Nothing to render");
    const CIAPI::Image& level = buffer[coarsest];
    renderer->render(coarsest, CIAPI::ROI { 0, 0, level.width(), level.height() }, 1, true);
    faults.check();
    // A copy of its own: the renderer's buffer goes with the renderer.
    CIAPI::Image copy = CIAPI::Image::Create(level.width(), level.height(), level.pixelFormat());
    for (int y = 0; y < level.height(); ++y)
        std::memcpy(copy.row(y), level.row(y), size_t(level.width()) * 4);
    CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
    pyramid[0] = copy;
    return pyramid;
}

TaskLink::TaskLink(HandOver handOver, Wake wake)
    : m_handOver(std::move(handOver))
    , m_wake(std::move(wake))
{ }

void TaskLink::finished(QSemaphore* taskSlots)
{
    for (;;) {
        std::shared_ptr<IndexTask> next;
        {
            QMutexLocker lock(&m_mutex);
            if (!m_handOver) {
                taskSlots->release(1);
                return;
            }
            next = m_handOver();
        }
        if (!next)
            return;
        next->work();
    }
}

void TaskLink::post(IndexResult result)
{
    QMutexLocker lock(&m_resultMutex);
    if (m_cut)
        return; // `result` (and the keeper it may hold last) goes after the lock
    m_results.push_back(std::move(result));
    if (!m_wakePending && m_wake) {
        m_wakePending = true;
        m_wake();
    }
}

std::vector<IndexResult> TaskLink::take(int max, bool* more)
{
    std::vector<IndexResult> out;
    QMutexLocker lock(&m_resultMutex);
    const size_t n = std::min(m_results.size(), size_t(std::max(0, max)));
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(std::move(m_results.front()));
        m_results.pop_front();
    }
    const bool left = !m_results.empty();
    if (!left)
        m_wakePending = false;
    if (more)
        *more = left;
    return out;
}

void TaskLink::cut()
{
    {
        QMutexLocker lock(&m_mutex);
        m_handOver = nullptr;
    }
    std::deque<IndexResult> dropped;
    QMutexLocker lock(&m_resultMutex);
    m_cut = true;
    m_wake = nullptr;
    dropped.swap(m_results);
    lock.unlock();
}

IndexTask::IndexTask(Setup setup)
    : m_setup(std::move(setup))
{ }

void IndexTask::probe(Step step)
{
    if (m_setup.probe)
        m_setup.probe(step, m_setup.url);
}

void IndexTask::postMetadata(const VrxMetadata& record)
{
    IndexResult result;
    result.kind = IndexResult::Metadata;
    result.keeper = m_setup.keeper;
    result.metadata = record;
    result.readStamp = m_setup.readStamp;
    m_setup.link->post(std::move(result));
}

void IndexTask::postOutput(VrxMessage message)
{
    IndexResult result;
    result.kind = IndexResult::Output;
    result.keeper = m_setup.keeper;
    result.message = std::move(message);
    result.readStamp = m_setup.readStamp;
    m_setup.link->post(std::move(result));
}

void IndexTask::postInvalid()
{
    IndexResult result;
    result.kind = IndexResult::Invalid;
    result.keeper = m_setup.keeper;
    result.readStamp = m_setup.readStamp;
    m_setup.link->post(std::move(result));
}

void IndexTask::run()
{
    // Thumbnails are drawn at lowered CPU priority, on this pool thread's twin (the pool's
    // threads run other work too, at the priority of work someone waits for).
    CIAPI::BackgroundThread::run([this] {
        work();
        m_setup.link->finished(m_setup.taskSlots);
    });
}

void IndexTask::work()
{
    // Thumbnails and facts for the gallery: an editor's render or an export on the engine's
    // threads goes first.
    const CIAPI::BackgroundWork background;
    const QUrl& url = m_setup.url;
    bool wantMetadata = m_setup.kinds & Metadata;
    bool wantImage = m_setup.kinds & Image;
    VrxMetadata record;
    record.location = url;
    try {
        probe(Step::Started);
        const FileToken token = m_setup.filePerm->acquireFileSemaphore(url, FilePerm::kShared);
        probe(Step::Token);
        if (!m_setup.source)
            m_setup.source = m_setup.keeper->streamSource();
        // A file cut short while it is read is a read error, never a result.
        const FaultCheck faults(m_setup.source.get());

        record.resetFromFile(url);
        // Every result is known by the URL it was asked for, whatever links lead there.
        record.location = url;
        record.frameCount = 1;
        record.compressed = false;
        record.deviceUuid = QUuid();
        record.imageUuid = QUuid();
        record.transform = CIAPI::Transform();
        record.depthType = 0;
        const QString statePath = stateFilePathFor(url);
        const QFileInfo stateInfo(statePath);
        record.extra = stateInfo.exists() ? stateInfo.size() : 0;
        CIAPI::ImagePyramid pyramid = CIAPI::ImagePyramid::Create(1);
        bool haveThumbnail = false;
        QUuid stateImage;

        if (stateInfo.exists()) {
            try {
                probe(Step::State);
                const auto in = openFileStream(statePath);
                const CIAPI::StateFileEditor editor(*in);
                record.readStateFileMetadata(editor);
                stateImage = record.imageUuid;
                qCDebug(lcEngine) << "edited" << record.hasDepthEdits << "rating" << record.userRating;
                // The editor saves a thumbnail with the settings it was drawn with, depth of
                // field and focus always among them. A state written elsewhere (a camera's)
                // may hold a thumbnail of another look, without the calibration: the
                // picture is drawn instead, as the editor draws it.
                if (wantImage && editor.hasThumbnail() && editor.state().depthOfField) {
                    CIAPI::Image thumbnail = editor.getThumbnail();
                    if (!thumbnail.empty() && thumbnail.width() > 0 && thumbnail.height() > 0) {
                        qCDebug(lcEngine) << "Obtained thumbnail" << QFileInfo(url.toLocalFile()).fileName()
                                          << thumbnail.width() << thumbnail.height() << thumbnail.stride();
                        const int w = thumbnail.width();
                        const int h = thumbnail.height();
                        if (ChannelOrder::isBgra(m_setup.channelOrder))
                            swapRedBlue(thumbnail.data(), w, h, thumbnail.stride(),
                                thumbnail.data() + std::ptrdiff_t(thumbnail.stride()) * (h - 1) + w * 4);
                        // The decoded thumbnail is an engine image of its own: no copy.
                        pyramid[0] = thumbnail;
                        // Still owed until sent: a failure from here on reports it.
                        haveThumbnail = true;
                    }
                }
            } catch (const std::runtime_error& e) {
                qCDebug(lcEngine) << "Couldn't read thumbnail from state" << url << e.what();
            } catch (...) {
                qCDebug(lcEngine) << "Couldn't read thumbnail from state" << url << "Unknown exception";
            }
        }

        // The raw file's facts: when asked for, and to make sure a saved thumbnail
        // belongs to this very picture before it is shown.
        if (haveThumbnail || (wantMetadata && !wantImage)) {
            probe(Step::RawMetadata);
            CIAPI::PropertyAccessor accessor;
            StreamSource& source = *m_setup.source;
            if (mapPart(source))
                accessor.setInputDataStream(source.data(), size_t(source.length()));
            else
                attachInputStream(source, accessor);
            record.readFrom(accessor);
            faults.check();
            if (haveThumbnail) {
                if (stateImage.isNull() || stateImage == record.imageUuid) {
                    postOutput(VrxMessage::output(url, m_setup.kinds, pyramid, imageRect(pyramid[0]), 0));
                    wantImage = false;
                } else {
                    qCDebug(lcEngine) << "Depth file identity mismatch" << url;
                    record.depthType = 0;
                }
            }
            if (wantMetadata) {
                postMetadata(record);
                wantMetadata = false;
            }
        }

        if (wantMetadata || wantImage) {
            probe(Step::Render);
            DirectStreamReader reader;
            reader.setSource(m_setup.source);
            reader.renderer().setProperty(
                CIAPI::IntParam::ChannelOrderBGRA, ChannelOrder::isBgra(m_setup.channelOrder) ? 1 : 0);
            CIAPI::ApplyTuning(m_setup.applyTuning, reader.renderer());
            if (wantMetadata) {
                record.readRendererMetadata(reader.renderer());
                faults.check();
                postMetadata(record);
                wantMetadata = false;
            }
            if (wantImage) {
                const QHash<int, std::shared_ptr<StreamPart>> calibration
                    = m_setup.calibration ? m_setup.calibration(*m_setup.source) : decltype(calibration) {};
                const CIAPI::ImagePyramid thumbnail = IndexTask::renderThumbnail(
                    *m_setup.source, m_setup.channelOrder, m_setup.applyTuning, calibration, statePath);
                postOutput(VrxMessage::output(url, m_setup.kinds, thumbnail, imageRect(thumbnail[0]), 0));
                wantImage = false;
            }
        }
        probe(Step::Finished);
    } catch (const std::out_of_range& e) {
        qCDebug(lcEngine) << url << "OOR" << e.what();
        record.problem = QString::fromLocal8Bit(e.what());
    } catch (const std::exception& e) {
        qCDebug(lcEngine) << url << "RTE" << e.what();
        record.problem = QString::fromLocal8Bit(e.what());
    } catch (...) {
        qCDebug(lcEngine) << url << "RTE"
                          << "Unknown exception";
        record.problem = QStringLiteral("Unknown exception");
    }

    // Whatever was still wanted is reported as the file being unreadable.
    if (wantMetadata)
        postMetadata(record);
    if (wantImage)
        postOutput(VrxMessage::output(url, m_setup.kinds, invalidPyramid(), CIAPI::ROI {}, -1));
    if (wantMetadata || wantImage)
        postInvalid();
    // The file stays mapped as long as anyone holds it (its compression waiting in the
    // queue, say): the pages read here are the system's to keep meanwhile.
    if (m_setup.source)
        m_setup.source->dropResidentPages();
}
