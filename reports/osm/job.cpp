#include "reports/osm/job.h"

namespace osm {

Job::Job(QObject* parent)
    : QObject(parent)
{ }

void Job::cancel() { }

} // namespace osm
