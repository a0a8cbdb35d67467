#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "ciapi/depth/depthdocument.h"
#include "ciapi/image.h"
#include "ciapi/render/colourpipeline.h"
#include "ciapi/render/plane.h"
#include "ciapi/render/rawdevelop.h"

namespace CIAPI {
namespace vrx {
class VrxImage;
}

namespace render {

// Everything a renderer derives from one opened input: the output pyramid, the developed
// levels, the depth document. Shared by the renderer and its running tasks, so replacing
// the input never pulls data from under a tile. Caches fill on demand, under locks.
class PictureSession
{
public:
    explicit PictureSession(std::shared_ptr<const vrx::VrxImage> image);

    const std::shared_ptr<const vrx::VrxImage>& image() const { return m_image; }
    int levelCount() const { return int(m_sizes.size()); }
    Point<int> levelSize(int level) const { return m_sizes.at(size_t(level)); }
    const Mat3& cameraToSrgb() const { return m_cameraToSrgb; }

    // The output handle of this input (made on first use with the given channel order).
    ImagePyramid pyramid(bool bgra);

    // Camera RGB of a level (developed on first use; thread-safe).
    std::shared_ptr<const RgbPlanes<uint16_t>> level(int level);
    // The level when it is developed already, else null.
    std::shared_ptr<const RgbPlanes<uint16_t>> developedLevel(int level);
    // Rows of a level developed on demand, without keeping them (reads the input's mosaic).
    LevelRows levelRows(int level);

    // The level depth works at: the finest one that fits in 1024 x 1024.
    int depthLevel() const { return m_depthLevel; }

    // Depth document and its lock; the depth editor and the renderer share both.
    std::mutex depthMutex;
    depth::DepthDocument depth;
    int depthType = 0; // 0 none, 2 computed or read from a state
    bool depthAnnounced = false; // 2 and 3 were reported for this depth
    std::shared_ptr<const PlaneF> depthSnapshot(); // call with depthMutex held
    std::shared_ptr<const PlaneU8> selectionSnapshot(); // call with depthMutex held
    std::pair<float, float> depthRange(); // of the snapshot; call with depthMutex held

    // Computes depth when there is none; reports progress below 100. Returns whether it did.
    bool ensureDepth(const std::function<void(int)>& progress);

    // Lets go of the input: reads already under way on other threads are waited for, later
    // ones throw, so once this returns no thread reads the input's bytes through this
    // session any more (the caller may then free or unmap them). Cached levels and depth
    // stay usable. A thread that is itself inside a read (never the case for listener
    // calls) is not waited for. Safe to call more than once.
    void releaseInput();

    // JPEG of a rendered thumbnail, once one was rendered or read from a state.
    std::mutex thumbMutex;
    std::vector<uint8_t> thumbnail;
    std::atomic<bool> renderedAny { false };

private:
    class InputRead;
    std::shared_ptr<const PlaneF> mosaic();
    // The reference module's frames decoded and summed (call with m_mutex held).
    std::shared_ptr<const MosaicAccumulator> framesLocked();
    SensorLevels sensorLevels() const;
    std::vector<HotPixel> hotPixels() const;

    std::shared_ptr<const vrx::VrxImage> m_image;
    // Every read of the input's bytes holds an InputRead; releaseInput() waits for them.
    std::mutex m_readMutex;
    std::condition_variable m_readsDone;
    int m_reads = 0;
    bool m_released = false;
    std::vector<Point<int>> m_sizes;
    int m_depthLevel = 0;
    Mat3 m_cameraToSrgb = identity3();
    CfaLayout m_cfa {};

    std::mutex m_mutex; // pyramid, mosaic, levels
    ImagePyramid m_pyramid;
    std::shared_ptr<const PlaneF> m_mosaic;
    std::shared_ptr<const MosaicAccumulator> m_frames; // until the mosaic is made from them
    std::vector<std::shared_ptr<const RgbPlanes<uint16_t>>> m_levels;
    std::vector<std::unique_ptr<std::mutex>> m_levelMutex;

    uint64_t m_snapshotRevision = ~uint64_t(0);
    bool m_snapshotMatted = false;
    std::shared_ptr<const PlaneF> m_depthSnapshot;
    std::pair<float, float> m_range { 0.5f, 20.f };
    uint64_t m_selectionRevision = ~uint64_t(0);
    std::shared_ptr<const PlaneU8> m_selectionSnapshot;
};

} // namespace render
} // namespace CIAPI
