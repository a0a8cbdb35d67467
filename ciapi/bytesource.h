#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <vector>

namespace CIAPI {

// Random-access, bounds-checked read access to the engine's input, whatever form it was
// handed in (memory, our own memory and multi streams, or any std::istream).
// Thread-safe: renders read from several threads.
class ByteSource
{
public:
    virtual ~ByteSource() = default;

    virtual std::uint64_t size() const = 0;
    // Copies `length` bytes at `offset`; a range outside [0, size()) throws std::runtime_error.
    virtual void read(std::uint64_t offset, void* dst, std::size_t length) const = 0;
    // The bytes at [offset, offset + length) in place when they are contiguous in memory,
    // else null. A range outside the source throws std::runtime_error.
    virtual const std::uint8_t* view(std::uint64_t offset, std::size_t length) const = 0;

    // Reads a range into a new buffer (through view() when possible).
    std::vector<std::uint8_t> bytes(std::uint64_t offset, std::size_t length) const;

    // Over caller memory (not copied; must outlive the source).
    static std::shared_ptr<ByteSource> fromMemory(const void* data, std::size_t length);
    // Over owned bytes.
    static std::shared_ptr<ByteSource> fromBytes(std::vector<std::uint8_t> bytes);
    // Over a stream: memory and multi streams made by this engine are read in place; any
    // other stream is read through seekg/read under a mutex. The stream is kept alive.
    static std::shared_ptr<ByteSource> fromStream(std::shared_ptr<std::istream> stream);
    // Over a stream the caller keeps alive (used by readers that take std::istream&).
    static std::shared_ptr<ByteSource> fromStreamRef(std::istream& stream);
    // A window [offset, offset + length) of another source.
    static std::shared_ptr<ByteSource> slice(
        std::shared_ptr<const ByteSource> base, std::uint64_t offset, std::uint64_t length);
};

} // namespace CIAPI
