#pragma once

#include <QObject>
#include <QPointer>
#include <QVariant>

#include <map>

#include "core/variantless.h"

class NetworkBackend;

namespace osm {

// A participant of the route machine. Only the master's table of back-ends is used.
class Backend : public QObject
{
    Q_OBJECT
public:
    explicit Backend(QObject* parent = nullptr);

protected:
    std::map<QVariant, QPointer<NetworkBackend>, VariantLess> m_backends;
};

} // namespace osm
