#pragma once

#include <QVariantList>

#include <algorithm>
#include <map>

#include "core/variantless.h"

namespace osm {

// One step of a route: [backendKey, stepName, offset, length], [backendKey, stepName]
// or [backendKey].
using Step = QVariantList;

// Item by item, each item in VariantLess order, a shorter list before its extensions.
struct StepLess
{
    bool operator()(const Step& a, const Step& b) const
    {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), VariantLess());
    }
};

template <typename T> using StepMap = std::map<Step, T, StepLess>;

} // namespace osm
