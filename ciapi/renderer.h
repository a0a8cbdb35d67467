#pragma once

#include "ciapi/image.h"
#include "ciapi/parameters.h"
#include "ciapi/rendererbase.h"

#include <functional>
#include <istream>
#include <memory>
#include <ostream>

namespace CIAPI {

// Renders a picture into an image pyramid on the engine's threads, reports through
// listeners, keeps its edits in a state stream and writes exports.
//
// Profiles: 0 renders without depth work; 3 computes depth and allows depth editing.
class Renderer : public RendererBase
{
public:
    using OutputUpdateListener = std::function<void(const ImagePyramid&, const ROI&, int)>;
    using StateChangeListener = std::function<void(StateChange, void*)>;
    using ProgressUpdateListener = std::function<void(int)>;

    // Profile 0 or 3; any other throws std::invalid_argument.
    static std::shared_ptr<Renderer> Create(int profile);
    // Whether this machine can run the engine.
    static bool IsHardwareCompatible();

    ~Renderer() override;

    int profile() const;

    // One pyramid handle per opened input (a new one for every new input); level 0 has
    // the output size for the picture's focal length.
    ImagePyramid outputBuffer();

    // Renders `roi` (clipped to the level) of a level; one output call per finished tile.
    // With `sync` it returns only when done.
    void render(int level, const ROI& roi, int renderType, bool sync);

    void setOutputUpdateListener(OutputUpdateListener listener);
    void setStateChangeListener(StateChangeListener listener);
    void setProgressUpdateListener(ProgressUpdateListener listener);

    // Once this returns, no output of an earlier request is delivered.
    void cancelRenderRequests();
    // Makes a running writeImage return false.
    void abort();
    // 0 normal, 1 refocus-point shading, 2 focus-slider view (the in-focus band, the rest in
    // false-colour depth), 3 debug view, 4 quick-select mask overlay.
    void setMode(int mode);

    void serialize(std::ostream& stream, StateType type);
    void deserialize(std::istream& stream, StateType type);

    // Writes level 0 under the transform, scaled to `size` ((0, 0) = native). `progress` is
    // called one report at a time, in increasing order, on the calling thread or on one of the
    // engine's pool threads.
    bool writeImage(std::shared_ptr<std::ostream> stream, Point<int> size, ExportImageFormat format,
        std::function<void(int)> progress);

    void reset(int type) override;

protected:
    explicit Renderer(int profile);
    void onInputChanged() override;
    void onPropertyChanged() override;

private:
    // The engine's own classes that work on the renderer's picture session and tuning.
    friend class DepthEditor;
    friend void ApplyTuning(int type, RendererBase& renderer);

    struct Private;
    Private& privateData() { return *d; }

    std::unique_ptr<Private> d;
};

} // namespace CIAPI
