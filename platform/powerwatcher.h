#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

#include "platform/powersupplyreader.h"

// Tells when the power source may have changed: through UPower's property signal on
// the system bus where UPower runs, else by reading the power-supply folder now and
// then. `changed` comes only when the mains state read from the folder differs.
class PowerWatcher : public QObject
{
    Q_OBJECT
public:
    enum Mode { UPowerSignal, Polling, Unavailable };
    Q_ENUM(Mode)

    static constexpr int defaultPollMs = 60000;

    explicit PowerWatcher(QObject* parent = nullptr);
    PowerWatcher(
        const PowerSupplyReader& reader, const QDBusConnection& bus, int pollMs, QObject* parent = nullptr);

    Mode mode() const { return m_mode; }
    bool onAcPower() const { return m_onAc; }
    const PowerSupplyReader& reader() const { return m_reader; }

public slots:
    // Reads the folder again; emits `changed` when the answer differs.
    void check();

signals:
    void changed(bool onAcPower);

private slots:
    void onUPowerProperties(
        const QString& interface, const QVariantMap& changed, const QStringList& invalidated);

private:
    PowerSupplyReader m_reader;
    QDBusConnection m_bus;
    QTimer m_poll;
    Mode m_mode = Unavailable;
    bool m_onAc = true;
};
