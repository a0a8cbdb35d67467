#include "library/agnostic.h"

Agnostic::Agnostic(QObject* parent)
    : IResolver(parent)
{ }

const QHash<int, QByteArray>& Agnostic::roleNames() const
{
    return m_roleNames;
}

QMap<int, QVariant> Agnostic::rowFor(QUrl location)
{
    Q_UNUSED(location)
    return {};
}
