#include "core/texthelpers.h"

#include <QFile>
#include <QStringList>
#include <QTextStream>

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
