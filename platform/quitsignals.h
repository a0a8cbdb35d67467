#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the signals that ask a process to end (SIGTERM from a logout or `kill`, SIGINT
// from a terminal, SIGHUP from a closed terminal) into a Qt signal on the thread that
// made the object, so the application quits through its normal shutdown path, which
// saves. The handler itself only writes the signal number to a socket pair. One object
// at a time; the previous handlers come back when it is destroyed.
class QuitSignals : public QObject
{
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

    // False when the handlers could not be installed (no socket pair).
    bool installed() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};
