#pragma once

#include <istream>
#include <memory>
#include <ostream>

namespace qzCompress {

enum CompressionStatus : int {
    CompressionSuccess = 0,
    CompressionBadInput = 1,
    CompressionAlreadyCompressed = 2,
};

// Rewrites every raw frame of a VRX file losslessly (neighbour delta + zstd), copies the
// other chunks and sets the compressed flag. The output is written from position 0 and
// its put position is left at the end of what was written.
//   level: zstd level 1..22; larger values are read as a percentage of the strongest
//          practical level (98 -> 8); 0 or less is the default (3).
//   threads: worker threads, 0 = as many as the machine has (at most 8).
//   verify: non-zero decodes every compressed frame again and compares it before writing.
// Returns CompressionBadInput for input that is not a readable VRX file,
// CompressionAlreadyCompressed when it is already compressed (nothing written), and
// CompressionSuccess otherwise. Failing to write the output throws std::runtime_error.
CompressionStatus CompressVRX(std::shared_ptr<std::istream> input, std::shared_ptr<std::ostream> output,
    int level, int threads, int verify);

} // namespace qzCompress
