#pragma once

#include <cstddef>
#include <cstdint>

namespace CIAPI::vrx {

// CRC-32 (ISO 3309 / zlib polynomial), continuing from `crc` (0 to start).
std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc = 0);
// The CRC of two byte runs one after the other, from the CRC of each and the second's length.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength);

} // namespace CIAPI::vrx
