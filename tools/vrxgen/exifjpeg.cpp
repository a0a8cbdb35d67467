#include "tools/vrxgen/exifjpeg.h"

#include <stdexcept>

namespace vrxgen {

namespace {

class TiffWriter
{
public:
    explicit TiffWriter(bool big)
        : m_big(big)
    { }
    std::vector<std::uint8_t> bytes;

    void u16(std::uint16_t v, std::size_t at = SIZE_MAX)
    {
        const std::uint8_t b[2] = { static_cast<std::uint8_t>(m_big ? v >> 8 : v & 0xff),
            static_cast<std::uint8_t>(m_big ? v & 0xff : v >> 8) };
        put(b, 2, at);
    }
    void u32(std::uint32_t v, std::size_t at = SIZE_MAX)
    {
        std::uint8_t b[4];
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<std::uint8_t>(v >> (m_big ? 24 - 8 * i : 8 * i));
        put(b, 4, at);
    }

private:
    void put(const std::uint8_t* b, std::size_t n, std::size_t at)
    {
        if (at == SIZE_MAX)
            bytes.insert(bytes.end(), b, b + n);
        else
            for (std::size_t i = 0; i < n; ++i)
                bytes[at + i] = b[i];
    }
    bool m_big;
};

struct Entry
{
    std::uint16_t tag;
    std::uint16_t type; // 2 ASCII, 3 SHORT, 4 LONG
    std::uint32_t value = 0;
    std::string text;
};

// Writes one IFD at the end of `w` with its out-of-line values after it; returns the
// position of each LONG entry's value field by tag (to patch offsets later).
void writeIfd(TiffWriter& w, const std::vector<Entry>& entries, std::size_t* exifPointerField)
{
    const std::size_t start = w.bytes.size();
    w.u16(static_cast<std::uint16_t>(entries.size()));
    std::size_t dataAt = start + 2 + entries.size() * 12 + 4;
    std::vector<std::pair<std::size_t, const Entry*>> outOfLine;
    for (const Entry& e : entries) {
        w.u16(e.tag);
        w.u16(e.type);
        if (e.type == 2) {
            const std::uint32_t count = static_cast<std::uint32_t>(e.text.size() + 1);
            w.u32(count);
            if (count <= 4) {
                std::uint8_t b[4] = { 0, 0, 0, 0 };
                for (std::size_t i = 0; i < e.text.size(); ++i)
                    b[i] = static_cast<std::uint8_t>(e.text[i]);
                w.bytes.insert(w.bytes.end(), b, b + 4);
            } else {
                w.u32(static_cast<std::uint32_t>(dataAt));
                outOfLine.push_back({ dataAt, &e });
                dataAt += count + (count & 1);
            }
        } else if (e.type == 3) {
            w.u32(1);
            w.u16(static_cast<std::uint16_t>(e.value));
            w.u16(0);
        } else {
            w.u32(1);
            if (e.tag == 0x8769 && exifPointerField)
                *exifPointerField = w.bytes.size();
            w.u32(e.value);
        }
    }
    w.u32(0); // no next IFD
    for (const auto& o : outOfLine) {
        (void)o.first;
        w.bytes.insert(w.bytes.end(), o.second->text.begin(), o.second->text.end());
        w.bytes.push_back(0);
        if ((o.second->text.size() + 1) & 1)
            w.bytes.push_back(0);
    }
}

} // namespace

int exifOrientationFor(int code)
{
    // The engine's "90" turns the picture counter-clockwise as seen (EXIF 8, "rotate 270
    // clockwise to view"), its "270" clockwise (EXIF 6); a mirror flips the turned view
    // left to right: 270 mirrored is the transpose (5), 90 mirrored the transverse (7),
    // 180 mirrored the vertical flip (4), 0 mirrored the horizontal one (2).
    static const int kMap[8] = { 1, 8, 6, 5, 7, 4, 2, 3 };
    return (code >= 0 && code < 8) ? kMap[code] : 1;
}

std::vector<std::uint8_t> withExif(const std::vector<std::uint8_t>& jpeg, const ExifFacts& f)
{
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        throw std::invalid_argument("Not a JPEG");
    TiffWriter w(f.bigEndian);
    w.bytes = { static_cast<std::uint8_t>(f.bigEndian ? 'M' : 'I'),
        static_cast<std::uint8_t>(f.bigEndian ? 'M' : 'I') };
    w.u16(42);
    w.u32(8);
    std::size_t exifPointer = 0;
    writeIfd(w,
        { { 0x0100, 4, static_cast<std::uint32_t>(f.width), {} },
            { 0x0101, 4, static_cast<std::uint32_t>(f.height), {} }, { 0x010E, 2, 0, f.description },
            { 0x0112, 3, static_cast<std::uint32_t>(f.orientation), {} }, { 0x0132, 2, 0, f.dateTime },
            { 0x8769, 4, 0, {} }, { 0xA420, 2, 0, f.uniqueId } },
        &exifPointer);
    w.u32(static_cast<std::uint32_t>(w.bytes.size()), exifPointer);
    writeIfd(w,
        { { 0x9003, 2, 0, f.dateTime }, { 0xA002, 4, static_cast<std::uint32_t>(f.width), {} },
            { 0xA003, 4, static_cast<std::uint32_t>(f.height), {} }, { 0xA420, 2, 0, f.uniqueId } },
        nullptr);

    std::vector<std::uint8_t> app1 = { 'E', 'x', 'i', 'f', 0, 0 };
    app1.insert(app1.end(), w.bytes.begin(), w.bytes.end());
    const std::size_t segLength = app1.size() + 2;
    if (segLength > 0xFFFF)
        throw std::invalid_argument("EXIF block too large");
    std::vector<std::uint8_t> out = { 0xFF, 0xD8, 0xFF, 0xE1, static_cast<std::uint8_t>(segLength >> 8),
        static_cast<std::uint8_t>(segLength & 0xff) };
    out.insert(out.end(), app1.begin(), app1.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

} // namespace vrxgen
