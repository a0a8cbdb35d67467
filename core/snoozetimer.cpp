#include "core/snoozetimer.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

bool isInput(int type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case 120:
    case QEvent::TouchBegin:
    case QEvent::TouchEnd:
    case QEvent::Gesture:
        return true;
    default:
        return false;
    }
}

} // namespace

SnoozeTimer::SnoozeTimer(QObject* parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(m_timeoutMs);
    connect(&m_timer, &QTimer::timeout, this, &SnoozeTimer::wakeUp);
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
}

SnoozeTimer::~SnoozeTimer()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

void SnoozeTimer::setTimeoutMs(int timeoutMs)
{
    m_timeoutMs = qMax(0, timeoutMs);
    m_timer.setInterval(m_timeoutMs);
}

void SnoozeTimer::setSleepy(bool sleepy)
{
    if (sleepy != m_sleepy) {
        m_sleepy = sleepy;
        if (sleepy)
            restartClock();
    }
    setSleeps(m_sleepy);
}

bool SnoozeTimer::eventFilter(QObject* watched, QEvent* event)
{
    if (m_sleepy && isInput(event->type())) {
        restartClock();
        setSleeps(m_sleepy);
    }
    return QObject::eventFilter(watched, event);
}

void SnoozeTimer::wakeUp()
{
    const qint64 remaining
        = qint64(m_timeoutMs) - (m_lastInput.isValid() ? m_lastInput.elapsed() : qint64(m_timeoutMs));
    if (remaining > 0) {
        m_timer.start(int(qMin<qint64>(remaining + 300, std::numeric_limits<int>::max())));
        return;
    }
    setSleeps(false);
}

void SnoozeTimer::setSleeps(bool sleeps)
{
    if (sleeps == m_sleeps)
        return;
    m_sleeps = sleeps;
    emit sleepsChanged(sleeps);
}

void SnoozeTimer::restartClock()
{
    m_lastInput.start();
    if (!m_timer.isActive())
        m_timer.start(m_timeoutMs);
}
