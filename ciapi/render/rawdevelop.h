#pragma once

#include <memory>

#include <array>
#include <cstdint>
#include <vector>

#include "ciapi/render/plane.h"

namespace CIAPI::render {

// Which colour (0 red, 1 green, 2 blue) sits at each position of the 2x2 filter cell:
// index (y & 1) * 2 + (x & 1).
using CfaLayout = std::array<int, 4>;

// One raw frame as 16-bit samples.
struct RawFrameView
{
    const uint16_t* data = nullptr;
    int width = 0;
    int height = 0;
    size_t stride = 0; // in samples
};

struct SensorLevels
{
    float black = 0.f;
    float white = 65535.f;
    std::array<float, 3> gains { 1.f, 1.f, 1.f }; // per colour, applied after black level
};

struct HotPixel
{
    int x = 0;
    int y = 0;
};

// Sums raw frames one at a time (so only one decoded frame need be held), as integers, exact
// for up to 256 frames. From the sums: the mosaic (finish), or a level that bins straight
// away (bin), with the values developLevel gives that level from the mosaic, without making
// the mosaic's float plane. Frames must have the accumulator's size.
class MosaicAccumulator
{
public:
    MosaicAccumulator(int width, int height);
    // Room for the next frame's samples (width x height, row by row); commit() adds them.
    uint16_t* nextFrame();
    void commit();
    // Adds a frame decoded elsewhere (width x height samples, row by row).
    void commit(const uint16_t* frame);
    // Adds a frame decoded elsewhere into memory of its own (width x height samples, row by
    // row), and takes that memory: a second frame is kept beside the first rather than summed
    // with it (each row's sums are made as the row is read), so that two frames need no pass
    // over them before they are read; a third sums all three.
    void adopt(std::unique_ptr<uint16_t[]> frame);
    // Copies a frame into nextFrame() and commits it.
    void add(const RawFrameView& frame);
    int frames() const { return m_frames; }

    // The frames averaged, the black level removed, scaled to [0, 1] (times the gains), the
    // listed pixels repaired from their same-colour neighbours.
    PlaneF finish(
        const CfaLayout& cfa, const SensorLevels& levels, const std::vector<HotPixel>& hotPixels) const;
    // developLevel(finish(cfa, levels, hotPixels), cfa, source, width, height), bit for bit, for
    // a level that bins (levelBins(source, width)).
    RgbPlanes<uint16_t> bin(const CfaLayout& cfa, const SensorLevels& levels,
        const std::vector<HotPixel>& hotPixels, const Rect& source, int width, int height) const;

private:
    uint32_t sample(size_t i) const
    {
        return m_sum ? m_sum[i] : m_second ? uint32_t(m_first[i]) + m_second[i] : uint32_t(m_first[i]);
    }
    // The row of samples from `at` (width samples) finished as finish() finishes them.
    void finishSamples(size_t at, float blackSum, float g0, float g1, float* dst) const;
    void check(const SensorLevels& levels) const;

    int m_width = 0;
    int m_height = 0;
    int m_frames = 0;
    std::unique_ptr<uint16_t[]> m_first; // the first frame
    std::unique_ptr<uint16_t[]> m_second; // the second one beside it (adopt), until a third
    std::unique_ptr<uint32_t[]> m_sum; // the sums once a second frame came
    std::unique_ptr<uint16_t[]> m_next; // room for the frames after the first
};

// Whether a level of `width` pixels showing `source` of the mosaic bins (averages the samples
// of each colour in every level pixel) rather than demosaics.
bool levelBins(const Rect& source, int width);

// Camera RGB of one pyramid level, 0..65535 per [0, 1]. `source` is the part of the mosaic
// the level shows; the level is width x height. When a level pixel covers less than
// 1.5 mosaic pixels the mosaic is demosaiced (gradient-corrected) and resampled; coarser
// levels average the mosaic samples of each colour inside every level pixel's footprint.
RgbPlanes<uint16_t> developLevel(
    const PlaneF& mosaic, const CfaLayout& cfa, const Rect& source, int width, int height);

// The two source columns and the weight of each column of a bilinear resampling.
struct ColumnWeights
{
    ColumnWeights() = default;
    ColumnWeights(int sourceWidth, int width);
    std::vector<int> x0, x1;
    std::vector<float> tx;
};

// Rows of such a level developed on demand, the values developLevel gives them; for levels
// that demosaic (streams()), so that an export need not hold the whole level.
class LevelRows
{
public:
    LevelRows(std::shared_ptr<const PlaneF> mosaic, const CfaLayout& cfa, const Rect& source, int width,
        int height);
    bool streams() const;
    int width() const { return m_width; }
    int height() const { return m_height; }
    // Level rows [y0, y1) into rows outRow.. of `out` (at least the level's width). Thread-safe.
    void develop(int y0, int y1, RgbPlanes<uint16_t>& out, int outRow) const;

private:
    std::shared_ptr<const PlaneF> m_mosaic;
    CfaLayout m_cfa;
    Rect m_source;
    int m_width, m_height;
    bool m_sameSize = false;
    ColumnWeights m_columns;
};

} // namespace CIAPI::render
