#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "ciapi/render/picturesession.h"
#include "ciapi/renderer.h"

namespace CIAPI {

// What a renderer's tasks share with it. Listener calls are made under `deliver`, after
// checking the request's generation, so once cancel() has taken the lock and moved the
// generation on, no earlier output can follow.
//
// Tiles are written into the pyramid outside `deliver`, so that they land in parallel: under
// the shared side of `copyGate`, after the same check, and under the lock of their slot (two
// current requests may cover one tile). cancel() also takes the gate's exclusive side, so once
// it returns no write of an earlier request is under way or can start, and pixels a newer
// request has reported are never overwritten by an older one. A cancelled tile may have been
// written, wholly or in part, without being reported; nobody was told to look at it.
struct RenderShared
{
    std::recursive_mutex deliver;
    std::shared_mutex copyGate;
    std::atomic<uint64_t> generation { 1 };
    std::array<std::mutex, 64> tileSlots;
    Renderer::OutputUpdateListener output;
    Renderer::StateChangeListener state;
    Renderer::ProgressUpdateListener progress;

    void cancel()
    {
        std::lock_guard<std::recursive_mutex> lock(deliver); // a listener may cancel: deliver is held first
        // Move the generation first, then wait for the writes under way: a writer that comes to
        // the gate after this sees its request is stale and leaves, so the wait is one band or
        // one copy long even though the gate lets readers ahead of a waiting writer.
        generation.fetch_add(1);
        std::unique_lock<std::shared_mutex> gate(copyGate);
    }
    std::mutex& tileSlot(int level, int x0, int y0)
    {
        return tileSlots[size_t(level * 131 + (x0 >> 8) * 31 + (y0 >> 8) * 7) % tileSlots.size()];
    }

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
    std::atomic<int> mode { 0 };
    std::atomic<uint64_t> abortGeneration { 0 };
    int tuningType = -1; // the last ApplyTuning type, re-applied by reset
};

} // namespace CIAPI
