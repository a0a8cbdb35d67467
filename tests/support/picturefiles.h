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
};

} // namespace ostra::test
