#include "ciapi/vrx/vrximage.h"

#include "ciapi/vrx/bytes.h"
#include "ciapi/vrx/crc32.h"
#include "ciapi/vrx/depthcodec.h"
#include "ciapi/vrx/focalsize.h"
#include "ciapi/vrx/hotpixelrecord.h"
#include "ciapi/vrx/rawcodec.h"
#include "ciapi/vrx/vrxformat.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace CIAPI::vrx {

namespace {

constexpr std::uint64_t kMaxSmallChunk = 64 * 1024;
constexpr std::uint64_t kMaxPreview = 64ull * 1024 * 1024;

std::runtime_error bad(const std::string& what)
{
    return std::runtime_error("Unreadable VRX file: " + what);
}

std::vector<std::uint8_t> readRange(const ByteSource& src, std::uint64_t offset, std::uint64_t length)
{
    return src.bytes(offset, static_cast<std::size_t>(length));
}

} // namespace

bool isKnownCfa(std::int32_t pattern)
{
    return pattern >= CfaRGGB && pattern <= CfaBGGR;
}

int cfaColor(std::int32_t pattern, int x, int y)
{
    // Colours of the 2 x 2 block in reading order, per pattern.
    static const int kBlocks[4][4] = { { 0, 1, 1, 2 }, { 1, 0, 2, 1 }, { 1, 2, 0, 1 }, { 2, 1, 1, 0 } };
    if (!isKnownCfa(pattern))
        return 1;
    return kBlocks[pattern][(y & 1) * 2 + (x & 1)];
}

std::shared_ptr<const VrxImage> VrxImage::open(std::shared_ptr<const ByteSource> source)
{
    if (!source)
        throw bad("no input");
    std::shared_ptr<VrxImage> img(new VrxImage);
    img->m_source = source;
    const ByteSource& src = *source;
    if (src.size() < format::kHeaderSize)
        throw bad("too short");
    const TocPlace toc = readHeader(img.get(), src);
    readTableOfContents(img.get(), src, toc);
    readMetadata(img.get());
    readModules(img.get());
    locateLargeChunks(img.get(), src);
    checkCompatibility(img.get());
    readAppendix(img.get(), src);
    return img;
}

VrxImage::TocPlace VrxImage::readHeader(VrxImage* img, const ByteSource& src)
{
    const std::uint64_t size = src.size();
    const auto header = readRange(src, 0, format::kHeaderSize);
    if (std::memcmp(header.data(), format::kMagic, 4) != 0)
        throw bad("not a VRX file");
    ByteReader h(header.data(), header.size(), "header");
    h.skip(4);
    img->m_major = h.u16();
    img->m_minor = h.u16();
    img->m_flags = h.u32();
    h.u32();
    const std::uint64_t total = h.u64();
    const std::uint64_t tocOffset = h.u64();
    const std::uint32_t tocCount = h.u32();
    const std::uint32_t headerCrc = h.u32();
    if (headerCrc != crc32(header.data(), format::kHeaderCrcOffset))
        throw bad("header checksum mismatch");
    if (total > size)
        throw bad("file is shorter than its container (incomplete copy?)");
    if (tocCount > limits::kMaxChunks)
        throw bad("too many chunks");
    if (tocOffset < format::kHeaderSize || tocOffset > total
        || total - tocOffset != static_cast<std::uint64_t>(tocCount) * format::kTocEntrySize + 4)
        throw bad("table of contents missing or misplaced");
    img->m_containerLength = total;
    return { tocOffset, tocCount };
}

void VrxImage::readTableOfContents(VrxImage* img, const ByteSource& src, const TocPlace& place)
{
    const std::uint64_t total = img->m_containerLength;
    const std::uint64_t tocOffset = place.offset;
    const std::uint32_t tocCount = place.count;
    const auto toc = readRange(src, tocOffset, total - tocOffset);
    if (crc32(toc.data(), toc.size() - 4) != ByteReader(toc.data() + toc.size() - 4, 4).u32())
        throw bad("table of contents checksum mismatch");
    ByteReader t(toc.data(), toc.size() - 4, "table of contents");
    for (std::uint32_t i = 0; i < tocCount; ++i) {
        ChunkEntry e;
        char type[4];
        t.raw(type, 4);
        e.type.assign(type, 4);
        e.index = t.u32();
        e.headerOffset = t.u64();
        e.payload.length = t.u64();
        if (e.headerOffset < format::kHeaderSize || e.headerOffset > tocOffset
            || tocOffset - e.headerOffset < format::kChunkHeaderSize
            || e.payload.length > tocOffset - e.headerOffset - format::kChunkHeaderSize)
            throw bad("chunk outside the container");
        e.payload.offset = e.headerOffset + format::kChunkHeaderSize;
        const auto ch = readRange(src, e.headerOffset, format::kChunkHeaderSize);
        ByteReader c(ch.data(), ch.size(), "chunk header");
        char ctype[4];
        c.raw(ctype, 4);
        const std::uint32_t cindex = c.u32();
        const std::uint64_t clength = c.u64();
        e.payload.crc = c.u32();
        if (std::memcmp(ctype, type, 4) != 0 || cindex != e.index || clength != e.payload.length)
            throw bad("chunk header does not match the table of contents");
        img->m_chunks.push_back(e);
    }
}

void VrxImage::readMetadata(VrxImage* img)
{
    bool haveMeta = false;
    for (const ChunkEntry& e : img->m_chunks) {
        if (e.type == "META") {
            if (haveMeta)
                throw bad("duplicate metadata");
            if (e.payload.length < format::kMetaSize || e.payload.length > kMaxSmallChunk)
                throw bad("metadata has the wrong size");
            const auto p = img->payload(e.payload, kMaxSmallChunk);
            ByteReader r(p.data(), p.size(), "metadata");
            Metadata& m = img->m_meta;
            for (auto& v : m.cameraUuid)
                v = r.u32();
            for (auto& v : m.imageUuid)
                v = r.u32();
            m.captureTime = r.i64();
            m.utcOffsetMinutes = r.i32();
            m.focalLength = r.i32();
            m.iso = r.i32();
            m.exposureTimeMs = r.f32();
            m.evOffset = r.f32();
            m.orientation = r.i32();
            m.aspectMode = r.i32();
            m.moduleCount = r.i32();
            m.frameCount = r.i32();
            m.wbTemperature = r.f32();
            m.wbTint = r.f32();
            m.referenceModule = r.i32();
            haveMeta = true;
        }
    }
    if (!haveMeta)
        throw bad("no metadata");
    const Metadata& meta = img->m_meta;
    if (meta.moduleCount < 0 || meta.moduleCount > limits::kMaxModules || meta.frameCount < 0
        || meta.frameCount > limits::kMaxFrames)
        throw bad("module or frame count out of range");
}

void VrxImage::readModules(VrxImage* img)
{
    std::vector<ModuleInfo> modules;
    for (const ChunkEntry& e : img->m_chunks) {
        if (e.type == "MODL") {
            if (e.payload.length < format::kModuleSize || e.payload.length > kMaxSmallChunk)
                throw bad("module record has the wrong size");
            const auto p = img->payload(e.payload, kMaxSmallChunk);
            ByteReader r(p.data(), p.size(), "module");
            ModuleInfo m;
            m.index = r.i32();
            m.width = r.i32();
            m.height = r.i32();
            m.cfa = r.i32();
            m.blackLevel = r.i32();
            m.whiteLevel = r.i32();
            for (auto& g : m.gains)
                g = r.f32();
            for (auto& c : m.colorMatrix)
                c = r.f32();
            m.baselineX = r.f32();
            m.baselineY = r.f32();
            if (m.width < 2 || m.height < 2 || m.width > limits::kMaxModuleSide
                || m.height > limits::kMaxModuleSide
                || static_cast<std::int64_t>(m.width) * m.height > limits::kMaxModuleSamples)
                throw bad("module size out of range");
            if (m.index < 0 || m.index >= limits::kMaxModules)
                throw bad("module index out of range");
            for (const ModuleInfo& other : modules)
                if (other.index == m.index)
                    throw bad("duplicate module");
            if (m.blackLevel < 0 || m.whiteLevel <= m.blackLevel || m.whiteLevel > 65535)
                throw bad("module levels out of range");
            for (float g : m.gains)
                if (!std::isfinite(g) || g <= 0.f || g > 64.f)
                    throw bad("module gains out of range");
            for (float c : m.colorMatrix)
                if (!std::isfinite(c) || std::fabs(c) > 64.f)
                    throw bad("colour matrix out of range");
            if (!std::isfinite(m.baselineX) || !std::isfinite(m.baselineY) || std::fabs(m.baselineX) > 1e5f
                || std::fabs(m.baselineY) > 1e5f)
                throw bad("module baseline out of range");
            modules.push_back(m);
        }
    }
    img->m_modules = modules;
    img->m_hotPixels.resize(modules.size());
}

void VrxImage::locateLargeChunks(VrxImage* img, const ByteSource& src)
{
    const std::vector<ModuleInfo>& modules = img->m_modules;
    std::int64_t storedSamples = 0;
    // Large chunks: headers checked now, payloads on demand.
    for (const ChunkEntry& e : img->m_chunks) {
        if (e.type == "RAW ") {
            if (e.payload.length < format::kFrameHeaderSize)
                throw bad("raw frame too short");
            const auto hb = readRange(src, e.payload.offset, format::kFrameHeaderSize);
            ByteReader r(hb.data(), hb.size(), "raw frame");
            const std::int32_t module = r.i32();
            const std::int32_t frame = r.i32();
            const std::int32_t width = r.i32();
            const std::int32_t height = r.i32();
            const std::int32_t encoding = r.i32();
            r.i32();
            const std::uint64_t decoded = r.u64();
            int pos = -1;
            for (std::size_t i = 0; i < modules.size(); ++i)
                if (modules[i].index == module)
                    pos = static_cast<int>(i);
            if (pos < 0)
                throw bad("raw frame of an unknown module");
            const ModuleInfo& m = modules[static_cast<std::size_t>(pos)];
            if (width != m.width || height != m.height || frame < 0 || frame >= limits::kMaxFrames)
                throw bad("raw frame does not match its module");
            const std::uint64_t bytes
                = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 2;
            if (decoded != bytes)
                throw bad("raw frame size mismatch");
            storedSamples += static_cast<std::int64_t>(width) * height;
            if (storedSamples > limits::kMaxPictureSamples)
                throw bad("more raw samples than the camera writes");
            if (encoding == RawPlain) {
                if (e.payload.length != format::kFrameHeaderSize + bytes)
                    throw bad("raw frame size mismatch");
            } else if (encoding != RawDeltaZstd) {
                throw bad("unknown raw encoding");
            }
            const auto key = std::make_pair(module, frame);
            if (img->m_frames.count(key))
                throw bad("duplicate raw frame");
            img->m_frames[key] = e.payload;
        } else if (e.type == "DPTH") {
            if (img->m_depth)
                throw bad("duplicate depth map");
            if (e.payload.length < format::kDepthHeaderSize)
                throw bad("depth map too short");
            const auto hb = readRange(src, e.payload.offset, format::kDepthHeaderSize);
            ByteReader r(hb.data(), hb.size(), "depth map");
            r.skip(8);
            const float nearDepth = r.f32();
            const float farDepth = r.f32();
            if (!(nearDepth > 0.f) || !(farDepth > nearDepth) || !std::isfinite(farDepth) || farDepth > 1e6f)
                throw bad("depth range invalid");
            img->m_depthNear = nearDepth;
            img->m_depthFar = farDepth;
            img->m_depth = e.payload;
        } else if (e.type == "PREV") {
            if (img->m_preview)
                throw bad("duplicate preview");
            if (e.payload.length < format::kPreviewHeaderSize || e.payload.length > kMaxPreview)
                throw bad("preview has the wrong size");
            const auto hb = readRange(src, e.payload.offset, format::kPreviewHeaderSize);
            ByteReader r(hb.data(), hb.size(), "preview");
            img->m_previewWidth = r.i32();
            img->m_previewHeight = r.i32();
            if (img->m_previewWidth <= 0 || img->m_previewHeight <= 0
                || img->m_previewWidth > limits::kMaxPreviewSide
                || img->m_previewHeight > limits::kMaxPreviewSide)
                throw bad("preview size out of range");
            img->m_preview = e.payload;
        }
    }
}

void VrxImage::checkCompatibility(VrxImage* img)
{
    const std::vector<ModuleInfo>& modules = img->m_modules;
    const Metadata& meta = img->m_meta;
    auto incompatible = [&](const std::string& why) {
        if (img->m_incompatibility.empty())
            img->m_incompatibility = why;
    };
    if (img->m_major != 1)
        incompatible("unsupported major version");
    if (modules.empty() || static_cast<std::int32_t>(modules.size()) != meta.moduleCount)
        incompatible("module records do not match the metadata");
    if (meta.frameCount < 1)
        incompatible("no frames");
    for (const ModuleInfo& m : modules) {
        if (!isKnownCfa(m.cfa))
            incompatible("unknown colour-filter pattern");
        for (int f = 0; f < meta.frameCount; ++f)
            if (!img->m_frames.count(std::make_pair(m.index, f)))
                incompatible("missing raw frames");
    }
    // The camera's lenses span 28 to 150 mm; the output size grows without bound as the
    // focal length shortens, so nothing outside that range is rendered.
    if (meta.focalLength < limits::kMinFocalLength || meta.focalLength > limits::kMaxFocalLength)
        incompatible("focal length " + std::to_string(meta.focalLength) + " mm outside the camera's range of "
            + std::to_string(limits::kMinFocalLength) + " to " + std::to_string(limits::kMaxFocalLength)
            + " mm");
    img->m_compatible = img->m_incompatibility.empty();
    if (img->m_compatible) {
        const Point<int> out = cropSizeForFocalLength(static_cast<float>(meta.focalLength));
        img->m_outputWidth = out.x;
        img->m_outputHeight = out.y;
    }
}

void VrxImage::readAppendix(VrxImage* img, const ByteSource& src)
{
    const std::uint64_t size = src.size();
    const std::uint64_t total = img->m_containerLength;
    const std::vector<ModuleInfo>& modules = img->m_modules;
    const Metadata& meta = img->m_meta;
    // Appendix: a calibration record for this camera.
    if (size > total) {
        const std::uint64_t rest = size - total;
        const std::uint64_t take = rest > (16ull << 20) ? (16ull << 20) : rest;
        const auto appendix = readRange(src, total, take);
        if (HotPixelRecord::looksLikeRecord(appendix.data(), appendix.size())) {
            try {
                const HotPixelRecord rec = HotPixelRecord::decode(appendix.data(), appendix.size());
                if (rec.cameraUuid == meta.cameraUuid) {
                    img->m_hasCalibration = true;
                    for (std::size_t i = 0; i < rec.modules.size() && i < modules.size(); ++i)
                        for (const PixelPos& p : rec.modules[i])
                            if (p.x < modules[i].width && p.y < modules[i].height)
                                img->m_hotPixels[i].push_back(p);
                }
            } catch (const std::runtime_error&) {
                // A damaged record is no calibration; the picture itself is intact.
            }
        }
    }
}

std::vector<std::uint8_t> VrxImage::payload(const Location& loc, std::uint64_t maxLength) const
{
    if (loc.length > maxLength)
        throw bad("chunk too large");
    auto bytes = readRange(*m_source, loc.offset, loc.length);
    if (crc32(bytes.data(), bytes.size()) != loc.crc)
        throw bad("chunk checksum mismatch");
    return bytes;
}

const ModuleInfo& VrxImage::module(int index) const
{
    for (const ModuleInfo& m : m_modules)
        if (m.index == index)
            return m;
    throw std::runtime_error("No such module");
}

int VrxImage::referenceModule() const
{
    for (std::size_t i = 0; i < m_modules.size(); ++i)
        if (m_modules[i].index == m_meta.referenceModule)
            return static_cast<int>(i);
    return 0;
}

int VrxImage::framesOf(int module) const
{
    int n = 0;
    while (m_frames.count(std::make_pair(module, n)))
        ++n;
    return n;
}

std::vector<std::uint16_t> VrxImage::decodeFrame(int module, int frame) const
{
    const ModuleInfo& m = this->module(module);
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(m.width) * m.height);
    decodeFrame(module, frame, samples.data());
    return samples;
}

void VrxImage::decodeFrame(int module, int frame, std::uint16_t* out,
    const std::function<void(int, const std::function<void(int)>&)>& parallel) const
{
    auto it = m_frames.find(std::make_pair(module, frame));
    if (it == m_frames.end())
        throw std::runtime_error("No such raw frame");
    const ModuleInfo& m = this->module(module);
    const Location& loc = it->second;
    const std::uint64_t plainBytes = static_cast<std::uint64_t>(m.width) * m.height * 2;
    if (!parallel) {
        const auto bytes = payload(loc, format::kFrameHeaderSize + plainBytes + plainBytes / 8 + (1u << 20));
        decodeFramePayload(bytes.data(), bytes.size(), m, out, nullptr);
        return;
    }
    withPayload(loc, format::kFrameHeaderSize + plainBytes + plainBytes / 8 + (1u << 20), parallel,
        [&](const std::uint8_t* bytes, std::size_t size) {
            decodeFramePayload(bytes, size, m, out, parallel);
        });
}

void VrxImage::withPayload(const Location& loc, std::uint64_t maxLength,
    const std::function<void(int, const std::function<void(int)>&)>& parallel,
    const std::function<void(const std::uint8_t*, std::size_t)>& use) const
{
    // As payload() does, but the bytes read in place when they can be, and their CRC computed
    // in parts beside `use`: the checksum is still checked before any other fault is
    // reported (a damaged chunk says so, whatever `use` made of it).
    if (loc.length > maxLength)
        throw bad("chunk too large");
    std::vector<std::uint8_t> copy;
    const std::uint8_t* bytes = m_source->view(loc.offset, static_cast<std::size_t>(loc.length));
    if (!bytes) {
        copy = readRange(*m_source, loc.offset, loc.length);
        bytes = copy.data();
    }
    const std::size_t length = static_cast<std::size_t>(loc.length);
    constexpr std::size_t kCrcPart = std::size_t(1) << 20;
    const int parts = static_cast<int>((length + kCrcPart - 1) / kCrcPart);
    std::vector<std::uint32_t> crcs(static_cast<std::size_t>(parts), 0);
    std::exception_ptr failure;
    parallel(1 + parts, [&](int i) {
        if (i > 0) {
            const std::size_t at = static_cast<std::size_t>(i - 1) * kCrcPart;
            crcs[static_cast<std::size_t>(i - 1)] = crc32(bytes + at, std::min(kCrcPart, length - at));
            return;
        }
        try {
            use(bytes, length);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    std::uint32_t crc = parts > 0 ? crcs[0] : crc32(bytes, 0);
    for (int i = 1; i < parts; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * kCrcPart;
        crc = crc32Combine(crc, crcs[static_cast<std::size_t>(i)], std::min(kCrcPart, length - at));
    }
    if (crc != loc.crc)
        throw bad("chunk checksum mismatch");
    if (failure)
        std::rethrow_exception(failure);
}

void VrxImage::decodeFramePayload(const std::uint8_t* bytes, std::size_t size, const ModuleInfo& m,
    std::uint16_t* out, const std::function<void(int, const std::function<void(int)>&)>& parallel) const
{
    const std::uint64_t plainBytes = static_cast<std::uint64_t>(m.width) * m.height * 2;
    const std::uint8_t* body = bytes + format::kFrameHeaderSize;
    ByteReader r(bytes, size, "raw frame");
    r.skip(16);
    const std::int32_t encoding = r.i32();
    const std::size_t bodyLength = size - format::kFrameHeaderSize;
    if (encoding == RawPlain) {
        if (bodyLength < plainBytes)
            throw bad("raw frame too short");
        const std::size_t n = static_cast<std::size_t>(m.width) * m.height;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        std::memcpy(out, body, n * 2); // little-endian samples, as this machine keeps them
#else
        for (std::size_t i = 0; i < n; ++i)
            out[i] = static_cast<std::uint16_t>(body[2 * i] | (body[2 * i + 1] << 8));
#endif
        return;
    }
    RawCodec::decode(body, bodyLength, m.width, m.height, out, parallel);
}

std::vector<std::uint16_t> VrxImage::averageFrames(int module) const
{
    const int frames = framesOf(module);
    if (frames == 0)
        throw std::runtime_error("No raw frames");
    if (frames == 1)
        return decodeFrame(module, 0);
    const ModuleInfo& m = this->module(module);
    std::vector<std::uint32_t> sum(static_cast<std::size_t>(m.width) * m.height, 0);
    for (int f = 0; f < frames; ++f) {
        const auto s = decodeFrame(module, f);
        for (std::size_t i = 0; i < sum.size(); ++i)
            sum[i] += s[i];
    }
    std::vector<std::uint16_t> out(sum.size());
    const std::uint32_t half = static_cast<std::uint32_t>(frames) / 2;
    for (std::size_t i = 0; i < sum.size(); ++i)
        out[i] = static_cast<std::uint16_t>((sum[i] + half) / static_cast<std::uint32_t>(frames));
    return out;
}

DepthMap VrxImage::depthMap() const
{
    if (!m_depth)
        throw std::runtime_error("The file has no depth map");
    const auto bytes = payload(*m_depth, 1ull << 31);
    DepthMap d = depthHeader(bytes.data(), bytes.size());
    ByteReader r(bytes.data(), bytes.size(), "depth map");
    r.skip(32);
    DepthCodec::unpack(r.here(), r.remaining(), d);
    return d;
}

void VrxImage::decodeDepthMap(const std::function<void(int width, int height)>& size,
    const std::function<float*(int y)>& row,
    const std::function<void(int, const std::function<void(int)>&)>& parallel) const
{
    if (!m_depth)
        throw std::runtime_error("The file has no depth map");
    withPayload(*m_depth, 1ull << 31, parallel, [&](const std::uint8_t* bytes, std::size_t length) {
        const DepthMap d = depthHeader(bytes, length);
        ByteReader r(bytes, length, "depth map");
        r.skip(32);
        size(d.width, d.height);
        DepthCodec::unpack(r.here(), r.remaining(), d, row, parallel);
    });
}

DepthMap VrxImage::depthHeader(const std::uint8_t* bytes, std::size_t size) const
{
    ByteReader r(bytes, size, "depth map");
    DepthMap d;
    d.width = r.i32();
    d.height = r.i32();
    d.nearDepth = r.f32();
    d.farDepth = r.f32();
    const std::int32_t encoding = r.i32();
    r.i32();
    const std::uint64_t decoded = r.u64();
    // The factory map is at module resolution: never larger than the reference module,
    // whatever its header claims.
    const ModuleInfo* ref
        = m_modules.empty() ? nullptr : &m_modules[static_cast<std::size_t>(referenceModule())];
    if (!ref || d.width <= 0 || d.height <= 0 || d.width > ref->width || d.height > ref->height)
        throw bad("depth map size out of range");
    if (!(d.nearDepth > 0.f) || !(d.farDepth > d.nearDepth) || !std::isfinite(d.farDepth))
        throw bad("depth range invalid");
    const std::size_t n = static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height);
    if (decoded != n * 2)
        throw bad("depth map size mismatch");
    if (encoding != 1)
        throw bad("unknown depth encoding");
    return d;
}

std::vector<std::uint8_t> VrxImage::previewJpeg() const
{
    if (!m_preview)
        throw std::runtime_error("The file has no preview");
    auto bytes = payload(*m_preview, kMaxPreview);
    bytes.erase(bytes.begin(), bytes.begin() + format::kPreviewHeaderSize);
    return bytes;
}

const std::vector<PixelPos>& VrxImage::hotPixels(int module) const
{
    static const std::vector<PixelPos> none;
    for (std::size_t i = 0; i < m_modules.size(); ++i)
        if (m_modules[i].index == module)
            return m_hotPixels[i];
    return none;
}

} // namespace CIAPI::vrx
