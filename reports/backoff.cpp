#include "reports/backoff.h"

#include <QJSValue>

Backoff Backoff::fromMap(const QVariantMap& map)
{
    Backoff backoff;
    backoff.stepMs = map.value(QStringLiteral("stepMs"), backoff.stepMs).toInt();
    backoff.factor = map.value(QStringLiteral("factor"), backoff.factor).toInt();
    backoff.ceilMs = map.value(QStringLiteral("ceilMs"), backoff.ceilMs).toInt();
    return backoff;
}

Backoff Backoff::fromJs(const QJSValue& value)
{
    return fromMap(value.toVariant().toMap());
}
