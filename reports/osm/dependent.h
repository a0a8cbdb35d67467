#pragma once

namespace osm {

// A back-end's links to its master: the machine that owns the states and the
// services (network, progress) it hands out.
template <typename N> class Dependent
{
public:
    virtual ~Dependent() = default;
    typename N::MachineType* machine = nullptr;
    N* networker = nullptr;
};

} // namespace osm
