#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// A small, deterministic mutator for the inputs Ostra takes from outside. Every mutation
// that lands inside a checksummed structure (a VRX chunk, its header or table of contents,
// a state segment, a calibration record) recomputes that checksum, so the damage reaches
// the parser behind it instead of stopping at the checksum.
namespace hostilefuzz {

using Bytes = std::vector<std::uint8_t>;

class Mutator
{
public:
    explicit Mutator(std::uint32_t seed)
        : m_rng(seed)
    { }

    std::uint32_t below(std::uint32_t n)
    {
        return n ? std::uniform_int_distribution<std::uint32_t>(0, n - 1)(m_rng) : 0;
    }
    bool chance(int percent) { return int(below(100)) < percent; }

    // One of the values that break parsers: zero, signs, the ends of every width, powers of
    // two near them, not-a-number and infinities (as floats), in 1, 2, 4 or 8 bytes.
    void interesting(Bytes& b, std::size_t at);
    // Flips 1 to 4 bits, sets a byte, or writes an interesting value, within [from, to).
    void damage(Bytes& b, std::size_t from, std::size_t to);
    // Cuts the bytes short, lengthens them with a run, duplicates or removes a slice.
    void reshape(Bytes& b);

    // Structure-aware mutations; each returns a short description of what it did.
    std::string vrx(Bytes& b); // a VRX container (with any appendix)
    std::string state(Bytes& b); // a ".vrxs" state stream
    std::string jpeg(Bytes& b); // a JPEG with an EXIF block
    std::string json(Bytes& b); // a JSON document

private:
    std::mt19937 m_rng;
};

// Rewrites the CRC-32 fields of a VRX container and of a calibration record after it, so
// that each covers its bytes as they are now.
void fixVrxChecksums(Bytes& b);
// The same for every segment of a state stream that still parses as one.
void fixStateChecksums(Bytes& b);

} // namespace hostilefuzz
