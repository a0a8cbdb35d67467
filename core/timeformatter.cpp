#include "core/timeformatter.h"

#include <QVector>

#include <algorithm>

TimeFormatter::TimeFormatter(QObject* parent)
    : QObject(parent)
{ }

QString TimeFormatter::verbiage(qint64 milliseconds) const
{
    if (milliseconds <= 0)
        return QString();
    const QStringList& plurals = m_plurals.isEmpty() ? m_units : m_plurals;
    // Only as many units as every list can name.
    const int usable = std::min({ m_radices.size(), m_units.size(), plurals.size() });

    QVector<qint64> quotients;
    qint64 q = milliseconds;
    for (int k = 0; k < usable; ++k) {
        const int radix = m_radices[k];
        if (radix <= 0)
            break;
        q /= radix;
        if (q == 0)
            break;
        quotients.append(q);
    }
    if (quotients.isEmpty())
        return QString();

    const int top = quotients.size() - 1;
    int low = 0;
    if (!m_scales.isEmpty())
        low = std::clamp(m_scales[std::min(top, m_scales.size() - 1)], 0, top);
    for (int k = low; k < top; ++k)
        quotients[k] -= quotients[k + 1] * m_radices[k + 1];

    QStringList parts;
    for (int k = top; k >= low; --k) {
        const qint64 count = quotients[k];
        if (count == 0)
            continue;
        parts << QString::number(count) << (count < 2 ? m_units[k] : plurals[k]);
    }
    return parts.join(QLatin1Char(' '));
}

void TimeFormatter::setUnits(const QStringList& units)
{
    m_units = units;
    updateVerbiage();
}

void TimeFormatter::setPlurals(const QStringList& plurals)
{
    m_plurals = plurals;
    updateVerbiage();
}

void TimeFormatter::setRadices(const QList<int>& radices)
{
    m_radices = radices;
    updateVerbiage();
}

void TimeFormatter::setScales(const QList<int>& scales)
{
    m_scales = scales;
    updateVerbiage();
}

bool TimeFormatter::listsConsistent() const
{
    const QStringList& plurals = m_plurals.isEmpty() ? m_units : m_plurals;
    return !m_radices.isEmpty() && m_units.size() == m_radices.size() && plurals.size() == m_units.size();
}

void TimeFormatter::publish(const QString& text, bool known)
{
    if (text != m_remaining) {
        m_remaining = text;
        emit remainingChanged();
    }
    if (known != m_known) {
        m_known = known;
        emit knownChanged();
    }
}
