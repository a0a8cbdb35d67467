#include "tools/hostilefuzz/mutator.h"

#include "ciapi/vrx/crc32.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace hostilefuzz {

namespace {

std::uint64_t get(const Bytes& b, std::size_t at, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= std::uint64_t(b[at + std::size_t(i)]) << (8 * i);
    return v;
}

void put(Bytes& b, std::size_t at, std::uint64_t v, int n)
{
    for (int i = 0; i < n && at + std::size_t(i) < b.size(); ++i)
        b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

std::uint32_t crcOf(const Bytes& b, std::size_t at, std::size_t n)
{
    return CIAPI::vrx::crc32(b.data() + at, n);
}

struct VrxLayout
{
    bool valid = false;
    std::uint64_t total = 0;
    std::uint64_t tocOffset = 0;
    std::uint32_t tocCount = 0;
    struct Chunk
    {
        std::uint64_t header = 0;
        std::uint64_t length = 0;
    };
    std::vector<Chunk> chunks;
};

VrxLayout layoutOf(const Bytes& b)
{
    VrxLayout l;
    if (b.size() < 40 || std::memcmp(b.data(), "QVRX", 4) != 0)
        return l;
    l.total = get(b, 16, 8);
    l.tocOffset = get(b, 24, 8);
    l.tocCount = std::uint32_t(get(b, 32, 4));
    l.valid
        = l.tocCount < 100000 && l.tocOffset <= b.size() && l.tocCount * 24ull + 4 <= b.size() - l.tocOffset;
    if (!l.valid)
        return l;
    for (std::uint32_t i = 0; i < l.tocCount; ++i) {
        const std::size_t e = std::size_t(l.tocOffset) + std::size_t(i) * 24;
        const std::uint64_t header = get(b, e + 8, 8);
        const std::uint64_t length = get(b, e + 16, 8);
        if (header <= b.size() && b.size() - header >= 24 && length <= b.size() - header - 24)
            l.chunks.push_back({ header, length });
    }
    return l;
}

// Length of a calibration record at `at`, 0 when its counts run past the bytes.
std::size_t recordLength(const Bytes& b, std::size_t at)
{
    if (b.size() < at + 28 || std::memcmp(b.data() + at, "QHPX", 4) != 0)
        return 0;
    const std::uint32_t modules = std::uint32_t(get(b, at + 6, 2));
    std::size_t pos = at + 24;
    for (std::uint32_t m = 0; m < modules; ++m) {
        if (b.size() < pos + 4)
            return 0;
        const std::uint64_t n = get(b, pos, 4);
        if (n > (b.size() - pos - 4) / 4)
            return 0;
        pos += 4 + std::size_t(n) * 4;
    }
    return b.size() >= pos + 4 ? pos + 4 - at : 0;
}

} // namespace

void Mutator::interesting(Bytes& b, std::size_t at)
{
    if (at >= b.size())
        return;
    static const std::uint64_t k64[] = { 0, 1, 2, 0xFFFFFFFFFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull,
        0x8000000000000000ull, 0x100000000ull, 0xFFFFFFFF00000000ull, 1ull << 40, 1ull << 62 };
    static const std::uint32_t k32[]
        = { 0, 1, 2, 3, 4, 7, 8, 16, 255, 256, 4095, 4096, 65535, 65536, 1u << 20, 1u << 24, 0x7FFFFFFF,
              0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x7FFFFFFEu, 16385, 16384, 1u << 30 };
    static const float kFloat[] = { 0.f, -0.f, -1.f, 1e-38f, 1e-45f, 1e30f, -1e30f, 3.4e38f, -3.4e38f,
        std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), 65536.f, 1e9f, 0.5f };
    static const std::uint16_t k16[]
        = { 0, 1, 0xFFFF, 0x7FFF, 0x8000, 0xFF, 0x100, 0xFFD8, 0xFFE1, 0xFFD9, 42 };
    switch (below(5)) {
    case 0:
        b[at] = std::uint8_t(std::initializer_list<int> { 0, 1, 0x7F, 0x80, 0xFF }.begin()[below(5)]);
        break;
    case 1:
        put(b, at, k16[below(sizeof k16 / sizeof *k16)], 2);
        break;
    case 2:
        put(b, at, k32[below(sizeof k32 / sizeof *k32)], 4);
        break;
    case 3: {
        std::uint32_t u;
        const float f = kFloat[below(sizeof kFloat / sizeof *kFloat)];
        std::memcpy(&u, &f, 4);
        put(b, at, u, 4);
        break;
    }
    default:
        put(b, at, k64[below(sizeof k64 / sizeof *k64)], 8);
        break;
    }
}

void Mutator::damage(Bytes& b, std::size_t from, std::size_t to)
{
    to = std::min(to, b.size());
    if (from >= to)
        return;
    const std::size_t at = from + below(std::uint32_t(std::min<std::size_t>(to - from, 0xFFFFFFFFu)));
    switch (below(4)) {
    case 0:
        for (std::uint32_t i = 0, n = 1 + below(4); i < n; ++i)
            b[at] ^= std::uint8_t(1u << below(8));
        break;
    case 1:
        b[at] = std::uint8_t(below(256));
        break;
    default:
        // Aligned, as the fields of every format here are.
        interesting(b, from + ((at - from) & ~std::size_t(3)));
        break;
    }
}

void Mutator::reshape(Bytes& b)
{
    if (b.empty()) {
        b.assign(1 + below(64), std::uint8_t(below(256)));
        return;
    }
    const std::size_t at = below(std::uint32_t(b.size()));
    switch (below(4)) {
    case 0:
        b.resize(at);
        break;
    case 1:
        b.insert(b.begin() + std::ptrdiff_t(at), 1 + below(256), std::uint8_t(below(256)));
        break;
    case 2: {
        const std::size_t n = std::min<std::size_t>(1 + below(512), b.size() - at);
        const Bytes slice(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + n));
        b.insert(b.begin() + std::ptrdiff_t(below(std::uint32_t(b.size()))), slice.begin(), slice.end());
        break;
    }
    default: {
        const std::size_t n = std::min<std::size_t>(1 + below(512), b.size() - at);
        b.erase(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + n));
        break;
    }
    }
}

void fixVrxChecksums(Bytes& b)
{
    const VrxLayout l = layoutOf(b);
    if (!l.valid)
        return;
    for (const auto& c : l.chunks)
        put(b, std::size_t(c.header) + 16, crcOf(b, std::size_t(c.header) + 24, std::size_t(c.length)), 4);
    const std::size_t entries = std::size_t(l.tocCount) * 24;
    put(b, std::size_t(l.tocOffset) + entries, crcOf(b, std::size_t(l.tocOffset), entries), 4);
    put(b, 36, crcOf(b, 0, 36), 4);
    if (l.total < b.size())
        if (const std::size_t n = recordLength(b, std::size_t(l.total)))
            put(b, std::size_t(l.total) + n - 4, crcOf(b, std::size_t(l.total), n - 4), 4);
}

void fixStateChecksums(Bytes& b)
{
    std::size_t pos = 0;
    while (b.size() - pos >= 12 && b[pos] == 'Q' && b[pos + 1] == 'S') {
        const std::uint64_t length = get(b, pos + 4, 4);
        if (length > b.size() - pos - 12)
            return;
        std::uint32_t crc = CIAPI::vrx::crc32(b.data() + pos + 2, 6);
        crc = CIAPI::vrx::crc32(b.data() + pos + 12, std::size_t(length), crc);
        put(b, pos + 8, crc, 4);
        pos += 12 + std::size_t(length);
    }
}

std::string Mutator::vrx(Bytes& b)
{
    const VrxLayout l = layoutOf(b);
    std::string what;
    const std::uint32_t pick = below(100);
    if (!l.valid || pick < 8) {
        reshape(b);
        what = "reshape";
    } else if (pick < 60 && !l.chunks.empty()) {
        const auto& c = l.chunks[below(std::uint32_t(l.chunks.size()))];
        // Mostly the first bytes: the record headers live there.
        const std::size_t from = std::size_t(c.header) + 24;
        const std::size_t span
            = chance(70) ? std::min<std::size_t>(std::size_t(c.length), 96) : std::size_t(c.length);
        damage(b, from, from + span);
        what = "chunk " + std::string(reinterpret_cast<const char*>(b.data() + c.header), 4);
    } else if (pick < 72) {
        damage(b, 4, 36);
        what = "header";
    } else if (pick < 86) {
        damage(b, std::size_t(l.tocOffset), std::size_t(l.tocOffset) + std::size_t(l.tocCount) * 24);
        what = "toc";
    } else if (l.total < b.size()) {
        damage(b, std::size_t(l.total), b.size());
        what = "appendix";
    } else {
        reshape(b);
        what = "reshape";
    }
    if (chance(92))
        fixVrxChecksums(b);
    else
        what += " (checksums left)";
    return what;
}

std::string Mutator::state(Bytes& b)
{
    std::vector<std::pair<std::size_t, std::size_t>> segments;
    for (std::size_t pos = 0; b.size() - pos >= 12 && b[pos] == 'Q' && b[pos + 1] == 'S';) {
        const std::uint64_t length = get(b, pos + 4, 4);
        if (length > b.size() - pos - 12)
            break;
        segments.emplace_back(pos, std::size_t(length));
        pos += 12 + std::size_t(length);
    }
    std::string what;
    const std::uint32_t pick = below(100);
    if (segments.empty() || pick < 10) {
        reshape(b);
        what = "reshape";
    } else if (pick < 20) {
        const auto& s = segments[below(std::uint32_t(segments.size()))];
        damage(b, s.first + 2, s.first + 8); // type or length
        what = "segment header";
    } else {
        const auto& s = segments[below(std::uint32_t(segments.size()))];
        const std::size_t span = chance(70) ? std::min<std::size_t>(s.second, 64) : s.second;
        damage(b, s.first + 12, s.first + 12 + span);
        what = "segment " + std::to_string(get(b, s.first + 2, 2));
    }
    if (chance(92))
        fixStateChecksums(b);
    else
        what += " (checksums left)";
    return what;
}

std::string Mutator::jpeg(Bytes& b)
{
    // The EXIF block sits right after the start-of-image marker.
    const std::size_t app1End = b.size() > 6 && b[2] == 0xFF && b[3] == 0xE1
        ? std::min(b.size(), 4 + std::size_t(get(b, 4, 1)) * 256 + get(b, 5, 1))
        : std::min<std::size_t>(b.size(), 512);
    if (chance(15)) {
        reshape(b);
        return "reshape";
    }
    if (chance(50)) {
        // A field of the TIFF data: 2- and 4-byte values at even positions.
        const std::size_t at = 12 + 2 * below(std::uint32_t(app1End > 12 ? (app1End - 12) / 2 : 1));
        interesting(b, at);
        return "field";
    }
    damage(b, 0, app1End);
    return "byte";
}

std::string Mutator::json(Bytes& b)
{
    std::string text(b.begin(), b.end());
    static const char* const kNumbers[] = { "0", "-0", "1e400", "-1e400", "2147483648", "-2147483649",
        "9.3e18", "1e-400", "0.5", "360", "-90", "7", "8", "-1", "4294967296", "1.0000001", "4", "2" };
    static const char* const kValues[] = { "null", "true", "[]", "{}", "\"\"", "\"x\"", "[0,0,0,0]",
        "[-1,-1,2,2]", "[0.5,0.5,0.5,0.5,0.5]", "{\"a\":1}", "[[[[[[[[]]]]]]]]" };
    std::string what;
    std::vector<std::size_t> numbers;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '-')
            && (i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1]))))
            numbers.push_back(i);
    const std::uint32_t pick = below(100);
    if (pick < 45 && !numbers.empty()) {
        const std::size_t at = numbers[below(std::uint32_t(numbers.size()))];
        std::size_t end = at + 1;
        while (end < text.size()
            && (std::isdigit(static_cast<unsigned char>(text[end])) || std::strchr(".eE+-", text[end])))
            ++end;
        text.replace(at, end - at, kNumbers[below(sizeof kNumbers / sizeof *kNumbers)]);
        what = "number";
    } else if (pick < 70) {
        // A value after a colon becomes another kind of value.
        std::vector<std::size_t> colons;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (text[i] == ':')
                colons.push_back(i);
        if (!colons.empty()) {
            const std::size_t at = colons[below(std::uint32_t(colons.size()))] + 1;
            std::size_t end = at;
            int depth = 0;
            while (end < text.size() && (depth > 0 || (text[end] != ',' && text[end] != '}'))) {
                if (text[end] == '{' || text[end] == '[')
                    ++depth;
                else if (text[end] == '}' || text[end] == ']')
                    --depth;
                ++end;
            }
            text.replace(at, end - at, kValues[below(sizeof kValues / sizeof *kValues)]);
        }
        what = "value";
    } else if (pick < 80) {
        text.insert(below(std::uint32_t(text.size() + 1)), std::string(1 + below(4096), "[{\" x"[below(5)]));
        what = "run";
    } else {
        Bytes copy(text.begin(), text.end());
        reshape(copy);
        text.assign(copy.begin(), copy.end());
        what = "reshape";
    }
    b.assign(text.begin(), text.end());
    return what;
}

} // namespace hostilefuzz
