#include "core/texthelpers.h"

#include <QFile>
#include <QStringList>
#include <QTextStream>

#include <cmath>

QString readTextFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QTextStream stream(&file);
    return stream.readAll();
}

QString normalizeUnderscoreName(const QString& name)
{
    const QStringList parts = name.split(QLatin1Char('_'), Qt::KeepEmptyParts);
    if (parts.size() >= 3 && parts[2] == QLatin1String("1"))
        return parts[0] + QLatin1Char('_') + parts[1];
    return name;
}

QString sizeText(qint64 bytes)
{
    if (bytes < 0)
        return QStringLiteral("unknown");
    if (bytes < 1024)
        return countText(bytes, QStringLiteral("byte"), QStringLiteral("bytes"));
    static const char* const units[] = { "KB", "MB", "GB", "TB", "PB" };
    double value = double(bytes) / 1024.0;
    int unit = 0;
    // Rounding may carry a value over to the next unit ("1024.0 KB" is "1.0 MB").
    while (unit < 4 && (unit == 0 ? std::round(value) : std::round(value * 10) / 10) >= 1024.0) {
        value /= 1024.0;
        ++unit;
    }
    const QString number
        = unit == 0 ? QString::number(qint64(std::round(value))) : QString::number(value, 'f', 1);
    return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString countText(qint64 count, const QString& one, const QString& many)
{
    QString digits = QString::number(count < 0 ? -count : count);
    for (int at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return (count < 0 ? QStringLiteral("-") : QString()) + digits + QLatin1Char(' ')
        + (count == 1 ? one : many);
}
