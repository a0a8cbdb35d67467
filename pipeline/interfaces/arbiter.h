#pragma once

#include <QtGlobal>

// The user's policy for a target that already exists, stored as one 16-bit value: the
// low byte says skip, the high byte overwrite (each 0 or 1).
struct Arbiter
{
    quint8 skip = 0;
    quint8 overwrite = 0;

    Arbiter() = default;
    Arbiter(bool skip, bool overwrite)
        : skip(skip ? 1 : 0)
        , overwrite(overwrite ? 1 : 0)
    { }

    quint16 value() const { return quint16(skip | (overwrite << 8)); }
    static Arbiter fromValue(quint16 value) { return Arbiter((value & 0xff) != 0, (value >> 8) != 0); }
};

inline bool operator==(Arbiter a, Arbiter b)
{
    return a.value() == b.value();
}

inline bool operator!=(Arbiter a, Arbiter b)
{
    return !(a == b);
}
