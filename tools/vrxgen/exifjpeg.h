#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vrxgen {

// What a camera preview carries in its EXIF block.
struct ExifFacts
{
    int width = 0;
    int height = 0;
    int orientation = 1; // EXIF orientation 1..8
    std::string description; // tag 0x010E: the picture UUID as four hex words "w0-w1-w2-w3"
    std::string uniqueId; // tag 0xA420: 32 hex digits
    std::string dateTime; // "YYYY:MM:DD HH:MM:SS"
    bool bigEndian = false; // "MM" instead of "II"
};

// Inserts an APP1 EXIF segment (IFD0 and an Exif IFD) right after the JPEG's SOI marker.
std::vector<std::uint8_t> withExif(const std::vector<std::uint8_t>& jpeg, const ExifFacts& facts);

// EXIF orientation for an engine orientation code.
int exifOrientationFor(int code);

} // namespace vrxgen
