#include "reports/journalcrashevents.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QXmlStreamWriter>

namespace {

// The message id systemd-coredump gives its "process dumped core" entries.
const char* const kCoredumpMessageId = "fc2e22bc6ee647b6b90729ab34a250b1";

// A journal field: text, or an array of byte values for fields that are not text.
QString fieldText(const QJsonObject& entry, const char* name)
{
    const QJsonValue value = entry.value(QLatin1String(name));
    if (!value.isArray())
        return value.toString();
    QByteArray bytes;
    for (const QJsonValue& byte : value.toArray())
        bytes.append(char(byte.toInt()));
    return QString::fromUtf8(bytes);
}

} // namespace

JournalCrashEvents::JournalCrashEvents(const QString& program, int timeoutMs)
    : m_program(program)
    , m_timeoutMs(timeoutMs)
{ }

bool JournalCrashEvents::query(const QString& executableName, QList<QByteArray>& events, QString& error)
{
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    // Only the fields the event shows: a core kept in the journal would come along otherwise.
    process.start(m_program,
        { QStringLiteral("--no-pager"), QStringLiteral("-o"), QStringLiteral("json"),
            QStringLiteral("--reverse"),
            QStringLiteral("--output-fields=COREDUMP_EXE,COREDUMP_PID,COREDUMP_SIGNAL_NAME,COREDUMP_CMDLINE,"
                           "MESSAGE,_HOSTNAME"),
            QStringLiteral("MESSAGE_ID=") + QLatin1String(kCoredumpMessageId) });
    if (!process.waitForStarted(m_timeoutMs)) {
        error = QStringLiteral("journalctl did not start: ") + process.errorString();
        return false;
    }
    if (!process.waitForFinished(m_timeoutMs)) {
        process.kill();
        process.waitForFinished();
        error = QStringLiteral("journalctl timed out");
        return false;
    }
    events = eventsFromJson(process.readAllStandardOutput(), executableName);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QStringLiteral("journalctl failed with %1").arg(process.exitCode());
        return false;
    }
    return true;
}

QList<QByteArray> JournalCrashEvents::eventsFromJson(
    const QByteArray& jsonLines, const QString& executableName)
{
    QList<QByteArray> events;
    for (const QByteArray& line : jsonLines.split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.isEmpty())
            continue;
        const QString exe = fieldText(entry, "COREDUMP_EXE");
        if (exe.isEmpty() || QFileInfo(exe).fileName() != executableName)
            continue;

        QByteArray xml;
        QXmlStreamWriter writer(&xml);
        writer.setAutoFormatting(true);
        writer.writeStartDocument();
        writer.writeStartElement(QStringLiteral("Event"));
        writer.writeStartElement(QStringLiteral("System"));
        writer.writeEmptyElement(QStringLiteral("Provider"));
        writer.writeAttribute(QStringLiteral("Name"), QStringLiteral("systemd-coredump"));
        bool ok = false;
        const qint64 micros = fieldText(entry, "__REALTIME_TIMESTAMP").toLongLong(&ok);
        if (ok) {
            writer.writeEmptyElement(QStringLiteral("TimeCreated"));
            writer.writeAttribute(QStringLiteral("SystemTime"),
                QDateTime::fromMSecsSinceEpoch(micros / 1000, Qt::UTC).toString(Qt::ISODateWithMs));
        }
        writer.writeTextElement(QStringLiteral("Computer"), fieldText(entry, "_HOSTNAME"));
        writer.writeEndElement();
        writer.writeStartElement(QStringLiteral("EventData"));
        const std::pair<const char*, const char*> data[] = { { "Executable", "COREDUMP_EXE" },
            { "ProcessId", "COREDUMP_PID" }, { "Signal", "COREDUMP_SIGNAL_NAME" },
            { "CommandLine", "COREDUMP_CMDLINE" }, { "Message", "MESSAGE" } };
        for (const auto& [name, field] : data) {
            writer.writeStartElement(QStringLiteral("Data"));
            writer.writeAttribute(QStringLiteral("Name"), QLatin1String(name));
            writer.writeCharacters(fieldText(entry, field));
            writer.writeEndElement();
        }
        writer.writeEndElement();
        writer.writeEndElement();
        writer.writeEndDocument();
        events << xml;
    }
    return events;
}
