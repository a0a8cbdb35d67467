#pragma once

#include <QHash>
#include <QString>

#include "pipeline/interfaces/recipe.h"

// One channel of one source, taken from a recipe: the router keeps per-channel state
// (transfers under way, block marks) under it.
struct IOChannel
{
    QString provider;
    QString ioChannel;

    IOChannel() = default;
    IOChannel(QString provider, QString ioChannel)
        : provider(std::move(provider))
        , ioChannel(std::move(ioChannel))
    { }
    explicit IOChannel(const Recipe& recipe)
        : provider(recipe.provider)
        , ioChannel(recipe.ioChannel)
    { }
};

inline bool operator==(const IOChannel& a, const IOChannel& b)
{
    return a.provider == b.provider && a.ioChannel == b.ioChannel;
}

inline bool operator!=(const IOChannel& a, const IOChannel& b)
{
    return !(a == b);
}

inline uint qHash(const IOChannel& c, uint seed = 0)
{
    const uint p = qHash(c.provider);
    return ((p << 16) | (p >> 16)) ^ qHash(c.ioChannel) ^ seed;
}
