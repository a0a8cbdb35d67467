#pragma once

#include "ciapi/bytesource.h"
#include "ciapi/vrx/vrxtypes.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace CIAPI::vrx {

// One opened VRX file: the container checked, its small chunks parsed, its large chunks
// (raw frames, depth map, preview) located and decoded on demand. Every read is
// bounds-checked; a file that cannot be read throws std::runtime_error from open().
// Thread-safe after open().
class VrxImage
{
public:
    struct Location
    {
        std::uint64_t offset = 0; // of the payload
        std::uint64_t length = 0;
        std::uint32_t crc = 0;
    };

    // Parses the container at the start of `source`; bytes after the container's length
    // are the appendix (a hot-pixel record is taken from it when it belongs to this camera).
    static std::shared_ptr<const VrxImage> open(std::shared_ptr<const ByteSource> source);

    std::uint16_t majorVersion() const { return m_major; }
    std::uint16_t minorVersion() const { return m_minor; }
    bool compressed() const { return m_flags & 1u; }
    std::uint32_t flags() const { return m_flags; }
    std::uint64_t containerLength() const { return m_containerLength; }

    // Major version 1, a known colour-filter pattern on every module, frames for every
    // module, a focal length in [28, 150] mm. Anything else is readable but never rendered.
    bool compatible() const { return m_compatible; }
    // Why the file is incompatible (empty when compatible).
    const std::string& incompatibility() const { return m_incompatibility; }

    const Metadata& metadata() const { return m_meta; }
    // Size of a render's level 0: the output size for the focal length (0 x 0 when the file
    // is incompatible).
    int outputWidth() const { return m_outputWidth; }
    int outputHeight() const { return m_outputHeight; }
    const std::vector<ModuleInfo>& modules() const { return m_modules; }
    const ModuleInfo& module(int index) const; // std::runtime_error when absent
    int referenceModule() const; // index into modules(), 0 when META names none valid
    int framesOf(int module) const;

    // The 16-bit samples of one frame (width x height, row by row); the chunk's CRC is
    // checked and its encoding decoded. std::runtime_error on any fault.
    std::vector<std::uint16_t> decodeFrame(int module, int frame) const;
    // The same into `out` (the module's width x height samples). With `parallel` (see
    // RawCodec), the chunk's CRC is computed in parts beside the decode, and the decode's
    // rows side by side; the bytes are read in place when the input is in memory.
    void decodeFrame(int module, int frame, std::uint16_t* out,
        const std::function<void(int, const std::function<void(int)>&)>& parallel = nullptr) const;
    // The mean of all frames of a module (rounded), the denoised frame.
    std::vector<std::uint16_t> averageFrames(int module) const;

    bool hasDepthMap() const { return m_depth.has_value(); }
    // {near, far} of the depth map in metres ({0.5, 20} when there is none).
    float depthNear() const { return m_depthNear; }
    float depthFar() const { return m_depthFar; }
    DepthMap depthMap() const; // std::runtime_error when absent or damaged
    // The same samples into the caller's rows: size(width, height) once the map's header is
    // read, then row(y) for where row y goes (width floats); its checksum computed in parts
    // beside the decompression and its rows converted side by side (see decodeFrame).
    void decodeDepthMap(const std::function<void(int width, int height)>& size,
        const std::function<float*(int y)>& row,
        const std::function<void(int, const std::function<void(int)>&)>& parallel) const;

    bool hasPreview() const { return m_preview.has_value(); }
    int previewWidth() const { return m_previewWidth; }
    int previewHeight() const { return m_previewHeight; }
    std::vector<std::uint8_t> previewJpeg() const; // CRC checked

    // Hot pixels of each module from a matching calibration record in the appendix;
    // empty when there is none.
    const std::vector<PixelPos>& hotPixels(int module) const;
    bool hasCalibration() const { return m_hasCalibration; }

    const ByteSource& source() const { return *m_source; }
    // Where each chunk lies, by type and index (for the compressor).
    struct ChunkEntry
    {
        std::string type;
        std::uint32_t index = 0;
        std::uint64_t headerOffset = 0;
        Location payload;
    };
    const std::vector<ChunkEntry>& chunks() const { return m_chunks; }

private:
    VrxImage() = default;

    // The steps of open(), in this order, each on the image being opened; each throws
    // std::runtime_error at the first fault it finds.
    struct TocPlace
    {
        std::uint64_t offset = 0;
        std::uint32_t count = 0;
    };
    // Version, flags and container length; where the table of contents lies.
    static TocPlace readHeader(VrxImage* img, const ByteSource& src);
    // Every chunk's place, its header checked against its entry.
    static void readTableOfContents(VrxImage* img, const ByteSource& src, const TocPlace& place);
    static void readMetadata(VrxImage* img);
    static void readModules(VrxImage* img);
    // Raw frames, depth map and preview: headers checked, payloads read on demand.
    static void locateLargeChunks(VrxImage* img, const ByteSource& src);
    static void checkCompatibility(VrxImage* img);
    // A calibration record for this camera after the container.
    static void readAppendix(VrxImage* img, const ByteSource& src);
    std::vector<std::uint8_t> payload(const Location& loc, std::uint64_t maxLength) const;
    // Calls use(bytes, size) with a chunk's payload (read in place when the source can), its
    // CRC computed beside it (see decodeFrame) and checked before any fault `use` threw.
    void withPayload(const Location& loc, std::uint64_t maxLength,
        const std::function<void(int, const std::function<void(int)>&)>& parallel,
        const std::function<void(const std::uint8_t*, std::size_t)>& use) const;
    // The depth map's header, checked (its samples left empty).
    DepthMap depthHeader(const std::uint8_t* bytes, std::size_t size) const;
    // A raw frame chunk's payload (its CRC checked) decoded into `out`.
    void decodeFramePayload(const std::uint8_t* bytes, std::size_t size, const ModuleInfo& m,
        std::uint16_t* out, const std::function<void(int, const std::function<void(int)>&)>& parallel) const;

    std::shared_ptr<const ByteSource> m_source;
    std::uint16_t m_major = 0;
    std::uint16_t m_minor = 0;
    std::uint32_t m_flags = 0;
    std::uint64_t m_containerLength = 0;
    bool m_compatible = false;
    std::string m_incompatibility;
    Metadata m_meta;
    std::vector<ModuleInfo> m_modules;
    std::map<std::pair<int, int>, Location> m_frames; // (module index, frame) -> payload
    std::optional<Location> m_depth;
    std::optional<Location> m_preview;
    float m_depthNear = 0.5f;
    float m_depthFar = 20.f;
    int m_previewWidth = 0;
    int m_previewHeight = 0;
    std::vector<std::vector<PixelPos>> m_hotPixels; // per module position in modules()
    bool m_hasCalibration = false;
    int m_outputWidth = 0;
    int m_outputHeight = 0;
    std::vector<ChunkEntry> m_chunks;
};

} // namespace CIAPI::vrx
