#include "ciapi/vrx/crc32.h"

#include <zlib.h>

namespace CIAPI::vrx {

std::uint32_t crc32(const void* data, std::size_t length, std::uint32_t crc)
{
    const auto* p = static_cast<const Bytef*>(data);
    uLong c = crc;
    while (length > 0) {
        const uInt n = length > (1u << 30) ? (1u << 30) : static_cast<uInt>(length);
        c = ::crc32(c, p, n);
        p += n;
        length -= n;
    }
    return static_cast<std::uint32_t>(c);
}

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength)
{
    return static_cast<std::uint32_t>(::crc32_combine64(first, second, static_cast<z_off64_t>(secondLength)));
}

} // namespace CIAPI::vrx
