#pragma once

#include <QMetaType>
#include <QVariantMap>

class QJSValue;

// How long a network back-end waits before it tries again after a "429 Too Many
// Requests": the wait grows as factor * previous + stepMs, up to ceilMs.
class Backoff
{
    Q_GADGET
    Q_PROPERTY(int stepMs MEMBER stepMs)
    Q_PROPERTY(int factor MEMBER factor)
    Q_PROPERTY(int ceilMs MEMBER ceilMs)
public:
    int stepMs = 1000;
    int factor = 2;
    int ceilMs = 300000;

    bool operator==(const Backoff& other) const
    {
        return stepMs == other.stepMs && factor == other.factor && ceilMs == other.ceilMs;
    }
    bool operator!=(const Backoff& other) const { return !(*this == other); }

    // From a QML object such as {stepMs: 10, factor: 2, ceilMs: 100}; missing keys keep their default.
    static Backoff fromMap(const QVariantMap& map);
    static Backoff fromJs(const QJSValue& value);
};

Q_DECLARE_METATYPE(Backoff)
