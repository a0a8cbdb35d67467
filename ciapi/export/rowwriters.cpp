#include "ciapi/export/rowwriters.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

namespace CIAPI::exporter {

namespace {

void writeBytes(std::ostream& out, const void* data, size_t n)
{
    out.write(static_cast<const char*>(data), std::streamsize(n));
    if (!out)
        throw std::runtime_error("Couldn't write the export");
}

// ---- JPEG ----------------------------------------------------------------------------------

struct JpegError
{
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};

void jpegErrorExit(j_common_ptr c)
{
    auto* e = reinterpret_cast<JpegError*>(c->err);
    (*c->err->format_message)(c, e->text);
    std::longjmp(e->jump, 1);
}

void jpegQuiet(j_common_ptr, int) { }

// Hands the encoder's output to the stream in 64 KiB pieces.
struct JpegDestination
{
    jpeg_destination_mgr mgr;
    std::ostream* out;
    bool failed = false;
    std::vector<JOCTET> buffer = std::vector<JOCTET>(64 * 1024);
};

void destInit(j_compress_ptr c)
{
    auto* d = reinterpret_cast<JpegDestination*>(c->dest);
    d->mgr.next_output_byte = d->buffer.data();
    d->mgr.free_in_buffer = d->buffer.size();
}

boolean destEmpty(j_compress_ptr c)
{
    auto* d = reinterpret_cast<JpegDestination*>(c->dest);
    d->out->write(reinterpret_cast<const char*>(d->buffer.data()), std::streamsize(d->buffer.size()));
    d->failed |= !*d->out;
    destInit(c);
    return TRUE;
}

void destTerm(j_compress_ptr c)
{
    auto* d = reinterpret_cast<JpegDestination*>(c->dest);
    const size_t n = d->buffer.size() - d->mgr.free_in_buffer;
    d->out->write(reinterpret_cast<const char*>(d->buffer.data()), std::streamsize(n));
    d->failed |= !*d->out;
}

// The settings the whole-image encoder (TurboJPEG's tjCompress2) makes, so the bytes agree;
// the JFIF marker is written after the EXIF block, where the whole-image encoder puts it.
class JpegWriter : public RowWriter
{
public:
    JpegWriter(std::ostream& out, int width, int height, int quality, bool fullChroma, const ExifFacts& facts)
        : m_width(width)
        , m_height(height)
    {
        if (width <= 0 || height <= 0)
            throw std::runtime_error("Nothing to encode");
        m_dest.out = &out;
        m_dest.mgr.init_destination = destInit;
        m_dest.mgr.empty_output_buffer = destEmpty;
        m_dest.mgr.term_destination = destTerm;
        m_c.err = jpeg_std_error(&m_err.mgr);
        m_err.mgr.error_exit = jpegErrorExit;
        m_err.mgr.emit_message = jpegQuiet;
        m_exif = exifBlock(facts);
        m_quality = std::clamp(quality, 1, 100);
        m_fullChroma = fullChroma;
        start();
    }

    ~JpegWriter() override
    {
        if (m_created)
            jpeg_destroy_compress(&m_c);
    }

    RowSamples samples() const override { return RowSamples::Rgb8; }

    void write(const uint8_t* rows, int count) override
    {
        if (setjmp(m_err.jump))
            fail();
        // All the rows in one call: the library takes them a group at a time.
        m_rows.resize(size_t(std::max(0, count)));
        for (int i = 0; i < count; ++i)
            m_rows[size_t(i)] = const_cast<JSAMPROW>(rows + size_t(i) * m_width * 3);
        for (m_written = 0; m_written < JDIMENSION(count);) {
            const JDIMENSION n
                = jpeg_write_scanlines(&m_c, m_rows.data() + m_written, JDIMENSION(count) - m_written);
            if (n == 0)
                throw std::runtime_error("JPEG encoding stalled");
            m_written += n;
        }
        check();
    }

    void finish() override
    {
        if (setjmp(m_err.jump))
            fail();
        jpeg_finish_compress(&m_c);
        check();
    }

private:
    // Everything the library may jump out of reads members only (no locals to clobber).
    void start()
    {
        if (setjmp(m_err.jump)) {
            jpeg_destroy_compress(&m_c);
            throw std::runtime_error(std::string("JPEG encoding failed: ") + m_err.text);
        }
        jpeg_create_compress(&m_c);
        m_created = true;
        m_c.dest = &m_dest.mgr;
        m_c.image_width = JDIMENSION(m_width);
        m_c.image_height = JDIMENSION(m_height);
        m_c.in_color_space = JCS_EXT_RGB;
        m_c.input_components = 3;
        jpeg_set_defaults(&m_c);
        jpeg_set_quality(&m_c, m_quality, TRUE);
        m_c.dct_method = m_quality >= 96 || m_fullChroma ? JDCT_ISLOW : JDCT_FASTEST;
        jpeg_set_colorspace(&m_c, JCS_YCbCr);
        m_c.comp_info[0].h_samp_factor = m_fullChroma ? 1 : 2;
        m_c.comp_info[0].v_samp_factor = m_fullChroma ? 1 : 2;
        for (int i = 1; i < 3; ++i)
            m_c.comp_info[i].h_samp_factor = m_c.comp_info[i].v_samp_factor = 1;
        m_jfif = m_c.write_JFIF_header;
        m_c.write_JFIF_header = FALSE;
        jpeg_start_compress(&m_c, TRUE);
        jpeg_write_marker(&m_c, JPEG_APP0 + 1, m_exif.data(), unsigned(m_exif.size()));
        if (m_jfif) {
            const JOCTET app0[14] = { 'J', 'F', 'I', 'F', 0, m_c.JFIF_major_version, m_c.JFIF_minor_version,
                m_c.density_unit, JOCTET(m_c.X_density >> 8), JOCTET(m_c.X_density & 0xff),
                JOCTET(m_c.Y_density >> 8), JOCTET(m_c.Y_density & 0xff), 0, 0 };
            jpeg_write_marker(&m_c, JPEG_APP0, app0, sizeof app0);
        }
        check();
    }

    [[noreturn]] void fail()
    {
        jpeg_abort_compress(&m_c);
        throw std::runtime_error(std::string("JPEG encoding failed: ") + m_err.text);
    }
    void check()
    {
        if (m_dest.failed)
            throw std::runtime_error("Couldn't write the export");
    }

    int m_width;
    int m_height;
    int m_quality = 88;
    bool m_fullChroma = false;
    boolean m_jfif = TRUE;
    std::vector<uint8_t> m_exif;
    std::vector<JSAMPROW> m_rows; // the rows of one write()
    JDIMENSION m_written = 0; // of them, so far
    jpeg_compress_struct m_c {};
    JpegError m_err {};
    JpegDestination m_dest {};
    bool m_created = false;
};

// ---- PPM -----------------------------------------------------------------------------------

class PpmWriter : public RowWriter
{
public:
    PpmWriter(std::ostream& out, int width, int height)
        : m_out(out)
        , m_width(width)
    {
        const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
        writeBytes(m_out, header.data(), header.size());
    }
    RowSamples samples() const override { return RowSamples::Rgb8; }
    void write(const uint8_t* rows, int count) override
    {
        writeBytes(m_out, rows, size_t(count) * m_width * 3);
    }
    void finish() override { }

private:
    std::ostream& m_out;
    int m_width;
};

// ---- DNG -----------------------------------------------------------------------------------

// libtiff's file, either the caller's stream (offsets from where it stood) or memory.
struct TiffFile
{
    std::ostream* out = nullptr;
    std::streamoff base = 0;
    std::vector<uint8_t> memory;
    size_t pos = 0;
    size_t size = 0;
};

tsize_t tiffRead(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

tsize_t tiffWrite(thandle_t h, tdata_t buf, tsize_t n)
{
    auto* f = static_cast<TiffFile*>(h);
    if (f->out) {
        f->out->write(static_cast<const char*>(buf), std::streamsize(n));
        if (!*f->out)
            return 0;
    } else {
        if (f->pos + size_t(n) > f->memory.size())
            f->memory.resize(f->pos + size_t(n));
        std::memcpy(f->memory.data() + f->pos, buf, size_t(n));
    }
    f->pos += size_t(n);
    f->size = std::max(f->size, f->pos);
    return n;
}

toff_t tiffSeek(thandle_t h, toff_t off, int whence)
{
    auto* f = static_cast<TiffFile*>(h);
    const size_t base = whence == SEEK_CUR ? f->pos : (whence == SEEK_END ? f->size : 0);
    const size_t to = size_t(int64_t(base) + int64_t(off));
    if (f->out && to != f->pos) {
        // Streams cannot seek past their end: zeros fill the gap, as memory would have.
        f->out->seekp(f->base + std::streamoff(std::min(to, f->size)));
        if (to > f->size) {
            const std::vector<char> zeros(to - f->size, 0);
            f->out->write(zeros.data(), std::streamsize(zeros.size()));
            f->size = to;
        }
        if (!*f->out)
            return toff_t(-1);
    }
    f->pos = to;
    return f->pos;
}

int tiffClose(thandle_t)
{
    return 0;
}
toff_t tiffSize(thandle_t h)
{
    return static_cast<TiffFile*>(h)->size;
}
int tiffMap(thandle_t, tdata_t*, toff_t*)
{
    return 0;
}
void tiffUnmap(thandle_t, tdata_t, toff_t) { }

class DngWriter : public RowWriter
{
public:
    DngWriter(std::ostream& out, int width, int height, const ExifFacts& facts)
        : m_out(out)
        , m_width(width)
    {
        const std::streamoff at = out.tellp();
        if (at >= 0) {
            m_file.out = &out;
            m_file.base = at;
        }
        m_tif = TIFFClientOpen("export.dng", "w", &m_file, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize,
            tiffMap, tiffUnmap);
        if (!m_tif)
            throw std::runtime_error("DNG encoder unavailable");
        if (!setDngTags(m_tif, width, height, facts))
            fail();
    }
    ~DngWriter() override
    {
        if (m_tif)
            TIFFClose(m_tif);
    }
    RowSamples samples() const override { return RowSamples::Rgb16; }
    void write(const uint8_t* rows, int count) override
    {
        for (int i = 0; i < count; ++i, ++m_row) {
            auto* row = reinterpret_cast<uint16_t*>(const_cast<uint8_t*>(rows + size_t(i) * m_width * 6));
            if (TIFFWriteScanline(m_tif, row, uint32_t(m_row), 0) < 0)
                fail();
        }
    }
    void finish() override
    {
        const bool ok = TIFFWriteDirectory(m_tif) != 0;
        TIFFClose(m_tif);
        m_tif = nullptr;
        if (!ok)
            fail();
        if (!m_file.out) {
            writeBytes(m_out, m_file.memory.data(), m_file.size);
        } else {
            m_out.seekp(m_file.base + std::streamoff(m_file.size));
            if (!m_out)
                throw std::runtime_error("Couldn't write the export");
        }
    }

private:
    [[noreturn]] void fail()
    {
        if (m_file.out && !*m_file.out)
            throw std::runtime_error("Couldn't write the export");
        throw std::runtime_error("DNG encoding failed");
    }

    std::ostream& m_out;
    int m_width;
    TiffFile m_file;
    TIFF* m_tif = nullptr;
    int m_row = 0;
};

// ---- HDR -----------------------------------------------------------------------------------

class HdrWriter : public RowWriter
{
public:
    HdrWriter(std::ostream& out, int width, int height)
        : m_out(out)
        , m_width(width)
    {
        const std::string header = hdrHeader(width, height);
        writeBytes(m_out, header.data(), header.size());
    }
    RowSamples samples() const override { return RowSamples::Rgbe; }
    void write(const uint8_t* rows, int count) override
    {
        m_coded.clear();
        for (int i = 0; i < count; ++i)
            appendHdrRow(rows + size_t(i) * m_width * 4, m_width, m_coded);
        writeBytes(m_out, m_coded.data(), m_coded.size());
    }
    void finish() override { }

private:
    std::ostream& m_out;
    int m_width;
    std::vector<uint8_t> m_coded;
};

} // namespace

size_t bytesPerPixel(RowSamples samples)
{
    return samples == RowSamples::Rgb8 ? 3 : samples == RowSamples::Rgb16 ? 6 : 4;
}

std::unique_ptr<RowWriter> jpegRowWriter(
    std::ostream& out, int width, int height, int quality, bool fullChroma, const ExifFacts& facts)
{
    return std::make_unique<JpegWriter>(out, width, height, quality, fullChroma, facts);
}

std::unique_ptr<RowWriter> ppmRowWriter(std::ostream& out, int width, int height)
{
    return std::make_unique<PpmWriter>(out, width, height);
}

std::unique_ptr<RowWriter> dngRowWriter(std::ostream& out, int width, int height, const ExifFacts& facts)
{
    return std::make_unique<DngWriter>(out, width, height, facts);
}

std::unique_ptr<RowWriter> hdrRowWriter(std::ostream& out, int width, int height)
{
    return std::make_unique<HdrWriter>(out, width, height);
}

void rgbePixel(float r, float g, float b, uint8_t out[4])
{
    const float v = std::max(r, std::max(g, b));
    if (!(v > 1e-32f)) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    int e;
    const float m = std::frexp(v, &e) * 256.f / v;
    out[0] = uint8_t(std::max(0.f, r) * m);
    out[1] = uint8_t(std::max(0.f, g) * m);
    out[2] = uint8_t(std::max(0.f, b) * m);
    out[3] = uint8_t(e + 128);
}

std::string hdrHeader(int width, int height)
{
    return "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=1.0\n\n-Y " + std::to_string(height) + " +X "
        + std::to_string(width) + "\n";
}

void appendHdrRow(const uint8_t* line, int width, std::vector<uint8_t>& out)
{
    const bool rle = width >= 8 && width <= 0x7fff;
    if (!rle) {
        out.insert(out.end(), line, line + size_t(width) * 4);
        return;
    }
    out.push_back(2);
    out.push_back(2);
    out.push_back(uint8_t(width >> 8));
    out.push_back(uint8_t(width & 0xff));
    for (int c = 0; c < 4; ++c) {
        int x = 0;
        while (x < width) {
            // A run of at least four equal bytes is worth a run record.
            int run = 1;
            while (x + run < width && run < 127 && line[4 * size_t(x + run) + c] == line[4 * size_t(x) + c])
                ++run;
            if (run >= 4) {
                out.push_back(uint8_t(128 + run));
                out.push_back(line[4 * size_t(x) + c]);
                x += run;
                continue;
            }
            int lit = 0;
            while (x + lit < width && lit < 128) {
                int r = 1;
                while (x + lit + r < width && r < 4
                    && line[4 * size_t(x + lit + r) + c] == line[4 * size_t(x + lit) + c])
                    ++r;
                if (r >= 4)
                    break;
                ++lit;
            }
            out.push_back(uint8_t(lit));
            for (int i = 0; i < lit; ++i)
                out.push_back(line[4 * size_t(x + i) + c]);
            x += lit;
        }
    }
}

} // namespace CIAPI::exporter
