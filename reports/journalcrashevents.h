#pragma once

#include "reports/icrashevents.h"

// The application's crashes as systemd-coredump recorded them in the journal, read
// with journalctl. Without a journal (or journalctl) there are none.
class JournalCrashEvents : public ICrashEvents
{
public:
    explicit JournalCrashEvents(const QString& program = QStringLiteral("journalctl"), int timeoutMs = 10000);

    bool query(const QString& executableName, QList<QByteArray>& events, QString& error) override;

    // The coredump entries among journalctl's JSON lines whose executable has the file
    // name `executableName`, each as an event document, in the order of the lines.
    static QList<QByteArray> eventsFromJson(const QByteArray& jsonLines, const QString& executableName);

private:
    QString m_program;
    int m_timeoutMs;
};
