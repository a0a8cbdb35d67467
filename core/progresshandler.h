#pragma once

#include <QDateTime>
#include <QObject>

// Counts steps towards a maximum and learns how many milliseconds one step takes, so
// the next run can show an estimated duration before its first step is counted.
class ProgressHandler : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isInProgress READ isInProgress NOTIFY inProgressChanged)
    Q_PROPERTY(qint64 progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(qint64 maximumProgress READ maximumProgress NOTIFY maximumProgressChanged)
    Q_PROPERTY(qint64 estimatedTimeLeft READ estimatedTimeLeft NOTIFY estimatedTimeLeftChanged)
public:
    explicit ProgressHandler(QObject* parent = nullptr);
    ProgressHandler(const double& rate, QObject* parent = nullptr);

    bool isInProgress() const { return m_inProgress; }
    qint64 progress() const { return m_progress; }
    qint64 maximumProgress() const { return m_maximum; }
    // The expected duration in milliseconds of a whole run of maximumProgress steps.
    qint64 estimatedTimeLeft() const;
    double rate() const { return m_rate; }

    void start(qint64 maximum);
    void setMaximumProgress(qint64 maximum);
    Q_INVOKABLE void setProgress(qint64 progress);

signals:
    void inProgressChanged();
    void progressChanged();
    void maximumProgressChanged();
    void estimatedTimeLeftChanged();

protected:
    // The clock; tests replace it.
    virtual QDateTime now() const;

private:
    void setInProgress(bool inProgress);

    bool m_inProgress = false;
    qint64 m_progress = 0;
    qint64 m_maximum = 0;
    qint64 m_milliseconds = 0;
    qint64 m_units = 0;
    QDateTime m_stamp;
    double m_rate = 0.0;
};
