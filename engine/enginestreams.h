#pragma once

#include "engine/multimemstream.h"
#include "engine/streampart.h"

#include <QHash>
#include <QString>

#include <filesystem>
#include <fstream>
#include <memory>

namespace CIAPI {
class PropertyAccessor;
class RendererBase;
} // namespace CIAPI

// Key of the hot-pixel record among a camera's calibration parts.
constexpr int kHotPixelResource = 0;

// Makes `source` the renderer's input: by pointer when it maps, through a file stream
// when it does not, and followed by the camera's hot-pixel record when `calibration`
// holds one that maps (one that does not is skipped). Returns the joined stream's owner
// when calibration was appended, else null; the stream given to the engine keeps it
// alive by itself. Engine errors for unreadable files propagate.
std::shared_ptr<MultiMemStream> readRawProperties(StreamPart& source, CIAPI::RendererBase& renderer,
    const QHash<int, std::shared_ptr<StreamPart>>& calibration);

// Hands the part's file to a property accessor through a file stream.
void attachInputStream(StreamPart& part, CIAPI::PropertyAccessor& accessor);

// A file stream over the part's bytes: the whole file for a whole-file part, else a
// stream limited to the range.
std::shared_ptr<std::istream> openPartStream(const StreamPart& part);

// A binary input stream on the file at `path` when it is a regular file; for anything else
// (a pipe, whose opening would wait for a writer, or a device) a stream that failed to open.
std::shared_ptr<std::ifstream> openFileStream(const QString& path);

// The path as the engine's and the standard library's file functions take it.
std::filesystem::path toEnginePath(const QString& path);
