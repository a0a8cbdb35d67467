#include "engine/sentinels.h"

namespace {
// Made on first use (the first use is on the GUI thread before any worker starts;
// function-local statics are thread-safe besides) and kept to the end of the process.
struct Sentinels
{
    CIAPI::ImagePyramid empty = CIAPI::ImagePyramid::Create(0);
    CIAPI::ImagePyramid loading = CIAPI::ImagePyramid::Create(0);
    CIAPI::ImagePyramid invalid = CIAPI::ImagePyramid::Create(0);
    CIAPI::ImagePyramid reserved = CIAPI::ImagePyramid::Create(0);
};

const Sentinels& sentinels()
{
    static const Sentinels s;
    return s;
}
} // namespace

const CIAPI::ImagePyramid& emptyPyramid()
{
    return sentinels().empty;
}

const CIAPI::ImagePyramid& loadingPyramid()
{
    return sentinels().loading;
}

const CIAPI::ImagePyramid& invalidPyramid()
{
    return sentinels().invalid;
}

const CIAPI::ImagePyramid& reservedPyramid()
{
    return sentinels().reserved;
}

bool isSentinel(const CIAPI::ImagePyramid& pyramid)
{
    const Sentinels& s = sentinels();
    return pyramid == s.empty || pyramid == s.loading || pyramid == s.invalid || pyramid == s.reserved;
}
