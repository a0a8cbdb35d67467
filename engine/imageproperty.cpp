#include "engine/imageproperty.h"

ImageProperty::ImageProperty(QObject* parent)
    : QObject(parent)
{ }

ImageProperty::ImageProperty(const QString& name, int parameter, QObject* parent)
    : QObject(parent)
    , m_name(name)
    , m_parameter(parameter)
{ }

ImageProperty::ImageProperty(const QString& name, QObject* parent)
    : ImageProperty(name, 0, parent)
{ }

void ImageProperty::setOriginalValue(const QVariant& value)
{
    if (m_originalValue == value && m_originalValue.isValid() == value.isValid())
        return;
    m_originalValue = value;
    emit originalValueChanged();
}

void ImageProperty::setCurrentValue(const QVariant& value)
{
    if (m_currentValue == value && m_currentValue.isValid() == value.isValid())
        return;
    m_currentValue = value;
    emit currentValueChanged();
}
