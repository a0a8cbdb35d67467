// Renderer::serialize and Renderer::deserialize: the renderer's side of the state stream.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "ciapi/codec/jpegcodec.h"
#include "ciapi/render/rendererprivate.h"
#include "ciapi/render/renderrequest.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/renderer.h"
#include "ciapi/state/statecodec.h"
#include "ciapi/vrx/vrximage.h"

namespace CIAPI {

using namespace render;

namespace {

const int kTuneParams[] = { 2, 3, 4, 7, 8, 9, 13 };

// The coarsest level with the current settings, as JPEG; never reaches a listener.
std::vector<uint8_t> renderThumbnail(
    RenderShared& shared, PictureSession& session, const RequestSettings& settings)
{
    const int level = session.levelCount() - 1;
    RequestSettings s = settings;
    s.mode = 0;
    s.values.ints[static_cast<int>(IntParam::EagerDepth)] = 0; // a thumbnail never starts depth work
    const TileInputs in = prepareInputs(shared, session, level, s, nullptr);
    const Point<int> size = session.levelSize(level);
    const size_t stride = size_t(size.x) * 4;
    std::vector<uint8_t> pixels(stride * size_t(size.y));
    const int bands = (size.y + 63) / 64;
    WorkerPool::instance().parallelFor(bands, [&](int b) {
        const Rect r { 0, b * 64, size.x, std::min(size.y, b * 64 + 64) };
        renderTile(in, r, pixels.data() + size_t(r.y0) * stride, stride);
    });
    return codec::JpegCodec::encode(pixels.data(), size.x, size.y, int(stride), in.bgra, 85);
}

} // namespace

void Renderer::serialize(std::ostream& stream, StateType type)
{
    if (type < StateSettings || type > StateFull)
        throw std::runtime_error("Unknown state type");
    if (!input())
        throw std::runtime_error("No picture to serialize");
    const bool withDepth = d->profile == 3 && type != StateSettings;
    state::EngineState st;
    st.imageId = input()->metadata().imageUuid;
    st.rating = int32_t(getProperty(IntParam::UserRating));
    std::map<int, float> tune;
    for (int p : kTuneParams)
        tune[p] = getProperty(FloatParam(p));
    st.tuneFloats = tune;
    st.tuneInts = std::map<int, int64_t> {};
    st.depthOfField = getProperty(FloatParam::DepthOfField);
    st.focusDepth = getProperty(FloatParam::FocusDepth);
    st.transform = transform();
    if (d->session) {
        PictureSession& session = *d->session;
        if (withDepth) {
            // A full state of a depth renderer always carries depth, computed now when missing.
            session.ensureDepth(nullptr);
            std::lock_guard<std::mutex> lock(session.depthMutex);
            state::DepthState ds;
            ds.type = 2;
            const PlaneF& base = session.depth.base();
            ds.map.width = base.width();
            ds.map.height = base.height();
            const auto range = session.depthRange();
            ds.map.nearDepth = range.first;
            ds.map.farDepth = range.second;
            ds.map.depth.resize(size_t(base.width()) * base.height());
            for (int y = 0; y < base.height(); ++y)
                std::copy(
                    base.row(y), base.row(y) + base.width(), ds.map.depth.begin() + size_t(y) * base.width());
            st.depth = std::move(ds);
            st.depthEdits = session.depth.hasEdits() || session.depth.faceMatting()
                ? session.depth.saveEdits()
                : std::vector<uint8_t> {};
        }
        const bool wantThumb = type == StateFull || session.renderedAny;
        if (wantThumb) {
            RequestSettings s;
            s.profile = d->profile;
            s.values = properties().snapshot();
            st.thumbnailJpeg = renderThumbnail(*d->shared, session, s);
            std::lock_guard<std::mutex> lock(session.thumbMutex);
            session.thumbnail = *st.thumbnailJpeg;
        } else {
            std::lock_guard<std::mutex> lock(session.thumbMutex);
            if (!session.thumbnail.empty())
                st.thumbnailJpeg = session.thumbnail;
        }
    }
    state::StateCodec::write(stream, st);
    if (!stream)
        throw std::runtime_error("Can't write the state");
}

void Renderer::deserialize(std::istream& stream, StateType type)
{
    if (type < StateSettings || type > StateFull)
        throw std::runtime_error("Unknown state type");
    const state::StateCodec::ReadResult read = state::StateCodec::read(stream);
    const state::EngineState& st = read.state;
    if (st.imageId && input() && *st.imageId != input()->metadata().imageUuid)
        throw std::runtime_error("The state belongs to another picture");
    cancelRenderRequests();
    if (st.rating)
        setProperty(IntParam::UserRating, *st.rating);
    if (st.tuneFloats)
        for (const auto& kv : *st.tuneFloats)
            if (std::isfinite(kv.second)
                && std::find(std::begin(kTuneParams), std::end(kTuneParams), kv.first)
                    != std::end(kTuneParams))
                setProperty(FloatParam(kv.first), kv.second);
    if (st.depthOfField && std::isfinite(*st.depthOfField))
        setProperty(FloatParam::DepthOfField, *st.depthOfField);
    if (st.focusDepth && std::isfinite(*st.focusDepth))
        setProperty(FloatParam::FocusDepth, *st.focusDepth);
    if (st.transform && st.transform->isSet())
        transform() = *st.transform;
    if (!d->session)
        return;
    PictureSession& session = *d->session;
    if (st.thumbnailJpeg) {
        std::lock_guard<std::mutex> lock(session.thumbMutex);
        session.thumbnail = *st.thumbnailJpeg;
    }
    const bool withDepth = d->profile == 3 && type != StateSettings;
    if (!withDepth || !st.depth)
        return;
    const vrx::DepthMap& m = st.depth->map;
    // Depth lives at the picture's depth level: a map of any other size is not this picture's.
    const Point<int> depthSize = session.levelSize(session.depthLevel());
    if (m.width != depthSize.x || m.height != depthSize.y || m.depth.size() != size_t(m.width) * m.height)
        throw std::runtime_error("Damaged depth in the state");
    PlaneF base(m.width, m.height);
    for (int y = 0; y < m.height; ++y)
        for (int x = 0; x < m.width; ++x) {
            const float v = m.at(x, y);
            if (!std::isfinite(v) || v <= 0.f)
                throw std::runtime_error("Damaged depth in the state");
            base.at(x, y) = v;
        }
    std::lock_guard<std::mutex> lock(session.depthMutex);
    depth::DepthDocument doc;
    doc.setBase(std::move(base));
    if (st.depthEdits && !st.depthEdits->empty())
        doc.restoreEdits(st.depthEdits->data(), st.depthEdits->size()); // throws before anything changes
    session.depth = std::move(doc);
    session.depthType = st.depth->type == 2 ? 2 : st.depth->type;
    session.depthAnnounced = false;
}

} // namespace CIAPI
