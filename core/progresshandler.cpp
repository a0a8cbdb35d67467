#include "core/progresshandler.h"

#include <cmath>
#include <limits>

ProgressHandler::ProgressHandler(QObject* parent)
    : ProgressHandler(0.0, parent)
{ }

ProgressHandler::ProgressHandler(const double& rate, QObject* parent)
    : QObject(parent)
    , m_rate(rate)
{ }

qint64 ProgressHandler::estimatedTimeLeft() const
{
    const double perUnit = m_units > 0 ? double(m_milliseconds) / double(m_units) : m_rate;
    const double estimate = perUnit * double(m_maximum);
    // Keep the truncation defined for absurd rates or maxima.
    if (!std::isfinite(estimate) || estimate <= 0.0)
        return 0;
    if (estimate >= double(std::numeric_limits<qint64>::max()))
        return std::numeric_limits<qint64>::max();
    return qint64(estimate);
}

void ProgressHandler::start(qint64 maximum)
{
    setProgress(0);
    setMaximumProgress(maximum);
    setInProgress(true);
    m_stamp = now();
}

void ProgressHandler::setMaximumProgress(qint64 maximum)
{
    if (maximum == 0 && m_inProgress)
        setInProgress(false);
    m_maximum = maximum;
    emit maximumProgressChanged();
    emit estimatedTimeLeftChanged();
}

void ProgressHandler::setProgress(qint64 progress)
{
    if (progress > 0 && progress > m_progress) {
        const QDateTime current = now();
        m_units += progress - m_progress;
        if (m_stamp.isValid())
            m_milliseconds += qMax<qint64>(0, m_stamp.msecsTo(current));
        m_stamp = current;
        emit estimatedTimeLeftChanged();
    }
    m_progress = progress;
    if (progress >= 1 && progress == m_maximum) {
        setInProgress(false);
        if (m_units > 0)
            m_rate = double(m_milliseconds) / double(m_units);
        m_milliseconds = 0;
        m_units = 0;
    }
    emit progressChanged();
}

QDateTime ProgressHandler::now() const
{
    return QDateTime::currentDateTimeUtc();
}

void ProgressHandler::setInProgress(bool inProgress)
{
    if (inProgress == m_inProgress)
        return;
    m_inProgress = inProgress;
    emit inProgressChanged();
}
