#include "engine/imagenumberproperty.h"

ImageNumberProperty::ImageNumberProperty(
    const QString& name, int parameter, const QVariant& min, const QVariant& max, QObject* parent)
    : ImageProperty(name, parameter, parent)
    , m_min(min)
    , m_max(max)
{ }

std::shared_ptr<ImageNumberProperty> ImageNumberProperty::clone(bool withValues) const
{
    auto copy = std::make_shared<ImageNumberProperty>(name(), parameter(), m_min, m_max);
    if (withValues) {
        copy->setOriginalValue(originalValue());
        copy->setCurrentValue(currentValue());
    }
    return copy;
}
