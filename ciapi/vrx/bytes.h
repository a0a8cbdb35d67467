#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace CIAPI::vrx {

// Little-endian writer into a growing buffer.
class ByteWriter
{
public:
    std::vector<std::uint8_t>& bytes() { return m_bytes; }
    std::vector<std::uint8_t> take() { return std::move(m_bytes); }

    void u8(std::uint8_t v) { m_bytes.push_back(v); }
    void u16(std::uint16_t v) { put(v, 2); }
    void u32(std::uint32_t v) { put(v, 4); }
    void u64(std::uint64_t v) { put(v, 8); }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void f32(float v)
    {
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        u32(u);
    }
    void raw(const void* data, std::size_t n)
    {
        const auto* p = static_cast<const std::uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), p, p + n);
    }
    void tag(const char* four) { raw(four, 4); }
    void pad(std::size_t alignment)
    {
        while (m_bytes.size() % alignment)
            m_bytes.push_back(0);
    }

private:
    void put(std::uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            m_bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t> m_bytes;
};

// Bounds-checked little-endian reader over a byte range; any read past the end throws
// std::runtime_error naming `what`.
class ByteReader
{
public:
    ByteReader(const std::uint8_t* data, std::size_t size, const char* what = "data")
        : m_data(data)
        , m_size(size)
        , m_what(what)
    { }

    std::size_t remaining() const { return m_size - m_pos; }
    std::size_t pos() const { return m_pos; }
    const std::uint8_t* here() const { return m_data + m_pos; }
    void skip(std::size_t n)
    {
        need(n);
        m_pos += n;
    }

    std::uint8_t u8()
    {
        need(1);
        return m_data[m_pos++];
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(get(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(get(4)); }
    std::uint64_t u64() { return get(8); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    float f32()
    {
        const std::uint32_t u = u32();
        float v;
        std::memcpy(&v, &u, 4);
        return v;
    }
    void raw(void* dst, std::size_t n)
    {
        need(n);
        std::memcpy(dst, m_data + m_pos, n);
        m_pos += n;
    }

private:
    void need(std::size_t n) const
    {
        if (n > m_size - m_pos)
            throw std::runtime_error(std::string("Truncated ") + m_what);
    }
    std::uint64_t get(int n)
    {
        need(static_cast<std::size_t>(n));
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= static_cast<std::uint64_t>(m_data[m_pos + i]) << (8 * i);
        m_pos += static_cast<std::size_t>(n);
        return v;
    }
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    const char* m_what;
};

} // namespace CIAPI::vrx
