#include "ciapi/stream.h"

#include "ciapi/streambuffers.h"

#include <algorithm>
#include <cstring>

namespace CIAPI {

MemStreamBuf::MemStreamBuf(const void* data, std::size_t length)
    : m_begin(static_cast<const std::uint8_t*>(data))
    , m_length(data ? length : 0)
{
    char* b = const_cast<char*>(reinterpret_cast<const char*>(m_begin));
    setg(b, b, b + m_length);
}

MemStreamBuf::pos_type MemStreamBuf::seekoff(
    off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which)
{
    if (!(which & std::ios_base::in))
        return pos_type(off_type(-1));
    off_type base = 0;
    if (dir == std::ios_base::cur)
        base = gptr() - eback();
    else if (dir == std::ios_base::end)
        base = static_cast<off_type>(m_length);
    const off_type target = base + off;
    if (target < 0 || target > static_cast<off_type>(m_length))
        return pos_type(off_type(-1));
    setg(eback(), eback() + target, egptr());
    return pos_type(target);
}

MemStreamBuf::pos_type MemStreamBuf::seekpos(pos_type pos, std::ios_base::openmode which)
{
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

std::streamsize MemStreamBuf::xsgetn(char_type* s, std::streamsize n)
{
    const std::streamsize available = egptr() - gptr();
    const std::streamsize count = std::min(n, available);
    if (count > 0) {
        std::memcpy(s, gptr(), static_cast<std::size_t>(count));
        gbump(static_cast<int>(count));
    }
    return count;
}

std::streamsize MemStreamBuf::showmanyc()
{
    const std::streamsize available = egptr() - gptr();
    return available > 0 ? available : -1;
}

MultiStreamBuf::MultiStreamBuf(const std::vector<std::shared_ptr<std::istream>>& streams)
    : m_buffer(64 * 1024)
{
    for (const auto& s : streams) {
        Part part;
        part.stream = s;
        part.start = m_total;
        if (s && *s) {
            s->clear();
            s->seekg(0, std::ios_base::end);
            const std::streamoff end = s->tellg();
            if (end > 0)
                part.length = static_cast<std::uint64_t>(end);
            s->clear();
            s->seekg(0, std::ios_base::beg);
        }
        m_total += part.length;
        m_parts.push_back(part);
    }
    setg(m_buffer.data(), m_buffer.data(), m_buffer.data());
}

std::uint64_t MultiStreamBuf::position() const
{
    return m_bufferStart + static_cast<std::uint64_t>(gptr() - eback());
}

MultiStreamBuf::int_type MultiStreamBuf::underflow()
{
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    const std::uint64_t pos = position();
    if (pos >= m_total)
        return traits_type::eof();
    // Find the part that holds pos and fill the buffer from it.
    for (const Part& part : m_parts) {
        if (pos < part.start || pos >= part.start + part.length)
            continue;
        const std::uint64_t inPart = pos - part.start;
        const std::size_t want
            = static_cast<std::size_t>(std::min<std::uint64_t>(m_buffer.size(), part.length - inPart));
        part.stream->clear();
        part.stream->seekg(static_cast<std::streamoff>(inPart), std::ios_base::beg);
        part.stream->read(m_buffer.data(), static_cast<std::streamsize>(want));
        const std::streamsize got = part.stream->gcount();
        if (got <= 0)
            return traits_type::eof();
        m_bufferStart = pos;
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + got);
        return traits_type::to_int_type(*gptr());
    }
    return traits_type::eof();
}

MultiStreamBuf::pos_type MultiStreamBuf::seekoff(
    off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which)
{
    if (!(which & std::ios_base::in))
        return pos_type(off_type(-1));
    off_type base = 0;
    if (dir == std::ios_base::cur)
        base = static_cast<off_type>(position());
    else if (dir == std::ios_base::end)
        base = static_cast<off_type>(m_total);
    const off_type target = base + off;
    if (target < 0 || static_cast<std::uint64_t>(target) > m_total)
        return pos_type(off_type(-1));
    const std::uint64_t t = static_cast<std::uint64_t>(target);
    if (t >= m_bufferStart && t <= m_bufferStart + static_cast<std::uint64_t>(egptr() - eback())) {
        setg(eback(), eback() + (t - m_bufferStart), egptr());
    } else {
        m_bufferStart = t;
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data());
    }
    return pos_type(target);
}

MultiStreamBuf::pos_type MultiStreamBuf::seekpos(pos_type pos, std::ios_base::openmode which)
{
    return seekoff(off_type(pos), std::ios_base::beg, which);
}

std::streamsize MultiStreamBuf::showmanyc()
{
    const std::uint64_t pos = position();
    return pos < m_total ? static_cast<std::streamsize>(m_total - pos) : -1;
}

std::shared_ptr<std::streambuf> CreateMemStream(const void* data, std::size_t length)
{
    return std::make_shared<MemStreamBuf>(data, length);
}

std::shared_ptr<std::streambuf> CreateMultiStream(const std::vector<std::shared_ptr<std::istream>>& streams)
{
    return std::make_shared<MultiStreamBuf>(streams);
}

} // namespace CIAPI
