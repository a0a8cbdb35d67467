#include "engine/multimemstream.h"

#include "ciapi/stream.h"

namespace {
// An istream that owns its buffer's owner.
std::shared_ptr<std::istream> streamOver(std::streambuf* buffer, std::shared_ptr<void> owner)
{
    return std::shared_ptr<std::istream>(new std::istream(buffer), [owner](std::istream* s) { delete s; });
}
} // namespace

void MultiMemStream::addRegion(const uchar* data, qint64 length, std::shared_ptr<StreamPart> part)
{
    if (part)
        m_parts.push_back(std::move(part));
    m_regions.emplace_back(data, length);
    std::shared_ptr<std::streambuf> buffer = CIAPI::CreateMemStream(data, std::size_t(length));
    m_memStreams.push_back(buffer);
    m_streams.push_back(streamOver(buffer.get(), buffer));
}

void MultiMemStream::addStream(std::shared_ptr<std::istream> stream)
{
    m_streams.push_back(std::move(stream));
}

std::shared_ptr<std::istream> MultiMemStream::open(const std::shared_ptr<MultiMemStream>& self)
{
    // Each opened stream has a joining buffer of its own; the parts' streams are read
    // from their start by each.
    for (const auto& part : self->m_streams) {
        if (part) {
            part->clear();
            part->seekg(0);
        }
    }
    std::shared_ptr<std::streambuf> multi = CIAPI::CreateMultiStream(self->m_streams);
    std::streambuf* buffer = multi.get();
    return streamOver(buffer,
        std::make_shared<std::pair<std::shared_ptr<MultiMemStream>, std::shared_ptr<std::streambuf>>>(
            self, multi));
}
