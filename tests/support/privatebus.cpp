#include "support/privatebus.h"

#include <QStandardPaths>

namespace ostra::test {

PrivateBus::PrivateBus() = default;

PrivateBus::~PrivateBus()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(10000))
            m_daemon.kill();
        m_daemon.waitForFinished(10000);
    }
}

bool PrivateBus::start(QString* why)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty()) {
        *why = QStringLiteral("dbus-daemon is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        *why = QStringLiteral("no temporary folder");
        return false;
    }
    m_daemon.setProgram(program);
    m_daemon.setArguments({ QStringLiteral("--session"), QStringLiteral("--nofork"),
        QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1"),
        QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus")) });
    m_daemon.setProcessChannelMode(QProcess::SeparateChannels);
    m_daemon.start();
    if (!m_daemon.waitForStarted(10000)) {
        *why = QStringLiteral("dbus-daemon did not start");
        return false;
    }
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(10000)) {
            *why = QStringLiteral("dbus-daemon gave no address: ")
                + QString::fromLocal8Bit(m_daemon.readAllStandardError());
            return false;
        }
    }
    m_address = QString::fromLatin1(m_daemon.readLine()).trimmed();
    return !m_address.isEmpty();
}

} // namespace ostra::test
