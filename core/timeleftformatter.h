#pragma once

#include <QElapsedTimer>
#include <QPointer>

#include "core/progressratio.h"
#include "core/timeformatter.h"

#include "core/progressmodel.h"

// Estimates the time left from a ProgressModel: the rate since the mark (done then,
// elapsed time since) applied to what is still to do.
class TimeLeftFormatter : public TimeFormatter
{
    Q_OBJECT
    Q_PROPERTY(ProgressModel* progressModel READ progressModel WRITE setProgressModel)
    Q_PROPERTY(bool started READ started WRITE setStarted NOTIFY startedChanged)
public:
    explicit TimeLeftFormatter(QObject* parent = nullptr);

    ProgressModel* progressModel() const { return m_model; }
    void setProgressModel(ProgressModel* model);
    bool started() const { return m_timer.isValid(); }
    void setStarted(bool started);

    // Milliseconds left for `left` units when `delta` units took `elapsed` ms; never
    // negative, saturating instead of overflowing.
    static qint64 estimate(qint64 elapsed, qint64 left, qint64 delta);

    Q_INVOKABLE void mark();

public slots:
    void updateVerbiage() override;

protected:
    // Milliseconds since the mark; tests replace it.
    virtual qint64 elapsedSinceMark() const;

private:
    ProgressModel* m_ownModel;
    QPointer<ProgressModel> m_model;
    ProgressRatio m_mark { 0, 0 };
    QElapsedTimer m_timer;
};
