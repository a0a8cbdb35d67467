#pragma once

#include <QHash>
#include <QStorageInfo>
#include <QString>

#include "pipeline/interfaces/volume.h"

// What one scheduling pass learns about target folders and volumes, so that a pass over
// thousands of targets in a few folders asks the file system once per folder and once
// per volume instead of once per target. Forgotten at the end of each pass.
class PassVolumeCache
{
public:
    // The storage that holds `folder`, or the nearest existing folder above it: a folder
    // that is yet to be made belongs to the volume it will be made on.
    QStorageInfo storageOf(const QString& folder);
    // Makes the folder with its parents (once per pass); false when that failed.
    bool makeFolder(const QString& folder);
    bool writable(const QString& folder);
    // Bytes the user may still write on the volume, read once per pass.
    qint64 bytesAvailable(const Volume& volume, const QStorageInfo& storage);
    // Files written inline during the pass take their room from the figure.
    void spend(const Volume& volume, qint64 bytes);
    void clear();

private:
    struct Folder
    {
        QStorageInfo storage;
        int made = -1; // -1: not tried yet
        int writable = -1;
    };
    Folder& folder(const QString& path);

    QHash<QString, Folder> m_folders;
    QHash<Volume, qint64> m_available;
};
