#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Tells whether the user has been idle for `timeoutMs`: while `sleepy` is set, any
// keyboard, mouse, wheel, tablet or touch input restarts the idle clock; `sleeps`
// turns false once the clock has run out.
class SnoozeTimer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int timeoutMs READ timeoutMs WRITE setTimeoutMs)
    Q_PROPERTY(bool sleepy READ sleepy WRITE setSleepy)
    Q_PROPERTY(bool sleeps READ sleeps NOTIFY sleepsChanged)
public:
    explicit SnoozeTimer(QObject* parent = nullptr);
    ~SnoozeTimer() override;

    int timeoutMs() const { return m_timeoutMs; }
    void setTimeoutMs(int timeoutMs);
    bool sleepy() const { return m_sleepy; }
    void setSleepy(bool sleepy);
    bool sleeps() const { return m_sleeps; }

    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    void wakeUp();

signals:
    void sleepsChanged(bool sleeps);

private:
    void setSleeps(bool sleeps);
    void restartClock();

    QTimer m_timer;
    QElapsedTimer m_lastInput;
    int m_timeoutMs = 86400000;
    bool m_sleepy = false;
    bool m_sleeps = false;
};
