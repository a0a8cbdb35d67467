#pragma once

#include "ciapi/vrx/rawcodec.h"
#include "ciapi/vrx/vrxtypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace CIAPI::vrx {

// Builds a VRX container in memory: header, chunks in the order added, table of contents.
// The encoders below produce the payloads of the known chunk types.
class VrxWriter
{
public:
    VrxWriter(std::uint16_t major = 1, std::uint16_t minor = 0, std::uint32_t flags = 0);

    void setFlags(std::uint32_t flags) { m_flags = flags; }
    void setVersion(std::uint16_t major, std::uint16_t minor)
    {
        m_major = major;
        m_minor = minor;
    }

    // Adds a chunk; `type` must be four characters.
    void addChunk(const std::string& type, std::uint32_t index, std::vector<std::uint8_t> payload);

    void addMetadata(const Metadata& meta);
    void addModule(const ModuleInfo& module);
    // Samples of one frame; `encoding` RawPlain or RawDeltaZstd (at `zstdLevel`).
    void addFrame(const ModuleInfo& module, int frame, const std::vector<std::uint16_t>& samples,
        std::int32_t encoding = RawPlain, int zstdLevel = 3);
    void addDepthMap(const DepthMap& depth);
    void addPreview(int width, int height, const std::vector<std::uint8_t>& jpeg);

    // The whole container.
    std::vector<std::uint8_t> finish() const;

    // Payload encoders, shared with the compressor.
    static std::vector<std::uint8_t> encodeMetadata(const Metadata& meta);
    static std::vector<std::uint8_t> encodeModule(const ModuleInfo& module);
    static std::vector<std::uint8_t> encodeFrame(const ModuleInfo& module, int frame,
        const std::vector<std::uint16_t>& samples, std::int32_t encoding, int zstdLevel,
        ZSTD_CCtx* context = nullptr);
    static std::vector<std::uint8_t> encodeDepthMap(const DepthMap& depth);
    static std::vector<std::uint8_t> encodePreview(
        int width, int height, const std::vector<std::uint8_t>& jpeg);

    // Serialises a container from ready chunks (type, index, payload).
    struct Chunk
    {
        std::string type;
        std::uint32_t index = 0;
        std::vector<std::uint8_t> payload;
    };
    static std::vector<std::uint8_t> assemble(
        std::uint16_t major, std::uint16_t minor, std::uint32_t flags, const std::vector<Chunk>& chunks);

private:
    std::uint16_t m_major;
    std::uint16_t m_minor;
    std::uint32_t m_flags;
    std::vector<Chunk> m_chunks;
};

} // namespace CIAPI::vrx
