#pragma once

#include "ciapi/state/enginestate.h"

#include <cstdint>
#include <istream>
#include <ostream>
#include <vector>

namespace CIAPI::state {

// The ".vrxs" state stream: a sequence of self-contained segments
//   "QS", u16 type, u32 payload length, u32 CRC-32 of (type, length, payload), payload
// (little-endian). Readers apply segments in order and stop quietly at the first torn or
// corrupt one, so records can be appended and a crash mid-append loses nothing before it.
// Unknown segment types are skipped.
namespace segment {
enum Type : std::uint16_t {
    ImageId = 1, // 4 x u32
    Rating = 2, // i32
    Tune = 3, // u32 n, n x (i32 param, f32 value), u32 m, m x (i32 param, i64 value)
    DofFocus = 4, // f32 depth of field, f32 focus depth
    Transform = 5, // i32 aspect x, y; i32 m00 m01 m10 m11; f32 crop x, y, w, h
    DepthMap = 6, // i32 type, width, height; f32 near, far; u64 raw size; zstd of u16 inverse depth
    DepthEdits = 7, // opaque blob
    Thumbnail = 8, // u32 JPEG length, JPEG, zero padding
};
}

class StateCodec
{
public:
    static constexpr std::uint32_t kSegmentHeaderSize = 12;
    // Thumbnail segments are padded to at least this many bytes, so that a state that
    // holds a thumbnail is always larger than 16 KiB and one without stays far smaller.
    static constexpr std::uint32_t kMinThumbnailSegment = 16 * 1024 + 64;
    // A segment longer than this is taken as corrupt.
    static constexpr std::uint32_t kMaxSegment = 256u * 1024 * 1024;

    struct ReadResult
    {
        EngineState state;
        int segments = 0; // intact segments applied
        bool tornTail = false; // bytes after the last intact segment were ignored
        std::uint64_t validBytes = 0;
    };

    // Reads until the end of the stream or the first torn or corrupt segment.
    static ReadResult read(std::istream& stream);
    static ReadResult read(const std::uint8_t* data, std::size_t length);

    // Writes every member that is present, one segment each, in the order of the types.
    static void write(std::ostream& stream, const EngineState& state);
    static std::vector<std::uint8_t> write(const EngineState& state);

    // One segment.
    static std::vector<std::uint8_t> segmentBytes(
        std::uint16_t type, const std::vector<std::uint8_t>& payload);
};

} // namespace CIAPI::state
