#pragma once

// Preset files as a user leaves them in the presets folder, and what the folder holds.

#include "engine/imageproperties.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

namespace ostra::test {

// A preset file named `name`, made at `seconds`; with `cut` set, only its first bytes.
inline bool dropPreset(const QString& path, const QString& name, double seconds, int cut = -1)
{
    const QByteArray doc = QJsonDocument(
        QJsonObject { { "versionMajor", 1 }, { "versionMinor", 0 }, { "name", name },
            { "timestampUTC",
                seconds } }).toJson();
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(doc.left(cut < 0 ? doc.size() : cut)) > 0;
}

// "file: preset name" for every file of the folder, in file name order ("?" when unreadable).
inline QStringList presetsOnDisk(const QString& folder)
{
    QStringList lines;
    for (const QFileInfo& info : QDir(folder).entryInfoList({ "*.qpf" }, QDir::Files, QDir::Name)) {
        QFile file(info.filePath());
        ImageProperties p;
        const bool ok = file.open(QIODevice::ReadOnly) && p.loadPatch(file.readAll());
        lines << info.fileName() + ": " + (ok ? p.name() : QStringLiteral("?"));
    }
    return lines;
}

} // namespace ostra::test
