#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A source of the application's crash events, each an XML document whose
// Event/System/TimeCreated element carries the crash's time as its SystemTime
// attribute (ISO 8601, milliseconds), newest first.
class ICrashEvents
{
public:
    virtual ~ICrashEvents() = default;
    // False, with `error` set, when the events cannot be read; `events` then holds
    // whatever was read before the failure.
    virtual bool query(const QString& executableName, QList<QByteArray>& events, QString& error) = 0;
};
