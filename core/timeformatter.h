#pragma once

#include <QList>
#include <QObject>
#include <QStringList>

// Turns a duration into words from unit names and radices that the QML supplies:
// `units` (singular names, smallest first), `plurals` (same order; empty means the
// singular names serve), `radices` (radices[k] of unit k-1 make unit k; the first
// converts milliseconds) and `scales` (the smallest unit shown, by largest unit).
class TimeFormatter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QStringList units READ units WRITE setUnits)
    Q_PROPERTY(QStringList plurals READ plurals WRITE setPlurals)
    Q_PROPERTY(QList<int> radices READ radices WRITE setRadices)
    Q_PROPERTY(QList<int> scales READ scales WRITE setScales)
    Q_PROPERTY(bool known READ known NOTIFY knownChanged)
    Q_PROPERTY(QString remaining READ remaining NOTIFY remainingChanged)
    Q_PROPERTY(bool isNegligible READ isNegligible NOTIFY remainingChanged)
public:
    explicit TimeFormatter(QObject* parent = nullptr);

    QStringList units() const { return m_units; }
    QStringList plurals() const { return m_plurals; }
    QList<int> radices() const { return m_radices; }
    QList<int> scales() const { return m_scales; }
    bool known() const { return m_known; }
    QString remaining() const { return m_remaining; }
    bool isNegligible() const { return m_remaining.isEmpty(); }

    // The text for a duration of `milliseconds`; empty below the first unit, for a
    // negative duration, or for lists that do not fit each other.
    QString verbiage(qint64 milliseconds) const;

public slots:
    void setUnits(const QStringList& units);
    void setPlurals(const QStringList& plurals);
    void setRadices(const QList<int>& radices);
    void setScales(const QList<int>& scales);
    virtual void updateVerbiage() = 0;

signals:
    void startedChanged();
    void knownChanged();
    void remainingChanged();

protected:
    // True when units, plurals and radices agree in length (and radices is not empty).
    bool listsConsistent() const;
    // Stores the text and the known flag, emitting what changed.
    void publish(const QString& text, bool known);

private:
    QStringList m_units;
    QStringList m_plurals;
    QList<int> m_radices;
    QList<int> m_scales;
    bool m_known = false;
    QString m_remaining;
};
