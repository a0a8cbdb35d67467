#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace ostra {

// The one letter a log line carries for its message type: D, W, E, F, or I for
// info and any type not known here.
char logLetter(QtMsgType type);

// The offset form of a zone's name for a distance from UTC: "UTC+01:00", "UTC-03:30",
// "UTC+00:00" (the form a time zone gives as its offset name).
QByteArray offsetName(int offsetSeconds);

// The current local date and time, with the local offset from UTC; safe from any thread.
QDateTime localNow();

// Builds one log line, newline included:
//   "<yyyy-MM-dd> <HH:mm:ss.zzz> <zone offset name> <thread id, %8x> <letter> <message>"
// The date and time are those of `when` as given (no conversion), the zone name is
// the offset name of `when`'s offset from UTC, and every text is in the local 8-bit
// encoding.
QByteArray formatLogLine(QtMsgType type, const QDateTime& when, quint32 threadId, const QString& message);

// The process-wide log sink: writes every message as one line on standard error and
// aborts after the line of a fatal message. Install it with qInstallMessageHandler.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Debug lines are left out unless the user asks for them: info and above show by default,
// and QT_LOGGING_RULES (or QT_LOGGING_CONF), which take precedence over these rules, turn
// debug lines on per category ("ostra.engine.debug=true", "*.debug=true").
void applyDefaultLogRules();

// While the window is being opened, a fatal message (Qt's own, when no display can be
// reached) is no crash: after its line the handler writes an error line with `reason`
// and ends the process with exit code 1. A null reason restores the abort. The text must
// outlive its use (a string literal).
void setWindowFailureReason(const char* reason);

} // namespace ostra
