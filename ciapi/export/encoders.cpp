#include "ciapi/export/encoders.h"
#include "ciapi/export/rowwriters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

#include <tiffio.h>
#include <turbojpeg.h>

namespace CIAPI::exporter {

namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

// A clock no camera has (a damaged or forged file): an offset beyond 18 hours either way, or
// a local time outside the years 1 to 9999 that the text has room for.
constexpr int64_t kMaxOffsetMinutes = 18 * 60;
constexpr int64_t kFirstSecond = -62135596800LL; // 0001-01-01T00:00:00
constexpr int64_t kLastSecond = 253402300799LL; // 9999-12-31T23:59:59

std::string exifTime(int64_t utc, int offsetMinutes)
{
    // Unknown, in the form EXIF gives it: blanks but for the colons.
    const char* const unknown = "    :  :     :  :  ";
    if (offsetMinutes < -kMaxOffsetMinutes || offsetMinutes > kMaxOffsetMinutes || utc < kFirstSecond - 86400
        || utc > kLastSecond + 86400)
        return unknown;
    const int64_t seconds = utc + int64_t(offsetMinutes) * 60;
    if (seconds < kFirstSecond || seconds > kLastSecond)
        return unknown;
    const time_t local = static_cast<time_t>(seconds);
    std::tm tm {};
    gmtime_r(&local, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d:%02d:%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string exifOffset(int minutes)
{
    if (minutes < -kMaxOffsetMinutes || minutes > kMaxOffsetMinutes)
        return "      ";
    char buf[32];
    const int a = std::abs(minutes);
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
    return buf;
}

struct Entry
{
    uint16_t tag;
    uint16_t type; // 2 ASCII, 3 SHORT, 4 LONG
    std::string text;
    uint32_t value = 0;
};

// Writes one IFD at `at` with its out-of-line data after it; returns the end offset.
size_t writeIfd(
    std::vector<uint8_t>& tiff, size_t at, const std::vector<Entry>& entries, std::vector<size_t>* valueAt)
{
    size_t data = at + 2 + entries.size() * 12 + 4;
    tiff.resize(std::max(tiff.size(), data));
    put16(tiff, at, uint16_t(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const size_t p = at + 2 + i * 12;
        put16(tiff, p, e.tag);
        put16(tiff, p + 2, e.type);
        if (e.type == 2) {
            const uint32_t count = uint32_t(e.text.size() + 1);
            put32(tiff, p + 4, count);
            if (count <= 4) {
                std::memcpy(&tiff[p + 8], e.text.c_str(), count);
            } else {
                put32(tiff, p + 8, uint32_t(data));
                tiff.resize(data + count + (count & 1));
                std::memcpy(&tiff[data], e.text.c_str(), count);
                data += count + (count & 1);
            }
        } else {
            put32(tiff, p + 4, 1);
            if (e.type == 3)
                put16(tiff, p + 8, uint16_t(e.value));
            else
                put32(tiff, p + 8, e.value);
        }
        if (valueAt)
            valueAt->push_back(p + 8);
    }
    put32(tiff, at + 2 + entries.size() * 12, 0);
    return data;
}

// In-memory file for libtiff.
struct MemFile
{
    std::vector<uint8_t> bytes;
    size_t pos = 0;
};

tsize_t memRead(thandle_t h, tdata_t buf, tsize_t n)
{
    auto* f = static_cast<MemFile*>(h);
    const size_t avail = f->pos < f->bytes.size() ? f->bytes.size() - f->pos : 0;
    const size_t k = std::min(avail, size_t(n));
    std::memcpy(buf, f->bytes.data() + f->pos, k);
    f->pos += k;
    return tsize_t(k);
}

tsize_t memWrite(thandle_t h, tdata_t buf, tsize_t n)
{
    auto* f = static_cast<MemFile*>(h);
    if (f->pos + size_t(n) > f->bytes.size())
        f->bytes.resize(f->pos + size_t(n));
    std::memcpy(f->bytes.data() + f->pos, buf, size_t(n));
    f->pos += size_t(n);
    return n;
}

toff_t memSeek(thandle_t h, toff_t off, int whence)
{
    auto* f = static_cast<MemFile*>(h);
    size_t base = whence == SEEK_CUR ? f->pos : (whence == SEEK_END ? f->bytes.size() : 0);
    f->pos = size_t(int64_t(base) + int64_t(off));
    return f->pos;
}

int memClose(thandle_t)
{
    return 0;
}
toff_t memSize(thandle_t h)
{
    return static_cast<MemFile*>(h)->bytes.size();
}
int memMap(thandle_t, tdata_t*, toff_t*)
{
    return 0;
}
void memUnmap(thandle_t, tdata_t, toff_t) { }

} // namespace

std::string uuidHex(const std::array<uint32_t, 4>& words)
{
    std::string s;
    char buf[16];
    for (uint32_t w : words) {
        std::snprintf(buf, sizeof buf, "%08x", unsigned(w));
        s += buf;
    }
    return s;
}

std::vector<uint8_t> exifBlock(const ExifFacts& facts)
{
    const std::string when = exifTime(facts.captureTime, facts.utcOffsetMinutes);
    std::vector<uint8_t> tiff = { 'I', 'I', 0x2a, 0, 8, 0, 0, 0 };
    std::vector<size_t> at0;
    const std::vector<Entry> ifd0 = { { 0x0112, 3, {}, 1 }, { 0x0132, 2, when }, { 0x8769, 4, {}, 0 } };
    const size_t exifAt = writeIfd(tiff, 8, ifd0, &at0);
    put32(tiff, at0[2], uint32_t(exifAt));
    std::string id = facts.imageUniqueId;
    id.resize(32, '0');
    const std::vector<Entry> exif
        = { { 0x9003, 2, when }, { 0x9011, 2, exifOffset(facts.utcOffsetMinutes) }, { 0xA420, 2, id } };
    writeIfd(tiff, exifAt, exif, nullptr);
    static const uint8_t head[6] = { 'E', 'x', 'i', 'f', 0, 0 };
    std::vector<uint8_t> out(sizeof head + tiff.size());
    std::memcpy(out.data(), head, sizeof head);
    std::memcpy(out.data() + sizeof head, tiff.data(), tiff.size());
    return out;
}

std::vector<uint8_t> encodeJpeg(
    const uint8_t* rgb, int width, int height, int quality, bool fullChroma, const ExifFacts& facts)
{
    if (width <= 0 || height <= 0)
        throw std::runtime_error("Nothing to encode");
    std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
    if (!tj)
        throw std::runtime_error("JPEG encoder unavailable");
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj.get(), rgb, width, width * 3, height, TJPF_RGB, &buf, &size,
            fullChroma ? TJSAMP_444 : TJSAMP_420, std::clamp(quality, 1, 100),
            fullChroma ? TJFLAG_ACCURATEDCT : 0)
        != 0) {
        tjFree(buf);
        throw std::runtime_error(std::string("JPEG encoding failed: ") + tjGetErrorStr2(tj.get()));
    }
    const std::vector<uint8_t> exif = exifBlock(facts);
    std::vector<uint8_t> out;
    out.reserve(size + exif.size() + 4);
    out.insert(out.end(), buf, buf + 2); // SOI
    out.push_back(0xff);
    out.push_back(0xe1);
    const size_t len = exif.size() + 2;
    out.push_back(uint8_t(len >> 8));
    out.push_back(uint8_t(len));
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), buf + 2, buf + size);
    tjFree(buf);
    return out;
}

std::vector<uint8_t> encodePpm(const uint8_t* rgb, int width, int height)
{
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    std::vector<uint8_t> out(header.begin(), header.end());
    out.insert(out.end(), rgb, rgb + size_t(width) * height * 3);
    return out;
}

bool setDngTags(void* handle, int width, int height, const ExifFacts& facts)
{
    TIFF* tif = static_cast<TIFF*>(handle);
    static const uint8_t version[4] = { 1, 4, 0, 0 };
    static const uint8_t backward[4] = { 1, 1, 0, 0 };
    // XYZ (D65) to linear sRGB: the picture's own colour space.
    static const float xyzToRgb[9] = { 3.2404542f, -1.5371385f, -0.4985314f, -0.9692660f, 1.8760108f,
        0.0415560f, 0.0556434f, -0.2040259f, 1.0572252f };
    static const float neutral[3] = { 1.f, 1.f, 1.f };
    const std::string when = exifTime(facts.captureTime, facts.utcOffsetMinutes);
    return TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0) && TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width))
        && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height))
        && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3)
        && TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE)
        && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 34892)
        && TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG)
        && TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT)
        && TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(std::max(1, 65536 / std::max(1, width * 6))))
        && TIFFSetField(tif, TIFFTAG_DATETIME, when.c_str()) && TIFFSetField(tif, TIFFTAG_DNGVERSION, version)
        && TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, backward)
        && TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Z40")
        && TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, xyzToRgb)
        && TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21)
        && TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
}

std::vector<uint8_t> encodeDng(const uint16_t* rgb, int width, int height, const ExifFacts& facts)
{
    MemFile file;
    TIFF* tif = TIFFClientOpen(
        "export.dng", "w", &file, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap);
    if (!tif)
        throw std::runtime_error("DNG encoder unavailable");
    bool ok = setDngTags(tif, width, height, facts);
    for (int y = 0; ok && y < height; ++y)
        ok = TIFFWriteScanline(tif, const_cast<uint16_t*>(rgb + size_t(y) * width * 3), uint32_t(y), 0) >= 0;
    if (ok)
        ok = TIFFWriteDirectory(tif) != 0;
    TIFFClose(tif);
    if (!ok)
        throw std::runtime_error("DNG encoding failed");
    return std::move(file.bytes);
}

std::vector<uint8_t> encodeHdr(const float* rgb, int width, int height)
{
    const std::string header = hdrHeader(width, height);
    std::vector<uint8_t> out(header.begin(), header.end());
    std::vector<uint8_t> line(size_t(width) * 4);
    for (int y = 0; y < height; ++y) {
        const float* s = rgb + size_t(y) * width * 3;
        for (int x = 0; x < width; ++x)
            rgbePixel(s[3 * x], s[3 * x + 1], s[3 * x + 2], &line[4 * size_t(x)]);
        appendHdrRow(line.data(), width, out);
    }
    return out;
}

} // namespace CIAPI::exporter
