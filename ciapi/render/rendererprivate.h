#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ciapi/render/picturesession.h"
#include "ciapi/renderer.h"

namespace CIAPI {

// What a renderer's tasks share with it. Listener calls are made under `deliver`, after
// checking the request's generation, so once cancelRenderRequests() has taken the lock
// and moved the generation on, no earlier output can follow.
struct RenderShared
{
    std::recursive_mutex deliver;
    std::atomic<uint64_t> generation{1};
    Renderer::OutputUpdateListener output;
    Renderer::StateChangeListener state;
    Renderer::ProgressUpdateListener progress;

    void emitState(StateChange s)
    {
        std::lock_guard<std::recursive_mutex> lock(deliver);
        if (state)
            state(s, nullptr);
    }
    void emitProgress(int p)
    {
        std::lock_guard<std::recursive_mutex> lock(deliver);
        if (progress)
            progress(p);
    }
};

struct Renderer::Private
{
    int profile = 0;
    std::shared_ptr<RenderShared> shared = std::make_shared<RenderShared>();
    std::shared_ptr<render::PictureSession> session; // null without a renderable input
    std::atomic<int> mode{0};
    std::atomic<uint64_t> abortGeneration{0};
    int tuningType = -1; // the last ApplyTuning type, re-applied by reset
};

} // namespace CIAPI
