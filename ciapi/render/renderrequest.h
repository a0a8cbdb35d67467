#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "ciapi/image.h"
#include "ciapi/propertystore.h"
#include "ciapi/render/picturesession.h"
#include "ciapi/render/tilerender.h"

namespace CIAPI {

struct RenderShared;

namespace render {

// What a request was asked with, fixed when it was made.
struct RequestSettings
{
    int profile = 0;
    int mode = 0;
    PropertyStore::Values values;
};

// The tile inputs for one level under the given settings: develops the level, computes
// depth where the profile asks for it (reporting state 0, progress, then 2 and 3), and
// builds the colour pipeline. `computedDepth` tells whether depth was computed here.
// `develop` false leaves `camera` null (the caller develops the rows it needs).
TileInputs prepareInputs(RenderShared& shared, PictureSession& session, int level,
    const RequestSettings& settings, bool* computedDepth, bool develop = true);

// What prepareInputs gives that the colour work of a level reads: the level's size, the
// colour pipeline, the sharpening, the mode and channel order; no level, depth or refocus.
TileInputs colourInputs(PictureSession& session, int level, const RequestSettings& settings);

// The refocus of a level `levelWidth` pixels wide without the depth range and focus depth (which
// the depth gives): how strong it is and its largest blur, as prepareInputs sets them.
RefocusSettings refocusAperture(const PropertyStore::Values& values, int levelWidth);

// One render(level, roi) call: tiles on the engine's pool, one output call per finished
// tile, then progress 100 (and state 4 after a depth computation). Every listener call is
// made only while the renderer's generation still equals the request's.
class RenderRequest : public std::enable_shared_from_this<RenderRequest>
{
public:
    static constexpr int kTile = 256;

    RenderRequest(std::shared_ptr<RenderShared> shared, std::shared_ptr<PictureSession> session,
        uint64_t generation, int level, const ROI& roi, RequestSettings settings);

    void start(); // asynchronous
    void runNow(); // on the caller's thread and the pool; returns when done

private:
    bool stale() const;
    void prepare();
    void runTile(int index);
    void finish();

    std::shared_ptr<RenderShared> m_shared;
    std::shared_ptr<PictureSession> m_session;
    uint64_t m_generation;
    int m_level;
    ROI m_roi;
    RequestSettings m_settings;
    std::vector<Rect> m_tiles;
    TileInputs m_inputs;
    ImagePyramid m_pyramid;
    bool m_computedDepth = false;
    bool m_prepared = false;
    std::atomic<int> m_remaining { 0 };
};

// A colour pipeline for the tune values of `values`, reused while they stay the same.
std::shared_ptr<const ColourPipeline> colourPipelineFor(
    const PropertyStore::Values& values, const Mat3& cameraToSrgb);

ToneSettings toneSettings(const PropertyStore::Values& values);

} // namespace render
} // namespace CIAPI
