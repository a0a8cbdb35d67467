#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "ciapi/export/encoders.h"

namespace CIAPI::exporter {

// What a row writer takes per pixel.
enum class RowSamples {
    Rgb8, // 3 bytes
    Rgb16, // 3 native 16-bit words
    Rgbe, // 4 bytes, Radiance shared exponent (see rgbePixel)
};

size_t bytesPerPixel(RowSamples samples);

// Writes one image to a stream row by row, top row first, without holding the image: the
// encoders' output goes to the stream as it is made. The bytes are those of the whole-image
// encoders in encoders.h for the same pixels.
class RowWriter
{
public:
    virtual ~RowWriter() = default;
    virtual RowSamples samples() const = 0;
    // `count` packed rows (width * bytesPerPixel bytes each).
    virtual void write(const uint8_t* rows, int count) = 0;
    // After the last row; std::runtime_error when the stream failed.
    virtual void finish() = 0;
};

// JPEG through libjpeg's row interface, the EXIF block written in its place after SOI.
std::unique_ptr<RowWriter> jpegRowWriter(
    std::ostream& out, int width, int height, int quality, bool fullChroma, const ExifFacts& facts);
std::unique_ptr<RowWriter> ppmRowWriter(std::ostream& out, int width, int height);
// DNG straight into the stream when it can seek (the directory is linked at the end); into
// memory first when it cannot.
std::unique_ptr<RowWriter> dngRowWriter(std::ostream& out, int width, int height, const ExifFacts& facts);
std::unique_ptr<RowWriter> hdrRowWriter(std::ostream& out, int width, int height);

// One linear pixel as RGBE.
void rgbePixel(float r, float g, float b, uint8_t out[4]);
// Appends one RGBE row (`width` pixels) the way a Radiance file stores it: run-length coded
// where the width allows, else as it is.
void appendHdrRow(const uint8_t* rgbe, int width, std::vector<uint8_t>& out);
std::string hdrHeader(int width, int height);

} // namespace CIAPI::exporter
