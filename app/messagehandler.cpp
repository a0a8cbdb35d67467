#include "app/messagehandler.h"

#include <QLoggingCategory>
#include <QTextCodec>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace ostra {

char logLetter(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 'D';
    case QtWarningMsg:
        return 'W';
    case QtCriticalMsg:
        return 'E';
    case QtFatalMsg:
        return 'F';
    case QtInfoMsg:
        break;
    }
    return 'I';
}

void applyDefaultLogRules()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
}

QByteArray offsetName(int offsetSeconds)
{
    const char sign = offsetSeconds < 0 ? '-' : '+';
    const int minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    char text[24];
    std::snprintf(text, sizeof text, "UTC%c%02d:%02d", sign, minutes / 60, minutes % 60);
    return QByteArray(text);
}

QDateTime localNow()
{
    // The C library's broken-down local time is safe from any thread; Qt's own local
    // time zone lookups are not, and this runs on every thread that logs.
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    return QDateTime(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
        QTime(local.tm_hour, local.tm_min, qMin(local.tm_sec, 59), static_cast<int>(now.tv_nsec / 1000000)),
        Qt::OffsetFromUTC, static_cast<int>(local.tm_gmtoff));
}

QByteArray formatLogLine(QtMsgType type, const QDateTime& when, quint32 threadId, const QString& message)
{
    // Date and time are formatted from their parts so that a date-time carrying an
    // explicit offset does not get that offset appended; the zone goes in its own field.
    QString stamp
        = when.date().toString(Qt::ISODate) + QLatin1Char('T') + when.time().toString(Qt::ISODateWithMs);
    stamp.replace(QLatin1Char('T'), QLatin1Char(' '));
    const QByteArray stampText = stamp.toLocal8Bit();
    const QByteArray zoneText = offsetName(when.offsetFromUtc());
    // Like a C string, the message ends at its first NUL.
    const QByteArray text(message.toLocal8Bit().constData());

    char id[16];
    std::snprintf(id, sizeof id, "%8x", static_cast<unsigned>(threadId));

    QByteArray line;
    line.reserve(stampText.size() + zoneText.size() + text.size() + 16);
    line += stampText;
    line += ' ';
    line += zoneText;
    line += ' ';
    line += id;
    line += ' ';
    line += logLetter(type);
    line += ' ';
    line += text;
    line += '\n';
    return line;
}

namespace {

// Set and cleared around the window's start; read by whatever thread logs.
std::atomic<const char*> g_windowFailureReason { nullptr };

} // namespace

void setWindowFailureReason(const char* reason)
{
    g_windowFailureReason = reason;
}

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // Qt builds the locale's codec and its calendars lazily, and two threads doing it
    // at once may get nothing (a line without its date) or crash. The first line of the
    // process builds them; lines of other threads wait here until that is done.
    static const bool ready = [] {
        QTextCodec::codecForLocale();
        return !QDate(2000, 1, 1).toString(Qt::ISODate).isEmpty();
    }();
    Q_UNUSED(ready)
    const auto threadId
        = static_cast<quint32>(reinterpret_cast<quintptr>(QThread::currentThreadId()) & 0xffffffffu);
    const QByteArray line = formatLogLine(type, localNow(), threadId, message);
    // One write per line, so lines of different threads do not interleave mid-line.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    const char* windowFailure = g_windowFailureReason;
    if (type == QtFatalMsg && windowFailure) {
        const QByteArray reason
            = formatLogLine(QtCriticalMsg, localNow(), threadId, QString::fromLatin1(windowFailure));
        std::fwrite(reason.constData(), 1, static_cast<size_t>(reason.size()), stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (type == QtFatalMsg) {
        std::fflush(stderr);
        std::abort();
    }
}

} // namespace ostra
