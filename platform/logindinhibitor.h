#pragma once

#include <QDBusConnection>
#include <QMutex>

#include "platform/isleepinhibitor.h"

// A sleep lock from systemd-logind ("Inhibit" on org.freedesktop.login1): logind hands
// out a file descriptor and keeps the lock while it stays open. Without a system bus
// (as in containers and CI) one log line says so and nothing else happens.
class LogindInhibitor : public ISleepInhibitor
{
public:
    LogindInhibitor();
    explicit LogindInhibitor(const QDBusConnection& bus);
    ~LogindInhibitor() override;

    bool inhibit(const QString& why) override;
    void release() override;

    bool holding() const;

private:
    QDBusConnection m_bus;
    mutable QMutex m_mutex;
    int m_fd = -1;
    bool m_warned = false;
};
