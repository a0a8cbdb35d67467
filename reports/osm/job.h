#pragma once

#include <QObject>

namespace osm {

// Work under way for one step of a route. The machine deletes it once the step is
// marked; `cancel` stops what can be stopped before the machine drops it.
class Job : public QObject
{
    Q_OBJECT
public:
    explicit Job(QObject* parent = nullptr);
    virtual void cancel();
};

} // namespace osm
