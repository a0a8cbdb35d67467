#pragma once

#include "tools/vrxgen/generator.h"

#include <QString>

namespace ostra::test {

// Small generated pictures written into a test folder.
struct PictureFiles
{
    // Options for a small, quick picture.
    static vrxgen::PictureOptions small(std::uint32_t seed = 1);
    // Writes the picture as folder/name and returns the path (empty on failure).
    static QString write(const QString& folder, const QString& name, const vrxgen::Picture& picture);
    static QString write(const QString& folder, const QString& name, const vrxgen::PictureOptions& options);
    // Writes a state file that names the picture and holds a rating and a thumbnail of
    // one colour (saved as the service saves thumbnails, so close to it, not exact).
    static bool writeFlatThumbnailState(const QString& statePath, const CIAPI::vrx::UuidWords& image,
        int width, int height, std::uint8_t red, std::uint8_t green, std::uint8_t blue, int rating);
};

} // namespace ostra::test
