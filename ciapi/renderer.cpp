#include "ciapi/renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "ciapi/render/rendererprivate.h"
#include "ciapi/render/renderrequest.h"
#include "ciapi/render/workerpool.h"
#include "ciapi/tuning.h"
#include "ciapi/vrx/vrximage.h"

namespace CIAPI {

using namespace render;

std::shared_ptr<Renderer> Renderer::Create(int profile)
{
    if (profile != 0 && profile != 3)
        throw std::invalid_argument("Unknown renderer profile");
    return std::shared_ptr<Renderer>(new Renderer(profile));
}

bool Renderer::IsHardwareCompatible()
{
    return true;
}

Renderer::Renderer(int profile)
    : d(std::make_unique<Private>())
{
    d->profile = profile;
    WorkerPool::instance(); // registers the pool with StaticShutdown
}

Renderer::~Renderer()
{
    d->shared->cancel();
    if (d->session)
        d->session->releaseInput();
    std::lock_guard<std::recursive_mutex> lock(d->shared->deliver);
    d->shared->output = nullptr;
    d->shared->state = nullptr;
    d->shared->progress = nullptr;
}

int Renderer::profile() const
{
    return d->profile;
}

void Renderer::onInputChanged()
{
    cancelRenderRequests();
    // Tasks of earlier requests may still hold the old session; they must not read the
    // caller's bytes once the input was switched.
    if (d->session)
        d->session->releaseInput();
    d->session.reset();
    if (input() && input()->compatible())
        d->session = std::make_shared<PictureSession>(input());
}

void Renderer::onPropertyChanged() { }

ImagePyramid Renderer::outputBuffer()
{
    if (!d->session && input())
        throw std::runtime_error("The file cannot be rendered: " + input()->incompatibility());
    if (!d->session)
        throw std::runtime_error("No picture to render");
    return d->session->pyramid(getProperty(IntParam::ChannelOrderBGRA) == 1);
}

void Renderer::setOutputUpdateListener(OutputUpdateListener listener)
{
    std::lock_guard<std::recursive_mutex> lock(d->shared->deliver);
    d->shared->output = std::move(listener);
}

void Renderer::setStateChangeListener(StateChangeListener listener)
{
    std::lock_guard<std::recursive_mutex> lock(d->shared->deliver);
    d->shared->state = std::move(listener);
}

void Renderer::setProgressUpdateListener(ProgressUpdateListener listener)
{
    std::lock_guard<std::recursive_mutex> lock(d->shared->deliver);
    d->shared->progress = std::move(listener);
}

void Renderer::cancelRenderRequests()
{
    d->shared->cancel();
}

void Renderer::abort()
{
    d->abortGeneration.fetch_add(1);
}

void Renderer::setMode(int mode)
{
    if (mode < 0 || mode > 4)
        throw std::runtime_error("Unknown render mode");
    d->mode = mode;
}

void Renderer::render(int level, const ROI& roi, int renderType, bool sync)
{
    (void)renderType; // every type renders the same pixels; callers use it to tell requests apart
    if (!d->session)
        return;
    if (level < 0 || level >= d->session->levelCount())
        throw std::runtime_error("Bad level request");
    const Point<int> size = d->session->levelSize(level);
    RequestSettings settings;
    settings.profile = d->profile;
    settings.values = properties().snapshot();
    settings.mode = d->mode;
    auto request = std::make_shared<RenderRequest>(d->shared, d->session, d->shared->generation.load(), level,
        roi.clipped(size.x, size.y), std::move(settings));
    if (sync)
        request->runNow();
    else
        request->start();
}

void Renderer::reset(int type)
{
    RendererBase::reset(type);
    if (d->tuningType >= 0)
        ApplyTuning(d->tuningType, *this);
    if (d->session) {
        std::lock_guard<std::mutex> lock(d->session->depthMutex);
        d->session->depth.resetEdits();
    }
}

} // namespace CIAPI
