#include "engine/pictureopen.h"
#include "engine/logging.h"

#include "ciapi/renderer.h"
#include "ciapi/state/statecodec.h"
#include "engine/enginestreams.h"
#include "engine/exceptiontext.h"
#include "engine/imageviewer.h"
#include "engine/multimemstream.h"
#include "engine/renderervalues.h"
#include "engine/streampart.h"
#include "engine/transformhelpers.h"

#include <QDebug>

#include <exception>
#include <sstream>
#include <stdexcept>

PictureOpen::PictureOpen(
    const QUrl& url, std::shared_ptr<StreamPart> source, int tuningType, int channelOrder)
    : m_url(url)
    , m_tuningType(tuningType)
    , m_channelOrder(channelOrder)
    , m_source(std::move(source))
{ }

PictureOpen::PictureOpen(const QUrl& url, SourceMaker makeSource, int tuningType, int channelOrder)
    : m_url(url)
    , m_tuningType(tuningType)
    , m_channelOrder(channelOrder)
    , m_makeSource(std::move(makeSource))
{ }

PictureOpen::~PictureOpen() = default;

PictureOpen::Outcome PictureOpen::run(FilePerm* filePerm, const CalibrationLookup& calibration,
    std::shared_ptr<CIAPI::Renderer> renderer, int lockWaitMs, const StopCheck& stop)
{
    const auto stopped = [&stop] { return stop && stop(); };
    if (filePerm) {
        m_token = stop ? filePerm->acquireUnlessStopped(m_url, FilePerm::kShared, stop, kPollMs)
                       : filePerm->acquireFileSemaphore(m_url, FilePerm::kShared);
        if (!m_token)
            return stopped() ? Outcome::Stopped : Outcome::FileBusy;
    }
    m_renderer = renderer ? std::move(renderer) : CIAPI::Renderer::Create(3);
    try {
        if (!m_source && m_makeSource)
            m_source = m_makeSource();
        if (!m_source)
            throw std::runtime_error("No source");
        if (calibration)
            m_calibration = calibration(*m_source);
        attach();
    } catch (...) {
        m_reason = exceptionText(std::current_exception());
        return Outcome::Unreadable;
    }

    const QString statePath = stateFilePathFor(m_url);
    if (m_unsaved)
        settleUnsaved(statePath);
    bool stateBusy = false;
    try {
        stateBusy = !readState(statePath, false, lockWaitMs, stop);
    } catch (...) {
        qCWarning(lcEngine) << "can't read state" << statePath << exceptionText(std::current_exception());
        // Start again from the raw file alone, on an engine state that saw nothing of it.
        m_stateStamp = StateStamp();
        m_hasSavedDepth = false;
        m_hasDepthEdits = false;
        try {
            m_renderer = CIAPI::Renderer::Create(3);
            m_inputStream.reset();
            attach();
        } catch (...) {
            m_reason = exceptionText(std::current_exception());
            return Outcome::Unreadable;
        }
        m_unreadableState = StateStamp::of(statePath);
        m_adoptedUnsaved = false;
        try {
            stateBusy = !readState(statePath, true, lockWaitMs, stop);
        } catch (...) {
            // Not this picture's state at all: the raw file alone is shown.
            qCInfo(lcEngine) << "nothing of the state read" << statePath
                             << exceptionText(std::current_exception());
        }
    }
    if (stateBusy)
        return stopped() ? Outcome::Stopped : Outcome::StateBusy;
    ImageViewer::setRendererProperty(*m_renderer);
    return Outcome::Opened;
}

void PictureOpen::settleUnsaved(const QString& statePath)
{
    QString error;
    // Bounded: an open does not wait long for a writer here; the edits then open unsaved.
    const StateFile::Result result = StateFile::saveKept(*m_unsaved, &error, kUnsavedLockWaitMs);
    if (result == StateFile::Result::Saved) {
        qCInfo(lcEngine) << "saved the edits kept since the picture was closed" << statePath;
        return;
    }
    if (result == StateFile::Result::ChangedOnDisk || result == StateFile::Result::PictureGone) {
        qCWarning(lcEngine) << "the edits kept since the picture was closed are dropped: its state file"
                            << statePath << "was changed since";
        return;
    }
    if (StateStamp::of(statePath) != m_unsaved->madeOver) {
        qCWarning(lcEngine) << "the edits kept since the picture was closed are dropped: its state file"
                            << statePath << "was changed since";
        return;
    }
    qCWarning(lcEngine) << "the edits kept since the picture was closed still can't be saved" << statePath
                        << error << "- opened with them";
    m_adoptedUnsaved = true;
}

void PictureOpen::attach()
{
    m_readFaults = m_source->faults();
    m_inputStream = readRawProperties(*m_source, *m_renderer, m_calibration);
    fitFrameToPicture();
    ImageViewer::applyTuning(*m_renderer, m_tuningType, m_channelOrder);
    // The picture's pyramid is made here too, and a file the engine cannot render throws.
    m_renderer->outputBuffer();
    m_originals = std::make_unique<RendererValues>(*m_renderer);
}

void PictureOpen::fitFrameToPicture()
{
    fitTransformToPicture(
        m_renderer->transform(), float(m_renderer->getProperty(CIAPI::IntParam::FocalLength)));
}

bool PictureOpen::readState(
    const QString& statePath, bool settingsOnly, int lockWaitMs, const StopCheck& stop)
{
    StateStamp stamp;
    bool damaged = false;
    const StateFile::Reader full = [this, &damaged](std::istream& stream) {
        m_renderer->deserialize(stream, CIAPI::StateFull);
        fitFrameToPicture();
        stream.clear();
        stream.seekg(0);
        const CIAPI::state::StateCodec::ReadResult facts = CIAPI::state::StateCodec::read(stream);
        if (facts.segments == 0 && facts.tornTail)
            throw std::runtime_error("Not a state file");
        m_hasDepthEdits = facts.state.hasDepthEdits();
        m_hasSavedDepth = facts.state.depthType() == 2;
        // Bytes after a damaged record may hold edits that were not read.
        damaged = facts.tornTail;
    };
    const StateFile::Reader settings = [this](std::istream& stream) {
        m_renderer->deserialize(stream, CIAPI::StateSettings);
        fitFrameToPicture();
    };
    if (m_adoptedUnsaved && !settingsOnly) {
        // The edits that could not be saved stand for the file, which still holds what they
        // were made over.
        std::istringstream in(m_unsaved->bytes, std::ios::binary | std::ios::in);
        full(in);
        m_stateStamp = m_unsaved->madeOver;
        return true;
    }
    StateFile::ReadResult result;
    for (;;) {
        result
            = StateFile::read(statePath, settingsOnly ? settings : full, stamp, stop ? kPollMs : lockWaitMs);
        if (result != StateFile::ReadResult::Busy)
            break;
        if (!stop || stop())
            return false;
    }
    if (result == StateFile::ReadResult::Read && !settingsOnly) {
        m_stateStamp = stamp;
        if (damaged)
            m_unreadableState = stamp;
    }
    return true;
}
