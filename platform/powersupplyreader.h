#pragma once

#include <QString>

// Reads whether the machine runs on mains power from the kernel's power-supply folder
// ("/sys/class/power_supply"): a line supply that is online means mains; otherwise a
// system battery that is discharging, or line supplies that are all offline while a
// battery is present, mean battery. Anything unknown counts as mains.
class PowerSupplyReader
{
public:
    explicit PowerSupplyReader(const QString& root = QStringLiteral("/sys/class/power_supply"));

    bool onAcPower() const;
    // True when the folder can be listed at all.
    bool available() const;
    QString root() const { return m_root; }

private:
    QString m_root;
};
