#pragma once

#include <QVariantList>

#include "reports/osm/step.h"

namespace osm {

class Job;

// What a back-end contributes to a route: the steps it plans, whether a step may start
// now, and the job that runs it.
template <typename S> class LaborDivision
{
public:
    virtual ~LaborDivision() = default;
    // Adds this back-end's steps to the state and returns the keys of the back-ends it
    // depends on.
    virtual QVariantList planRoute(S& state)
    {
        Q_UNUSED(state)
        return {};
    }
    virtual bool accept(S& state, const Step& step)
    {
        Q_UNUSED(state)
        Q_UNUSED(step)
        return true;
    }
    // Starts the step; the job may be null when nothing was started.
    virtual Job* execute(S& state, const Step& step) = 0;
};

} // namespace osm
