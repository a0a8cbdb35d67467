#include "reports/osm/backend.h"

namespace osm {

Backend::Backend(QObject* parent)
    : QObject(parent)
{ }

} // namespace osm
