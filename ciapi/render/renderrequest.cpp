#include "ciapi/render/renderrequest.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ciapi/parameters.h"
#include "ciapi/render/rendererprivate.h"
#include "ciapi/render/workerpool.h"

namespace CIAPI::render {

namespace {

int f(FloatParam p)
{
    return static_cast<int>(p);
}
int i(IntParam p)
{
    return static_cast<int>(p);
}

std::mutex g_colourMutex;

} // namespace

ToneSettings toneSettings(const PropertyStore::Values& v)
{
    ToneSettings t;
    t.exposure = v.f(f(FloatParam::Exposure));
    t.contrast = v.f(f(FloatParam::Contrast));
    t.temperature = v.f(f(FloatParam::Temperature));
    if (!(t.temperature >= 1000.f))
        t.temperature = 5500.f;
    t.tint = v.f(f(FloatParam::Tint));
    t.vibrance = v.f(f(FloatParam::Vibrance));
    t.saturation = v.f(f(FloatParam::Saturation));
    t.sharpening = v.f(f(FloatParam::Sharpening));
    return t;
}

std::shared_ptr<const ColourPipeline> colourPipelineFor(const PropertyStore::Values& values, const Mat3& m)
{
    // A handful of recent pipelines; building one costs a few milliseconds of tables.
    struct Entry
    {
        ToneSettings tone;
        Mat3 matrix;
        std::shared_ptr<const ColourPipeline> pipeline;
    };
    static std::vector<Entry> cache;
    ToneSettings t = toneSettings(values);
    t.sharpening = 0.f; // not part of the colour path
    std::lock_guard<std::mutex> lock(g_colourMutex);
    for (const Entry& e : cache)
        if (std::memcmp(&e.tone, &t, sizeof t) == 0 && e.matrix == m)
            return e.pipeline;
    auto p = std::make_shared<const ColourPipeline>(t, m);
    cache.insert(cache.begin(), Entry { t, m, p });
    if (cache.size() > 8)
        cache.pop_back();
    return p;
}

TileInputs colourInputs(PictureSession& session, int level, const RequestSettings& s)
{
    TileInputs in;
    in.levelWidth = session.levelSize(level).x;
    in.levelHeight = session.levelSize(level).y;
    in.sharpening = s.values.f(f(FloatParam::Sharpening));
    in.mode = static_cast<ViewMode>(s.mode);
    in.bgra = s.values.i(i(IntParam::ChannelOrderBGRA)) == 1;
    in.colour = colourPipelineFor(s.values, session.cameraToSrgb());
    return in;
}

RefocusSettings refocusAperture(const PropertyStore::Values& values, int levelWidth)
{
    const float n = values.f(f(FloatParam::DepthOfField));
    const float nMin = std::max(0.5f, values.f(f(FloatParam::MinDepthOfField)));
    const float nMax = std::max(nMin + 0.1f, values.f(f(FloatParam::MaxDepthOfField)));
    RefocusSettings r;
    r.strength = n > 0.f ? std::clamp((1.f / n - 1.f / nMax) / (1.f / nMin - 1.f / nMax), 0.f, 1.f) : 0.f;
    r.maxRadius = 0.02f * float(levelWidth);
    return r;
}

TileInputs prepareInputs(RenderShared& shared, PictureSession& session, int level, const RequestSettings& s,
    bool* computedDepth, bool develop)
{
    std::shared_ptr<const RgbPlanes<uint16_t>> camera;
    if (develop)
        camera = session.level(level);
    TileInputs in;
    const bool eager = s.profile == 3 && s.values.i(i(IntParam::EagerDepth)) == 1;
    // The colour pipeline's tables are made beside the depth computation, whose first step
    // (decoding the raw frames, serial work) leaves threads free.
    WorkerPool::instance().parallelFor(eager ? 2 : 1, [&](int part) {
        if (!eager || part == 1) {
            in = colourInputs(session, level, s);
            return;
        }
        bool started = false;
        const bool did = session.ensureDepth([&](int p) {
            if (!started) {
                started = true;
                shared.emitState(StateChangeBusy);
            }
            shared.emitProgress(std::min(p, 99));
        });
        if (computedDepth)
            *computedDepth = did;
    });
    in.camera = std::move(camera);
    if (s.profile != 3)
        return in;
    std::lock_guard<std::mutex> lock(session.depthMutex);
    if (!session.depth.hasDepth())
        return in;
    if (!session.depthAnnounced) {
        session.depthAnnounced = true;
        shared.emitState(StateChangeDepthForDofAvailable);
        shared.emitState(StateChangeDepthForEditingAvailable);
    }
    in.depth = session.depthSnapshot();
    in.selection = session.selectionSnapshot();
    const auto range = session.depthRange();
    RefocusSettings& r = in.refocus;
    r = refocusAperture(s.values, in.levelWidth);
    r.focusDepth = s.values.f(f(FloatParam::FocusDepth));
    if (!(r.focusDepth > 0.f))
        r.focusDepth = std::sqrt(range.first * range.second);
    r.nearDepth = range.first;
    r.farDepth = range.second;
    return in;
}

RenderRequest::RenderRequest(std::shared_ptr<RenderShared> shared, std::shared_ptr<PictureSession> session,
    uint64_t generation, int level, const ROI& roi, RequestSettings settings)
    : m_shared(std::move(shared))
    , m_session(std::move(session))
    , m_generation(generation)
    , m_level(level)
    , m_roi(roi)
    , m_settings(std::move(settings))
{
    for (int y = (roi.y0 / kTile) * kTile; y < roi.y1; y += kTile)
        for (int x = (roi.x0 / kTile) * kTile; x < roi.x1; x += kTile) {
            const Rect t
                = Rect { x, y, x + kTile, y + kTile }.intersected(Rect { roi.x0, roi.y0, roi.x1, roi.y1 });
            if (!t.empty())
                m_tiles.push_back(t);
        }
    m_remaining = int(m_tiles.size());
    m_pyramid = m_session->pyramid(m_settings.values.i(static_cast<int>(IntParam::ChannelOrderBGRA)) == 1);
}

bool RenderRequest::stale() const
{
    return m_shared->generation.load(std::memory_order_acquire) != m_generation;
}

void RenderRequest::prepare()
{
    m_inputs = prepareInputs(*m_shared, *m_session, m_level, m_settings, &m_computedDepth);
    m_prepared = true;
}

void RenderRequest::runTile(int index)
{
    if (stale())
        return;
    const Rect& t = m_tiles[size_t(index)];
    Image& img = m_pyramid[m_level];
    if (rendersRowByRow(m_inputs)) {
        // Straight into the pyramid, a band of rows at a time, each under the gate: a cancel
        // waits for one band at most, and no band of a cancelled request starts after it.
        constexpr int kBand = 32;
        std::lock_guard<std::mutex> slot(m_shared->tileSlot(m_level, t.x0, t.y0));
        for (int y = t.y0; y < t.y1; y += kBand) {
            std::shared_lock<std::shared_mutex> gate(m_shared->copyGate);
            if (stale())
                return;
            renderRows(m_inputs, t, y, std::min(y + kBand, t.y1), img.row(y) + size_t(t.x0) * 4,
                size_t(img.stride()));
        }
    } else {
        const size_t stride = size_t(t.width()) * 4;
        // One buffer per thread: a fresh large allocation per tile would fault its pages in every time.
        thread_local std::vector<uint8_t> pixels;
        pixels.resize(stride * size_t(t.height()));
        renderTile(m_inputs, t, pixels.data(), stride);
        std::lock_guard<std::mutex> slot(m_shared->tileSlot(m_level, t.x0, t.y0));
        std::shared_lock<std::shared_mutex> gate(m_shared->copyGate);
        if (stale())
            return;
        for (int y = 0; y < t.height(); ++y)
            std::memcpy(img.row(t.y0 + y) + size_t(t.x0) * 4, pixels.data() + size_t(y) * stride, stride);
    }
    std::lock_guard<std::recursive_mutex> lock(m_shared->deliver);
    if (!stale() && m_shared->output)
        m_shared->output(m_pyramid, ROI { t.x0, t.y0, t.x1, t.y1 }, m_level);
}

void RenderRequest::finish()
{
    if (m_prepared && m_level == m_session->levelCount() - 1 && !stale())
        m_session->renderedAny = true;
    {
        std::lock_guard<std::recursive_mutex> lock(m_shared->deliver);
        if (!stale() && m_shared->progress)
            m_shared->progress(100);
    }
    if (m_computedDepth)
        m_shared->emitState(StateChangeDone);
}

void RenderRequest::runNow()
{
    try {
        prepare();
    } catch (...) {
        if (m_computedDepth)
            m_shared->emitState(StateChangeDone);
        throw;
    }
    WorkerPool::instance().parallelFor(int(m_tiles.size()), [this](int i) { runTile(i); });
    finish();
}

void RenderRequest::start()
{
    auto self = shared_from_this();
    WorkerPool::instance().submit([self] {
        if (self->stale())
            return;
        try {
            self->prepare();
        } catch (...) {
            // An unreadable frame: nothing to show; the busy state still ends.
            if (self->m_computedDepth)
                self->m_shared->emitState(StateChangeDone);
            return;
        }
        if (self->m_tiles.empty()) {
            self->finish();
            return;
        }
        for (int i = 0; i < int(self->m_tiles.size()); ++i)
            WorkerPool::instance().submit([self, i] {
                self->runTile(i);
                if (self->m_remaining.fetch_sub(1) == 1)
                    self->finish();
            });
    });
}

} // namespace CIAPI::render
