#pragma once

#include <QPointer>

#include "reports/osm/job.h"
#include "reports/osm/step.h"

namespace osm {

// Where the route of one item (a report file, say) stands: every planned step with its
// done flag, and the job that runs it while it runs.
template <typename Key> class State
{
public:
    virtual ~State() = default;

    Key key() const { return m_key; }
    void setKey(const Key& key) { m_key = key; }
    virtual bool isNull() const = 0;

    // Plans a step (not done) unless it is planned already.
    void addStep(const Step& step) { route.emplace(step, false); }

    // Whether no step is left that begins with `prefix`; the empty prefix asks about the
    // whole route. A null state is never done.
    bool isRouteDone(const Step& prefix) const
    {
        if (isNull())
            return false;
        for (const auto& [step, done] : route) {
            if (done || step.size() < prefix.size())
                continue;
            if (std::equal(prefix.begin(), prefix.end(), step.begin()))
                return false;
        }
        return true;
    }

    // Closes a running step: its flag becomes `ok` and its job is deleted. False when the
    // step was not running.
    bool markStep(const Step& step, bool ok)
    {
        const auto it = jobs.find(step);
        if (it == jobs.end())
            return false;
        route[step] = ok;
        if (it->second)
            it->second->deleteLater();
        jobs.erase(it);
        return true;
    }

    // Cancels and drops every job (the state is being dropped).
    void dropJobs()
    {
        for (auto& [step, job] : jobs) {
            if (job) {
                job->cancel();
                job->deleteLater();
            }
        }
        jobs.clear();
    }

    StepMap<QPointer<Job>> jobs;
    StepMap<bool> route;

private:
    Key m_key;
};

} // namespace osm
