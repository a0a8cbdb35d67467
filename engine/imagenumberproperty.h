#pragma once

#include "engine/imageproperty.h"

#include <memory>

// A numeric image property with its bounds.
class ImageNumberProperty : public ImageProperty
{
    Q_OBJECT
    Q_PROPERTY(QVariant min READ min CONSTANT)
    Q_PROPERTY(QVariant max READ max CONSTANT)

public:
    ImageNumberProperty(const QString& name, int parameter, const QVariant& min, const QVariant& max,
        QObject* parent = nullptr);

    QVariant min() const { return m_min; }
    QVariant max() const { return m_max; }

    // A new property with the same name, parameter and bounds; with `withValues` it also
    // takes both values (through the writers, so with their change signals).
    std::shared_ptr<ImageNumberProperty> clone(bool withValues) const;

private:
    QVariant m_min;
    QVariant m_max;
};
