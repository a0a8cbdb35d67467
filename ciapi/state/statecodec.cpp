#include "ciapi/state/statecodec.h"

#include "ciapi/vrx/bytes.h"
#include "ciapi/vrx/crc32.h"
#include "ciapi/vrx/depthcodec.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace CIAPI::state {

using vrx::ByteReader;
using vrx::ByteWriter;

namespace {

constexpr char kMagic[2] = { 'Q', 'S' };
constexpr std::uint32_t kMaxTuneEntries = 4096;

std::uint32_t segmentCrc(std::uint16_t type, std::uint32_t length, const std::uint8_t* payload)
{
    std::uint8_t head[6] = { static_cast<std::uint8_t>(type & 0xff), static_cast<std::uint8_t>(type >> 8),
        static_cast<std::uint8_t>(length & 0xff), static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24) };
    return vrx::crc32(payload, length, vrx::crc32(head, 6));
}

std::vector<std::uint8_t> encodeDepth(const DepthState& d)
{
    const vrx::DepthMap& m = d.map;
    const auto packed = vrx::DepthCodec::pack(m);
    ByteWriter w;
    w.i32(d.type);
    w.i32(m.width);
    w.i32(m.height);
    w.f32(m.nearDepth);
    w.f32(m.farDepth);
    w.u64(static_cast<std::uint64_t>(m.width) * static_cast<std::uint64_t>(m.height) * 2);
    w.raw(packed.data(), packed.size());
    return w.take();
}

DepthState decodeDepth(ByteReader& r)
{
    DepthState d;
    d.type = r.i32();
    vrx::DepthMap& m = d.map;
    m.width = r.i32();
    m.height = r.i32();
    m.nearDepth = r.f32();
    m.farDepth = r.f32();
    const std::uint64_t plainSize = r.u64();
    if (d.type < 1 || d.type > 2 || m.width <= 0 || m.height <= 0 || m.width > vrx::limits::kMaxStateDepthSide
        || m.height > vrx::limits::kMaxStateDepthSide)
        throw std::runtime_error("Depth map size out of range");
    if (!(m.nearDepth > 0.f) || !(m.farDepth > m.nearDepth) || !std::isfinite(m.farDepth))
        throw std::runtime_error("Depth range invalid");
    const std::size_t n = static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height);
    if (plainSize != n * 2)
        throw std::runtime_error("Depth map size mismatch");
    vrx::DepthCodec::unpack(r.here(), r.remaining(), m);
    return d;
}

// Applies one intact segment; a payload that does not parse throws (the reader then
// stops as at a corrupt segment) and leaves `s` untouched: every case reads all it needs
// into locals first and assigns last.
void apply(EngineState& s, std::uint16_t type, const std::uint8_t* p, std::size_t n)
{
    ByteReader r(p, n, "state segment");
    switch (type) {
    case segment::ImageId: {
        vrx::UuidWords words;
        for (auto& w : words)
            w = r.u32();
        s.imageId = words;
        break;
    }
    case segment::Rating:
        s.rating = r.i32();
        break;
    case segment::Tune: {
        std::map<int, float> floats;
        std::map<int, std::int64_t> ints;
        const std::uint32_t nf = r.u32();
        if (nf > kMaxTuneEntries)
            throw std::runtime_error("Too many tune values");
        for (std::uint32_t i = 0; i < nf; ++i) {
            const int param = r.i32();
            const float value = r.f32();
            if (std::isfinite(value))
                floats[param] = value;
        }
        const std::uint32_t ni = r.u32();
        if (ni > kMaxTuneEntries)
            throw std::runtime_error("Too many tune values");
        for (std::uint32_t i = 0; i < ni; ++i) {
            const int param = r.i32();
            ints[param] = r.i64();
        }
        s.tuneFloats = std::move(floats);
        s.tuneInts = std::move(ints);
        break;
    }
    case segment::DofFocus: {
        const float dof = r.f32();
        const float focus = r.f32();
        if (!std::isfinite(dof) || !std::isfinite(focus))
            throw std::runtime_error("Invalid depth of field");
        s.depthOfField = dof;
        s.focusDepth = focus;
        break;
    }
    case segment::Transform: {
        Transform t(Point<int> { r.i32(), r.i32() });
        const int m00 = r.i32();
        const int m01 = r.i32();
        const int m10 = r.i32();
        const int m11 = r.i32();
        t.setMatrix(m00, m01, m10, m11); // std::invalid_argument for a non-orientation
        RectF crop;
        crop.x = r.f32();
        crop.y = r.f32();
        crop.width = r.f32();
        crop.height = r.f32();
        if (!std::isfinite(crop.x) || !std::isfinite(crop.y) || !std::isfinite(crop.width)
            || !std::isfinite(crop.height))
            throw std::runtime_error("Invalid crop");
        t.setCrop(crop);
        s.transform = t;
        break;
    }
    case segment::DepthMap:
        s.depth = decodeDepth(r);
        break;
    case segment::DepthEdits:
        s.depthEdits = std::vector<std::uint8_t>(p, p + n);
        break;
    case segment::Thumbnail: {
        const std::uint32_t len = r.u32();
        if (len > r.remaining())
            throw std::runtime_error("Truncated thumbnail");
        s.thumbnailJpeg = std::vector<std::uint8_t>(r.here(), r.here() + len);
        break;
    }
    default:
        break; // unknown segments are skipped
    }
}

class Reader
{
public:
    virtual ~Reader() = default;
    // Reads exactly n bytes or returns false.
    virtual bool read(void* dst, std::size_t n) = 0;
};

class MemReader : public Reader
{
public:
    MemReader(const std::uint8_t* d, std::size_t n)
        : m_d(d)
        , m_n(n)
    { }
    bool read(void* dst, std::size_t n) override
    {
        if (n > m_n - m_pos)
            return false;
        if (n)
            std::memcpy(dst, m_d + m_pos, n);
        m_pos += n;
        return true;
    }
    bool atEnd() const { return m_pos >= m_n; }

private:
    const std::uint8_t* m_d;
    std::size_t m_n;
    std::size_t m_pos = 0;
};

class StreamReader : public Reader
{
public:
    explicit StreamReader(std::istream& s)
        : m_s(s)
    { }
    bool read(void* dst, std::size_t n) override
    {
        m_s.read(static_cast<char*>(dst), static_cast<std::streamsize>(n));
        return static_cast<std::size_t>(m_s.gcount()) == n;
    }
    bool atEnd() { return m_s.peek() == std::char_traits<char>::eof(); }

private:
    std::istream& m_s;
};

StateCodec::ReadResult readAll(Reader& in, const std::function<bool()>& atEnd)
{
    StateCodec::ReadResult result;
    std::vector<std::uint8_t> payload;
    while (true) {
        if (atEnd())
            break;
        std::uint8_t head[StateCodec::kSegmentHeaderSize];
        if (!in.read(head, sizeof head)) {
            result.tornTail = true;
            break;
        }
        ByteReader h(head, sizeof head, "segment header");
        char magic[2];
        h.raw(magic, 2);
        const std::uint16_t type = h.u16();
        const std::uint32_t length = h.u32();
        const std::uint32_t crc = h.u32();
        if (std::memcmp(magic, kMagic, 2) != 0 || length > StateCodec::kMaxSegment) {
            result.tornTail = true;
            break;
        }
        // Read in steps so that a torn length never allocates more than what is there.
        payload.clear();
        bool complete = true;
        std::size_t left = length;
        while (left > 0) {
            const std::size_t step = left < (1u << 20) ? left : (1u << 20);
            const std::size_t at = payload.size();
            payload.resize(at + step);
            if (!in.read(payload.data() + at, step)) {
                complete = false;
                break;
            }
            left -= step;
        }
        if (!complete || segmentCrc(type, length, payload.data()) != crc) {
            result.tornTail = true;
            break;
        }
        // apply() parses the whole payload before it assigns, so a payload that does not
        // parse leaves the state as it was; no copy of the state per segment (appended
        // rating records behind a large depth map would make reading quadratic).
        try {
            apply(result.state, type, payload.data(), payload.size());
        } catch (const std::exception&) {
            result.tornTail = true;
            break;
        }
        ++result.segments;
        result.validBytes += StateCodec::kSegmentHeaderSize + length;
    }
    return result;
}

} // namespace

StateCodec::ReadResult StateCodec::read(std::istream& stream)
{
    StreamReader in(stream);
    return readAll(in, [&] { return in.atEnd(); });
}

StateCodec::ReadResult StateCodec::read(const std::uint8_t* data, std::size_t length)
{
    MemReader in(data, length);
    return readAll(in, [&] { return in.atEnd(); });
}

std::vector<std::uint8_t> StateCodec::segmentBytes(
    std::uint16_t type, const std::vector<std::uint8_t>& payload)
{
    if (payload.size() > kMaxSegment)
        throw std::runtime_error("State segment too large");
    const auto length = static_cast<std::uint32_t>(payload.size());
    ByteWriter w;
    w.raw(kMagic, 2);
    w.u16(type);
    w.u32(length);
    w.u32(segmentCrc(type, length, payload.data()));
    w.raw(payload.data(), payload.size());
    return w.take();
}

std::vector<std::uint8_t> StateCodec::write(const EngineState& s)
{
    std::vector<std::uint8_t> out;
    auto add = [&](std::uint16_t type, const std::vector<std::uint8_t>& payload) {
        const auto seg = segmentBytes(type, payload);
        out.insert(out.end(), seg.begin(), seg.end());
    };
    if (s.imageId) {
        ByteWriter w;
        for (std::uint32_t v : *s.imageId)
            w.u32(v);
        add(segment::ImageId, w.take());
    }
    if (s.rating) {
        ByteWriter w;
        w.i32(*s.rating);
        add(segment::Rating, w.take());
    }
    if (s.tuneFloats || s.tuneInts) {
        ByteWriter w;
        const std::map<int, float> none;
        const std::map<int, std::int64_t> noInts;
        const auto& floats = s.tuneFloats ? *s.tuneFloats : none;
        const auto& ints = s.tuneInts ? *s.tuneInts : noInts;
        w.u32(static_cast<std::uint32_t>(floats.size()));
        for (const auto& kv : floats) {
            w.i32(kv.first);
            w.f32(kv.second);
        }
        w.u32(static_cast<std::uint32_t>(ints.size()));
        for (const auto& kv : ints) {
            w.i32(kv.first);
            w.i64(kv.second);
        }
        add(segment::Tune, w.take());
    }
    if (s.depthOfField || s.focusDepth) {
        ByteWriter w;
        w.f32(s.depthOfField.value_or(0.f));
        w.f32(s.focusDepth.value_or(0.f));
        add(segment::DofFocus, w.take());
    }
    if (s.transform) {
        const Transform& t = *s.transform;
        ByteWriter w;
        w.i32(t.aspectRatio().x);
        w.i32(t.aspectRatio().y);
        for (int i = 0; i < 4; ++i)
            w.i32(t.m(i));
        w.f32(t.crop().x);
        w.f32(t.crop().y);
        w.f32(t.crop().width);
        w.f32(t.crop().height);
        add(segment::Transform, w.take());
    }
    if (s.depth)
        add(segment::DepthMap, encodeDepth(*s.depth));
    if (s.depthEdits)
        add(segment::DepthEdits, *s.depthEdits);
    if (s.thumbnailJpeg) {
        ByteWriter w;
        w.u32(static_cast<std::uint32_t>(s.thumbnailJpeg->size()));
        w.raw(s.thumbnailJpeg->data(), s.thumbnailJpeg->size());
        while (w.bytes().size() + kSegmentHeaderSize < kMinThumbnailSegment)
            w.u8(0);
        add(segment::Thumbnail, w.take());
    }
    return out;
}

void StateCodec::write(std::ostream& stream, const EngineState& state)
{
    const auto bytes = write(state);
    stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    stream.flush();
    if (!stream)
        throw std::runtime_error("Could not write the state stream");
}

} // namespace CIAPI::state
