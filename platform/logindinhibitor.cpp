#include "platform/logindinhibitor.h"
#include "platform/logging.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDebug>

#include <fcntl.h>
#include <unistd.h>

namespace {
const char* const kService = "org.freedesktop.login1";
const char* const kPath = "/org/freedesktop/login1";
const char* const kInterface = "org.freedesktop.login1.Manager";
constexpr int kCallTimeoutMs = 5000;
} // namespace

LogindInhibitor::LogindInhibitor()
    : LogindInhibitor(QDBusConnection::systemBus())
{ }

LogindInhibitor::LogindInhibitor(const QDBusConnection& bus)
    : m_bus(bus)
{ }

LogindInhibitor::~LogindInhibitor()
{
    release();
}

bool LogindInhibitor::inhibit(const QString& why)
{
    QMutexLocker lock(&m_mutex);
    if (m_fd >= 0)
        return true;
    if (!m_bus.isConnected()) {
        if (!m_warned) {
            m_warned = true;
            qCInfo(lcPlatform) << "No system bus; the machine may sleep during long work";
        }
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface), QStringLiteral("Inhibit"));
    const QString who = QCoreApplication::applicationName().isEmpty() ? QStringLiteral("Ostra")
                                                                      : QCoreApplication::applicationName();
    call << QStringLiteral("sleep") << who << (why.isEmpty() ? QStringLiteral("Working") : why)
         << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (!reply.isValid() || !reply.value().isValid()) {
        if (!m_warned) {
            m_warned = true;
            qCInfo(lcPlatform) << "Can't keep the machine awake:" << reply.error().message();
        }
        return false;
    }
    // The descriptor object closes its copy; keep one of our own.
    m_fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    return m_fd >= 0;
}

void LogindInhibitor::release()
{
    QMutexLocker lock(&m_mutex);
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}

bool LogindInhibitor::holding() const
{
    QMutexLocker lock(&m_mutex);
    return m_fd >= 0;
}
