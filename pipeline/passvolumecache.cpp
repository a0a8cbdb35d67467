#include "pipeline/passvolumecache.h"

#include <QDir>
#include <QFileInfo>

#include "pipeline/foldermaker.h"

PassVolumeCache::Folder& PassVolumeCache::folder(const QString& path)
{
    auto it = m_folders.find(path);
    if (it == m_folders.end()) {
        Folder entry;
        QString existing = QDir::cleanPath(QDir(path).absolutePath());
        while (!QFileInfo(existing).isDir() && existing != QDir::rootPath()) {
            const QString parent = QFileInfo(existing).path();
            if (parent == existing)
                break;
            existing = parent;
        }
        entry.storage = QStorageInfo(existing);
        it = m_folders.insert(path, entry);
    }
    return it.value();
}

QStorageInfo PassVolumeCache::storageOf(const QString& path)
{
    return folder(path).storage;
}

bool PassVolumeCache::makeFolder(const QString& path)
{
    Folder& entry = folder(path);
    if (entry.made < 0)
        entry.made = ::makeFolder(path) ? 1 : 0;
    return entry.made == 1;
}

bool PassVolumeCache::writable(const QString& path)
{
    Folder& entry = folder(path);
    if (entry.writable < 0)
        entry.writable = QFileInfo(path).isWritable() ? 1 : 0;
    return entry.writable == 1;
}

qint64 PassVolumeCache::bytesAvailable(const Volume& volume, const QStorageInfo& storage)
{
    auto it = m_available.find(volume);
    if (it == m_available.end())
        it = m_available.insert(volume, storage.bytesAvailable());
    return it.value();
}

void PassVolumeCache::spend(const Volume& volume, qint64 bytes)
{
    auto it = m_available.find(volume);
    if (it != m_available.end())
        it.value() -= bytes;
}

void PassVolumeCache::clear()
{
    m_folders.clear();
    m_available.clear();
}
