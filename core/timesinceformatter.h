#pragma once

#include <QDateTime>

#include "core/timeformatter.h"

// Tells the span between two date-times in words.
class TimeSinceFormatter : public TimeFormatter
{
    Q_OBJECT
    Q_PROPERTY(QDateTime startDate READ startDate WRITE setStartDate)
    Q_PROPERTY(QDateTime endDate READ endDate WRITE setEndDate)
public:
    explicit TimeSinceFormatter(QObject* parent = nullptr);

    QDateTime startDate() const { return m_start; }
    QDateTime endDate() const { return m_end; }
    void setStartDate(const QDateTime& date);
    void setEndDate(const QDateTime& date);

public slots:
    void updateVerbiage() override;

private:
    QDateTime m_start;
    QDateTime m_end;
};
