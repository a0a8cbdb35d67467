#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vrxgen {

struct TreeOptions
{
    int pictures = 6;
    int videos = 2;
    int presets = 2;
    bool usb = false; // three volume folders (H, C, S) instead of one flat folder
    std::string serial = "0042"; // volume labels "Z40HD<serial>", "Z40CD<serial>", "Z40SD<serial>"
    std::string marker = "Z40CAM"; // marker folder on the picture volume
    std::uint32_t cameraSeed = 1;
    int moduleWidth = 128; // small fixtures by default
    int moduleHeight = 96;
    int hotPixelsPerModule = 4;
};

// What was written, for the tests that import it.
struct TreeInfo
{
    std::string pictureRoot; // where the pictures are
    std::vector<std::string> pictures; // base names ("IMG_0001")
    std::vector<std::string> imageUuids;
    std::vector<int> stars; // from metadata.xml (0 = none)
    std::string cameraUuid;
};

// Lays out a camera's files: per picture a preview "<name>.jpg" with EXIF (UUID in
// 0x010E and 0xA420, orientation; byte orders alternate), the raw "<name>.vrx" and for
// some a state "<name>.vrxs" (rating only, or with a thumbnail); "metadata.xml" with
// stars and video data; "hotpixel.rec"; presets "*.qpf"; videos "VID_*.mp4" with their
// "VID_*_thumbnail.jpg". Returns false when a file cannot be written.
bool makeCameraTree(const std::string& folder, const TreeOptions& options, TreeInfo* info = nullptr);

// The demo library: `count` full-size pictures (module 2080 x 1560, output 4160 x 3120 or
// larger) with a variety of orientations, aspects, compression and ratings.
bool makeDemoLibrary(const std::string& folder, int count = 30);

// Test variants beside a good picture: incompatible (unknown pattern, other major
// version), the incompatibility marker in the name, truncated, zero-length.
bool makeVariants(const std::string& folder);

} // namespace vrxgen
