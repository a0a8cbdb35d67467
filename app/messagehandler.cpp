#include "app/messagehandler.h"

#include <QThread>
#include <QTimeZone>

#include <cstdio>
#include <cstdlib>

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

QByteArray formatLogLine(QtMsgType type, const QDateTime& when, quint32 threadId,
                         const QString& message)
{
    // Date and time are formatted from their parts so that a date-time carrying an
    // explicit offset does not get that offset appended; the zone goes in its own field.
    QString stamp = when.date().toString(Qt::ISODate) + QLatin1Char('T')
        + when.time().toString(Qt::ISODateWithMs);
    stamp.replace(QLatin1Char('T'), QLatin1Char(' '));
    const QString zone = when.timeZone().displayName(when, QTimeZone::OffsetName);

    const QByteArray stampText = stamp.toLocal8Bit();
    const QByteArray zoneText = zone.toLocal8Bit();
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

void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const auto threadId = static_cast<quint32>(
        reinterpret_cast<quintptr>(QThread::currentThreadId()) & 0xffffffffu);
    const QByteArray line = formatLogLine(type, QDateTime::currentDateTime(), threadId, message);
    // One write per line, so lines of different threads do not interleave mid-line.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    if (type == QtFatalMsg) {
        std::fflush(stderr);
        std::abort();
    }
}

} // namespace ostra
