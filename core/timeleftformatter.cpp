#include "core/timeleftformatter.h"

#include <limits>

#include "core/progressmodel.h"

TimeLeftFormatter::TimeLeftFormatter(QObject* parent)
    : TimeFormatter(parent)
    , m_ownModel(new ProgressModel(this))
{
    m_model = m_ownModel;
    connect(m_model, &ProgressModel::progressChanged, this, &TimeLeftFormatter::updateVerbiage);
}

void TimeLeftFormatter::setProgressModel(ProgressModel* model)
{
    if (model == m_model)
        return;
    if (m_model)
        disconnect(m_model, &ProgressModel::progressChanged, this, &TimeLeftFormatter::updateVerbiage);
    m_model = model;
    if (model) {
        connect(model, &ProgressModel::progressChanged, this, &TimeLeftFormatter::updateVerbiage);
        mark();
    }
}

void TimeLeftFormatter::setStarted(bool started)
{
    if (started == m_timer.isValid())
        return;
    if (started)
        mark();
    else
        m_timer.invalidate();
    emit startedChanged();
}

void TimeLeftFormatter::mark()
{
    if (m_model)
        m_mark = m_model->progress();
    m_timer.start();
}

qint64 TimeLeftFormatter::estimate(qint64 elapsed, qint64 left, qint64 delta)
{
    if (elapsed <= 0 || left <= 0 || delta <= 0)
        return 0;
    constexpr qint64 big = qint64(1) << 30;
    while (left > big && delta > big) {
        left >>= 10;
        delta >>= 10;
    }
    const __int128 product = __int128(elapsed) * left / delta;
    if (product > std::numeric_limits<qint64>::max())
        return std::numeric_limits<qint64>::max();
    return qint64(product);
}

void TimeLeftFormatter::updateVerbiage()
{
    QString text;
    bool known = false;
    if (m_timer.isValid() && m_model && listsConsistent()) {
        const ProgressRatio now = m_model->progress();
        if (now.first < m_mark.first) {
            // Work was taken back (a file copied again from its start): the rate counts from
            // here, or the time left stays unknown until the old mark is passed again and is
            // too long after that.
            m_mark = now;
            m_timer.start();
        }
        const qint64 delta = now.first - m_mark.first;
        const qint64 left = now.second - now.first;
        const qint64 elapsed = elapsedSinceMark();
        if (delta >= 1 && elapsed >= 1) {
            known = true;
            text = verbiage(estimate(elapsed, left, delta));
        }
    }
    publish(text, known);
}

qint64 TimeLeftFormatter::elapsedSinceMark() const
{
    return m_timer.isValid() ? m_timer.elapsed() : 0;
}
