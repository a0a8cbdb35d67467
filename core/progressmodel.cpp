#include "core/progressmodel.h"
#include "core/logging.h"

#include <QDebug>
#include <QList>

ProgressModel::ProgressModel(QObject* parent)
    : QObject(parent)
{ }

double ProgressModel::value() const
{
    return m_total == 0 ? 0.0 : double(m_done) / double(m_total);
}

int ProgressModel::percentage() const
{
    if (m_total == 0)
        return 0;
    // Wide arithmetic: done * 100 may not fit 64 bits for byte counts near the top.
    return int((__int128(m_done) * 100) / m_total);
}

ProgressRatio ProgressModel::partial(const QVariant& key) const
{
    const auto it = m_partials.find(key);
    return it == m_partials.end() ? ProgressRatio(0, 0) : it->second;
}

void ProgressModel::setProgress(ProgressRatio ratio)
{
    setProgress(ratio.first, ratio.second);
}

void ProgressModel::setProgress(qlonglong elapsed, qlonglong estimated)
{
    m_done = elapsed;
    m_total = estimated;
    m_partials.clear();
    notify();
}

void ProgressModel::addProgress(ProgressRatio ratio)
{
    addProgress(ratio.first, ratio.second);
}

void ProgressModel::addProgress(qlonglong elapsed, qlonglong estimated)
{
    m_done += elapsed;
    m_total += estimated;
    notify();
}

void ProgressModel::setPartialProgress(qlonglong elapsed, qlonglong estimated, const QVariant& partial)
{
    changePartial(partial, elapsed, estimated, false);
}

void ProgressModel::setPartialProgress(qlonglong elapsed, qlonglong estimated)
{
    changePartial(QVariant(), elapsed, estimated, false);
}

void ProgressModel::setPartialProgress(ProgressRatio ratio, const QVariant& partial)
{
    changePartial(partial, ratio.first, ratio.second, false);
}

void ProgressModel::setPartialProgress(ProgressRatio ratio)
{
    changePartial(QVariant(), ratio.first, ratio.second, false);
}

void ProgressModel::addPartialProgress(qlonglong elapsed, qlonglong estimated, const QVariant& partial)
{
    changePartial(partial, elapsed, estimated, true);
}

void ProgressModel::addPartialProgress(qlonglong elapsed, qlonglong estimated)
{
    changePartial(QVariant(), elapsed, estimated, true);
}

void ProgressModel::addPartialProgress(ProgressRatio ratio, const QVariant& partial)
{
    changePartial(partial, ratio.first, ratio.second, true);
}

void ProgressModel::addPartialProgress(ProgressRatio ratio)
{
    changePartial(QVariant(), ratio.first, ratio.second, true);
}

void ProgressModel::setLocalProgress(qlonglong elapsed, qlonglong estimated, const QUrl& partial)
{
    changePartial(localKey(partial), elapsed, estimated, false);
}

void ProgressModel::setLocalProgress(qlonglong elapsed, qlonglong estimated)
{
    setLocalProgress(elapsed, estimated, QUrl());
}

void ProgressModel::setLocalProgress(ProgressRatio ratio, const QUrl& partial)
{
    setLocalProgress(ratio.first, ratio.second, partial);
}

void ProgressModel::setLocalProgress(ProgressRatio ratio)
{
    setLocalProgress(ratio.first, ratio.second, QUrl());
}

void ProgressModel::addLocalProgress(qlonglong elapsed, qlonglong estimated, const QUrl& partial)
{
    changePartial(localKey(partial), elapsed, estimated, true);
}

void ProgressModel::addLocalProgress(qlonglong elapsed, qlonglong estimated)
{
    addLocalProgress(elapsed, estimated, QUrl());
}

void ProgressModel::addLocalProgress(ProgressRatio ratio, const QUrl& partial)
{
    addLocalProgress(ratio.first, ratio.second, partial);
}

void ProgressModel::addLocalProgress(ProgressRatio ratio)
{
    addLocalProgress(ratio.first, ratio.second, QUrl());
}

void ProgressModel::setPercentage(int percentage)
{
    setProgress(percentage, 100);
}

void ProgressModel::setPartialPercentage(int percentage, const QVariant& partial)
{
    setPartialProgress(percentage, 100, partial);
}

void ProgressModel::setPartialPercentage(int percentage)
{
    setPartialProgress(percentage, 100);
}

void ProgressModel::setLocalPercentage(int percentage, const QUrl& partial)
{
    setLocalProgress(percentage, 100, partial);
}

void ProgressModel::setLocalPercentage(int percentage)
{
    setLocalProgress(percentage, 100);
}

void ProgressModel::flush()
{
    for (auto it = m_partials.begin(); it != m_partials.end();) {
        if (it->second.first == it->second.second)
            it = m_partials.erase(it);
        else
            ++it;
    }
    notify();
}

void ProgressModel::reset()
{
    m_done = 0;
    m_total = 0;
    m_partials.clear();
    notify();
}

void ProgressModel::dump()
{
    QList<ProgressRatio> partials;
    for (const auto& entry : m_partials)
        partials.append(entry.second);
    qCDebug(lcCore) << "Progress" << value() << percentage() << "Active:" << m_active
                    << "Partials:" << partials;
    qCDebug(lcCore) << "Bottom line:" << ProgressRatio(m_done, m_total);
}

void ProgressModel::changePartial(const QVariant& key, qlonglong elapsed, qlonglong estimated, bool add)
{
    ProgressRatio& entry = m_partials[key];
    const ProgressRatio before = entry;
    if (add) {
        entry.first += elapsed;
        entry.second += estimated;
    } else {
        entry = ProgressRatio(elapsed, estimated);
    }
    m_done += entry.first - before.first;
    m_total += entry.second - before.second;
    notify();
}

void ProgressModel::notify()
{
    const bool active = m_total != m_done;
    emit progressChanged();
    if (active != m_active) {
        m_active = active;
        emit activeChanged();
    }
}

QVariant ProgressModel::localKey(const QUrl& url)
{
    return QVariant(url.path(QUrl::FullyDecoded));
}
