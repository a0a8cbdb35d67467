#include "core/timesinceformatter.h"

TimeSinceFormatter::TimeSinceFormatter(QObject* parent)
    : TimeFormatter(parent)
    , m_start(QDateTime::currentDateTime())
    , m_end(m_start)
{ }

void TimeSinceFormatter::setStartDate(const QDateTime& date)
{
    if (date == m_start)
        return;
    m_start = date;
    updateVerbiage();
}

void TimeSinceFormatter::setEndDate(const QDateTime& date)
{
    if (date == m_end)
        return;
    m_end = date;
    updateVerbiage();
}

void TimeSinceFormatter::updateVerbiage()
{
    publish(verbiage(m_start.msecsTo(m_end)), true);
}
