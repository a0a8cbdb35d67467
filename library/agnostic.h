#pragma once

#include "engine/iresolver.h"

// The resolver of a gallery model that was given none: it knows no roles and no values.
class Agnostic : public IResolver
{
    Q_OBJECT
public:
    explicit Agnostic(QObject* parent = nullptr);

    const QHash<int, QByteArray>& roleNames() const override;
    QMap<int, QVariant> rowFor(QUrl location) override;

private:
    QHash<int, QByteArray> m_roleNames;
};
