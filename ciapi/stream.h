#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <streambuf>
#include <vector>

namespace CIAPI {

// A read-only, seekable stream buffer over caller memory. Nothing is copied: the memory
// must outlive the buffer. A null pointer gives an empty stream.
std::shared_ptr<std::streambuf> CreateMemStream(const void* data, std::size_t length);

// A read-only stream buffer that reads the given streams back to back as one stream,
// seekable across the parts. Each part's length is taken when the buffer is made (by
// seeking the part to its end); the buffer keeps the streams alive. A null or failing
// part counts as empty.
std::shared_ptr<std::streambuf> CreateMultiStream(const std::vector<std::shared_ptr<std::istream>>& streams);

} // namespace CIAPI
