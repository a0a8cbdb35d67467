#include "platform/powersupplyreader.h"

#include <QDir>
#include <QFile>

namespace {

QString readValue(const QDir& supply, const char* name)
{
    QFile file(supply.filePath(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.read(256)).trimmed();
}

} // namespace

PowerSupplyReader::PowerSupplyReader(const QString& root)
    : m_root(root)
{ }

bool PowerSupplyReader::available() const
{
    return QDir(m_root).exists();
}

bool PowerSupplyReader::onAcPower() const
{
    const QDir root(m_root);
    bool lineKnown = false;
    bool lineOnline = false;
    bool battery = false;
    bool discharging = false;
    const QStringList entries = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : entries) {
        const QDir supply(root.filePath(name));
        // Batteries of mice and keyboards say "Device"; only the system's own count.
        if (readValue(supply, "scope").compare(QLatin1String("Device"), Qt::CaseInsensitive) == 0)
            continue;
        const QString type = readValue(supply, "type");
        if (type == QLatin1String("Battery")) {
            if (readValue(supply, "present") == QLatin1String("0"))
                continue;
            battery = true;
            if (readValue(supply, "status") == QLatin1String("Discharging"))
                discharging = true;
        } else if (type == QLatin1String("Mains") || type.startsWith(QLatin1String("USB"))
            || type == QLatin1String("UPS")) {
            const QString online = readValue(supply, "online");
            if (online.isEmpty())
                continue;
            lineKnown = true;
            if (online != QLatin1String("0"))
                lineOnline = true;
        }
    }
    if (lineOnline)
        return true;
    if (lineKnown && battery)
        return false;
    return !discharging;
}
