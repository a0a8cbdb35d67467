#include "ciapi/bytesource.h"

#include "ciapi/streambuffers.h"

#include <cstring>
#include <mutex>
#include <stdexcept>

namespace CIAPI {

namespace {

void checkRange(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    if (offset > size || length > size - offset)
        throw std::runtime_error("Read beyond the end of the input");
}

class MemorySource : public ByteSource
{
public:
    MemorySource(const std::uint8_t* data, std::size_t length, std::shared_ptr<void> keep)
        : m_data(data)
        , m_length(data ? length : 0)
        , m_keep(std::move(keep))
    { }
    std::uint64_t size() const override { return m_length; }
    void read(std::uint64_t offset, void* dst, std::size_t length) const override
    {
        checkRange(offset, length, m_length);
        if (length)
            std::memcpy(dst, m_data + offset, length);
    }
    const std::uint8_t* view(std::uint64_t offset, std::size_t length) const override
    {
        checkRange(offset, length, m_length);
        return m_data + offset;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_length;
    std::shared_ptr<void> m_keep;
};

class OwnedSource : public ByteSource
{
public:
    explicit OwnedSource(std::vector<std::uint8_t> bytes)
        : m_bytes(std::move(bytes))
    { }
    std::uint64_t size() const override { return m_bytes.size(); }
    void read(std::uint64_t offset, void* dst, std::size_t length) const override
    {
        checkRange(offset, length, m_bytes.size());
        if (length)
            std::memcpy(dst, m_bytes.data() + offset, length);
    }
    const std::uint8_t* view(std::uint64_t offset, std::size_t length) const override
    {
        checkRange(offset, length, m_bytes.size());
        return m_bytes.data() + offset;
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Back-to-back memory regions (a multi stream over memory streams).
class PiecewiseSource : public ByteSource
{
public:
    struct Piece
    {
        const std::uint8_t* data;
        std::uint64_t start;
        std::uint64_t length;
    };
    PiecewiseSource(std::vector<Piece> pieces, std::uint64_t total, std::shared_ptr<void> keep)
        : m_pieces(std::move(pieces))
        , m_total(total)
        , m_keep(std::move(keep))
    { }
    std::uint64_t size() const override { return m_total; }
    void read(std::uint64_t offset, void* dst, std::size_t length) const override
    {
        checkRange(offset, length, m_total);
        auto* out = static_cast<std::uint8_t*>(dst);
        for (const Piece& p : m_pieces) {
            if (!length)
                break;
            if (offset >= p.start + p.length || offset < p.start)
                continue;
            const std::uint64_t in = offset - p.start;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, p.length - in));
            std::memcpy(out, p.data + in, n);
            out += n;
            offset += n;
            length -= n;
        }
    }
    const std::uint8_t* view(std::uint64_t offset, std::size_t length) const override
    {
        checkRange(offset, length, m_total);
        for (const Piece& p : m_pieces) {
            if (offset >= p.start && offset - p.start + length <= p.length && offset < p.start + p.length)
                return p.data + (offset - p.start);
        }
        return nullptr;
    }

private:
    std::vector<Piece> m_pieces;
    std::uint64_t m_total;
    std::shared_ptr<void> m_keep;
};

class StreamSource : public ByteSource
{
public:
    StreamSource(std::istream* stream, std::shared_ptr<std::istream> keep)
        : m_stream(stream)
        , m_keep(std::move(keep))
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stream->clear();
        m_stream->seekg(0, std::ios_base::end);
        const std::streamoff end = m_stream->tellg();
        m_size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
        m_stream->clear();
        m_stream->seekg(0, std::ios_base::beg);
    }
    std::uint64_t size() const override { return m_size; }
    void read(std::uint64_t offset, void* dst, std::size_t length) const override
    {
        checkRange(offset, length, m_size);
        if (!length)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stream->clear();
        m_stream->seekg(static_cast<std::streamoff>(offset), std::ios_base::beg);
        m_stream->read(static_cast<char*>(dst), static_cast<std::streamsize>(length));
        if (static_cast<std::size_t>(m_stream->gcount()) != length) {
            m_stream->clear();
            throw std::runtime_error("Input stream ended early");
        }
    }
    const std::uint8_t* view(std::uint64_t offset, std::size_t length) const override
    {
        checkRange(offset, length, m_size);
        return nullptr;
    }

private:
    mutable std::mutex m_mutex;
    std::istream* m_stream;
    std::shared_ptr<std::istream> m_keep;
    std::uint64_t m_size = 0;
};

class SliceSource : public ByteSource
{
public:
    SliceSource(std::shared_ptr<const ByteSource> base, std::uint64_t offset, std::uint64_t length)
        : m_base(std::move(base))
        , m_offset(offset)
        , m_length(length)
    {
        checkRange(offset, length, m_base->size());
    }
    std::uint64_t size() const override { return m_length; }
    void read(std::uint64_t offset, void* dst, std::size_t length) const override
    {
        checkRange(offset, length, m_length);
        m_base->read(m_offset + offset, dst, length);
    }
    const std::uint8_t* view(std::uint64_t offset, std::size_t length) const override
    {
        checkRange(offset, length, m_length);
        return m_base->view(m_offset + offset, length);
    }

private:
    std::shared_ptr<const ByteSource> m_base;
    std::uint64_t m_offset;
    std::uint64_t m_length;
};

std::shared_ptr<ByteSource> inPlace(std::istream& stream, const std::shared_ptr<std::istream>& keep)
{
    std::streambuf* buf = stream.rdbuf();
    if (auto* mem = dynamic_cast<MemStreamBuf*>(buf))
        return std::make_shared<MemorySource>(mem->begin(), mem->length(), keep);
    if (auto* multi = dynamic_cast<MultiStreamBuf*>(buf)) {
        std::vector<PiecewiseSource::Piece> pieces;
        for (const auto& part : multi->parts()) {
            if (part.length == 0)
                continue;
            auto* partMem = part.stream ? dynamic_cast<MemStreamBuf*>(part.stream->rdbuf()) : nullptr;
            if (!partMem || partMem->length() != part.length)
                return nullptr;
            pieces.push_back({ partMem->begin(), part.start, part.length });
        }
        return std::make_shared<PiecewiseSource>(std::move(pieces), multi->length(), keep);
    }
    return nullptr;
}

} // namespace

std::vector<std::uint8_t> ByteSource::bytes(std::uint64_t offset, std::size_t length) const
{
    std::vector<std::uint8_t> out;
    if (const std::uint8_t* p = view(offset, length)) {
        out.assign(p, p + length);
        return out;
    }
    out.resize(length);
    read(offset, out.data(), length);
    return out;
}

std::shared_ptr<ByteSource> ByteSource::fromMemory(const void* data, std::size_t length)
{
    return std::make_shared<MemorySource>(static_cast<const std::uint8_t*>(data), length, nullptr);
}

std::shared_ptr<ByteSource> ByteSource::fromBytes(std::vector<std::uint8_t> bytes)
{
    return std::make_shared<OwnedSource>(std::move(bytes));
}

std::shared_ptr<ByteSource> ByteSource::fromStream(std::shared_ptr<std::istream> stream)
{
    if (!stream)
        return fromBytes({});
    if (auto source = inPlace(*stream, stream))
        return source;
    return std::make_shared<StreamSource>(stream.get(), stream);
}

std::shared_ptr<ByteSource> ByteSource::fromStreamRef(std::istream& stream)
{
    if (auto source = inPlace(stream, nullptr))
        return source;
    return std::make_shared<StreamSource>(&stream, nullptr);
}

std::shared_ptr<ByteSource> ByteSource::slice(
    std::shared_ptr<const ByteSource> base, std::uint64_t offset, std::uint64_t length)
{
    return std::make_shared<SliceSource>(std::move(base), offset, length);
}

} // namespace CIAPI
