#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <vector>

namespace CIAPI {

// The stream buffers behind CreateMemStream and CreateMultiStream, visible to the engine
// so that it can read their bytes in place.
class MemStreamBuf : public std::streambuf
{
public:
    MemStreamBuf(const void* data, std::size_t length);
    const std::uint8_t* begin() const { return m_begin; }
    std::size_t length() const { return m_length; }

protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;

private:
    const std::uint8_t* m_begin;
    std::size_t m_length;
};

class MultiStreamBuf : public std::streambuf
{
public:
    explicit MultiStreamBuf(const std::vector<std::shared_ptr<std::istream>>& streams);

    struct Part
    {
        std::shared_ptr<std::istream> stream;
        std::uint64_t start = 0;
        std::uint64_t length = 0;
    };
    const std::vector<Part>& parts() const { return m_parts; }
    std::uint64_t length() const { return m_total; }

protected:
    int_type underflow() override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
    std::streamsize showmanyc() override;

private:
    std::uint64_t position() const;
    std::vector<Part> m_parts;
    std::uint64_t m_total = 0;
    std::uint64_t m_bufferStart = 0; // stream position of eback()
    std::vector<char> m_buffer;
};

} // namespace CIAPI
