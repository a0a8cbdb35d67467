#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace ostra::test {

// A D-Bus daemon of the test's own, standing in for the system bus; services that a
// test plays (a login manager, a power daemon) register on it.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon; false (with a reason) when it cannot run here.
    bool start(QString* why);
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};

} // namespace ostra::test
