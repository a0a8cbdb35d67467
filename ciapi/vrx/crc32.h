#pragma once

#include <cstddef>
#include <cstdint>

namespace CIAPI::vrx {

// CRC-32 (ISO 3309 / zlib polynomial), continuing from `crc` (0 to start).
std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc = 0);

} // namespace CIAPI::vrx
