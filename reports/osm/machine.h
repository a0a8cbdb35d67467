#pragma once

#include <QList>
#include <QUrl>

namespace osm {

// Drives states along their routes.
template <typename S> class Machine
{
public:
    virtual ~Machine() = default;
    // Plans the route of a new state, then rethinks it.
    virtual void advance(S& state) = 0;
    // Starts every step that may start now, or announces a finished route.
    virtual void rethink(S& state) = 0;

    // The state under `key`, or null.
    virtual S* findState(const QUrl& key) = 0;
    virtual QList<QUrl> stateKeys() const = 0;
};

} // namespace osm
