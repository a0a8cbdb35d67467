#pragma once

// The files of the journal crash test, shared by the test and its child program.

#include <QFile>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

#include "pipeline/interfaces/recipe.h"

namespace crashfiles {

constexpr int kCount = 16;

inline QUuid session(int s)
{
    return QUuid(QStringLiteral("{00000000-0000-4000-8000-0000000000%1}").arg(s + 10));
}

inline QString path(const QString& root, int s, int i)
{
    return QStringLiteral("%1/%2/f%3.%4").arg(root, s ? "b" : "a").arg(i).arg(i / 2 % 2 ? "jpg" : "vrx");
}

inline QUrl url(const QString& root, int s, int i)
{
    return QUrl::fromLocalFile(path(root, s, i));
}

// Every other file is small enough for the copies made at once.
inline Recipe recipe(int i)
{
    Recipe r;
    r.provider = QStringLiteral("transfer");
    r.ioChannel = QStringLiteral("cam");
    r.recipe = QJsonDocument(QJsonObject { { "file", i }, { "type", i / 2 % 2 ? "jpg" : "vrx" } });
    r.imageUuid = QUuid::createUuidV5(QUuid(), QString::number(i));
    r.fileSize = i % 2 == 0 ? 700 : 60000 + i * 7000;
    return r;
}

// A camera holding the files: two files make one picture (the pairs of numbers).
inline Recipe cameraRecipe(int i)
{
    Recipe r = recipe(i);
    r.imageUuid = QUuid::createUuidV5(QUuid(), QStringLiteral("picture %1").arg(i / 2));
    return r;
}

inline QString cameraPath(const QString& root, int i)
{
    return QStringLiteral("%1/camera/f%2").arg(root).arg(i);
}

// Pictures whose first verified copy goes away right after its verification (a folder
// renamed, a volume unmounted), before the picture's other file is verified.
inline bool sabotaged(int i)
{
    return (i / 2) % 4 == 0;
}

inline QByteArray content(const Recipe& r)
{
    QByteArray bytes(int(r.fileSize), Qt::Uninitialized);
    quint32 x = quint32(r.recipe.object().value("file").toInt() + 1) * 2654435761u;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    return bytes;
}

inline QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace crashfiles
