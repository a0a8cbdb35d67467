#include "capture/filekind.h"

#include <QFileInfo>
#include <QJsonObject>

int fileKind(const QString& suffix)
{
    const QString lower = suffix.toLower();
    if (lower == QLatin1String("jpg"))
        return PreviewKind;
    if (lower == QLatin1String("vrxs"))
        return StateKind;
    if (lower == QLatin1String("vrx"))
        return RawKind;
    return NoKind;
}

int fileKind(const Recipe& recipe)
{
    return fileKind(recipe.recipe.object().value(QStringLiteral("type")).toString());
}

QJsonDocument fileKeyDocument(const QString& name)
{
    const QFileInfo info(name);
    QJsonObject key;
    key.insert(QStringLiteral("file"), info.completeBaseName());
    key.insert(QStringLiteral("type"), info.suffix());
    return QJsonDocument(key);
}
