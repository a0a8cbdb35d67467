#include "ciapi/vrx/vrxwriter.h"

#include "ciapi/vrx/bytes.h"
#include "ciapi/vrx/crc32.h"
#include "ciapi/vrx/depthcodec.h"
#include "ciapi/vrx/rawcodec.h"
#include "ciapi/vrx/vrxformat.h"

#include <cmath>
#include <stdexcept>

namespace CIAPI::vrx {

VrxWriter::VrxWriter(std::uint16_t major, std::uint16_t minor, std::uint32_t flags)
    : m_major(major)
    , m_minor(minor)
    , m_flags(flags)
{ }

void VrxWriter::addChunk(const std::string& type, std::uint32_t index, std::vector<std::uint8_t> payload)
{
    if (type.size() != 4)
        throw std::invalid_argument("Chunk type must have four characters");
    m_chunks.push_back(Chunk { type, index, std::move(payload) });
}

void VrxWriter::addMetadata(const Metadata& meta)
{
    addChunk("META", 0, encodeMetadata(meta));
}

void VrxWriter::addModule(const ModuleInfo& module)
{
    addChunk("MODL", static_cast<std::uint32_t>(module.index), encodeModule(module));
}

void VrxWriter::addFrame(const ModuleInfo& module, int frame, const std::vector<std::uint16_t>& samples,
    std::int32_t encoding, int zstdLevel)
{
    addChunk("RAW ", static_cast<std::uint32_t>(module.index * 256 + frame),
        encodeFrame(module, frame, samples, encoding, zstdLevel));
}

void VrxWriter::addDepthMap(const DepthMap& depth)
{
    addChunk("DPTH", 0, encodeDepthMap(depth));
}

void VrxWriter::addPreview(int width, int height, const std::vector<std::uint8_t>& jpeg)
{
    addChunk("PREV", 0, encodePreview(width, height, jpeg));
}

std::vector<std::uint8_t> VrxWriter::finish() const
{
    return assemble(m_major, m_minor, m_flags, m_chunks);
}

std::vector<std::uint8_t> VrxWriter::encodeMetadata(const Metadata& m)
{
    ByteWriter w;
    for (std::uint32_t v : m.cameraUuid)
        w.u32(v);
    for (std::uint32_t v : m.imageUuid)
        w.u32(v);
    w.i64(m.captureTime);
    w.i32(m.utcOffsetMinutes);
    w.i32(m.focalLength);
    w.i32(m.iso);
    w.f32(m.exposureTimeMs);
    w.f32(m.evOffset);
    w.i32(m.orientation);
    w.i32(m.aspectMode);
    w.i32(m.moduleCount);
    w.i32(m.frameCount);
    w.f32(m.wbTemperature);
    w.f32(m.wbTint);
    w.i32(m.referenceModule);
    return w.take();
}

std::vector<std::uint8_t> VrxWriter::encodeModule(const ModuleInfo& m)
{
    ByteWriter w;
    w.i32(m.index);
    w.i32(m.width);
    w.i32(m.height);
    w.i32(m.cfa);
    w.i32(m.blackLevel);
    w.i32(m.whiteLevel);
    for (float g : m.gains)
        w.f32(g);
    for (float c : m.colorMatrix)
        w.f32(c);
    w.f32(m.baselineX);
    w.f32(m.baselineY);
    return w.take();
}

std::vector<std::uint8_t> VrxWriter::encodeFrame(const ModuleInfo& module, int frame,
    const std::vector<std::uint16_t>& samples, std::int32_t encoding, int zstdLevel, ZSTD_CCtx* context)
{
    const std::size_t n = static_cast<std::size_t>(module.width) * static_cast<std::size_t>(module.height);
    if (samples.size() != n)
        throw std::invalid_argument("Frame size does not match its module");
    ByteWriter w;
    w.i32(module.index);
    w.i32(frame);
    w.i32(module.width);
    w.i32(module.height);
    w.i32(encoding);
    w.i32(0);
    w.u64(n * 2);
    if (encoding == RawPlain) {
        w.bytes().reserve(w.bytes().size() + n * 2);
        for (std::uint16_t s : samples)
            w.u16(s);
    } else if (encoding == RawDeltaZstd) {
        const auto packed = RawCodec::encode(samples, module.width, module.height, zstdLevel, context);
        w.raw(packed.data(), packed.size());
    } else {
        throw std::invalid_argument("Unknown raw encoding");
    }
    return w.take();
}

std::vector<std::uint8_t> VrxWriter::encodeDepthMap(const DepthMap& d)
{
    const auto packed = DepthCodec::pack(d);
    ByteWriter w;
    w.i32(d.width);
    w.i32(d.height);
    w.f32(d.nearDepth);
    w.f32(d.farDepth);
    w.i32(1);
    w.i32(0);
    w.u64(static_cast<std::uint64_t>(d.width) * static_cast<std::uint64_t>(d.height) * 2);
    w.raw(packed.data(), packed.size());
    return w.take();
}

std::vector<std::uint8_t> VrxWriter::encodePreview(
    int width, int height, const std::vector<std::uint8_t>& jpeg)
{
    ByteWriter w;
    w.i32(width);
    w.i32(height);
    w.raw(jpeg.data(), jpeg.size());
    return w.take();
}

std::vector<std::uint8_t> VrxWriter::assemble(
    std::uint16_t major, std::uint16_t minor, std::uint32_t flags, const std::vector<Chunk>& chunks)
{
    ByteWriter w;
    w.bytes().resize(format::kHeaderSize);
    struct TocEntry
    {
        const Chunk* chunk;
        std::uint64_t offset;
    };
    std::vector<TocEntry> toc;
    for (const Chunk& c : chunks) {
        toc.push_back({ &c, w.bytes().size() });
        w.raw(c.type.data(), 4);
        w.u32(c.index);
        w.u64(c.payload.size());
        w.u32(crc32(c.payload.data(), c.payload.size()));
        w.u32(0);
        w.raw(c.payload.data(), c.payload.size());
        w.pad(8);
    }
    const std::uint64_t tocOffset = w.bytes().size();
    for (const TocEntry& e : toc) {
        w.raw(e.chunk->type.data(), 4);
        w.u32(e.chunk->index);
        w.u64(e.offset);
        w.u64(e.chunk->payload.size());
    }
    const std::uint32_t tocCrc = crc32(w.bytes().data() + tocOffset, w.bytes().size() - tocOffset);
    w.u32(tocCrc);
    const std::uint64_t total = w.bytes().size();

    ByteWriter h;
    h.tag(format::kMagic);
    h.u16(major);
    h.u16(minor);
    h.u32(flags);
    h.u32(0);
    h.u64(total);
    h.u64(tocOffset);
    h.u32(static_cast<std::uint32_t>(toc.size()));
    h.u32(crc32(h.bytes().data(), h.bytes().size()));
    std::vector<std::uint8_t> out = w.take();
    std::copy(h.bytes().begin(), h.bytes().end(), out.begin());
    return out;
}

} // namespace CIAPI::vrx
