#pragma once

#include "engine/streampart.h"

#include <istream>
#include <memory>
#include <streambuf>
#include <utility>
#include <vector>

// One input stream read back to back over several parts: the raw file (mapped, or
// through a file stream when it cannot be mapped) followed by calibration records.
// It keeps its parts and buffers alive; the stream handed to the engine keeps it alive.
class MultiMemStream
{
public:
    MultiMemStream() = default;
    MultiMemStream(const MultiMemStream&) = delete;
    MultiMemStream& operator=(const MultiMemStream&) = delete;

    // Appends a mapped region of `part` (kept alive here when given).
    void addRegion(const uchar* data, qint64 length, std::shared_ptr<StreamPart> part = {});
    // Appends a stream read in place of a region.
    void addStream(std::shared_ptr<std::istream> stream);

    // Joins the parts into one stream read from the start. The returned stream keeps
    // this object alive. Streams opened on one object must not be read at once.
    static std::shared_ptr<std::istream> open(const std::shared_ptr<MultiMemStream>& self);

    const std::vector<std::pair<const uchar*, qint64>>& regions() const { return m_regions; }
    const std::vector<std::shared_ptr<StreamPart>>& parts() const { return m_parts; }

private:
    std::vector<std::shared_ptr<StreamPart>> m_parts;
    std::vector<std::pair<const uchar*, qint64>> m_regions;
    std::vector<std::shared_ptr<std::streambuf>> m_memStreams;
    std::vector<std::shared_ptr<std::istream>> m_streams;
};
