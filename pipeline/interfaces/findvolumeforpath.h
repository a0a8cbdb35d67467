#pragma once

#include <QList>
#include <QStorageInfo>
#include <QString>
#include <QStringList>

// The index of the root that holds `path`: a root equal to the path, or one that begins
// it at a folder boundary ("/media/u/CAM" holds "/media/u/CAM/x" but not
// "/media/u/CAM2/x"). The longest such root wins; -1 when none holds the path.
inline int findRootForPath(const QStringList& roots, const QString& path)
{
    int best = -1;
    int bestLength = -1;
    for (int i = 0; i < roots.size(); ++i) {
        const QString& root = roots.at(i);
        if (root.isEmpty() || !path.startsWith(root))
            continue;
        const bool boundary = path.size() == root.size() || root.endsWith(QLatin1Char('/'))
            || path.at(root.size()) == QLatin1Char('/');
        if (boundary && root.size() > bestLength) {
            best = i;
            bestLength = root.size();
        }
    }
    return best;
}

// The mounted volume of the list that holds `path` (see findRootForPath); an invalid
// QStorageInfo when none does.
inline QStorageInfo findVolumeForPath(const QList<QStorageInfo>& volumes, const QString& path)
{
    QStringList roots;
    roots.reserve(volumes.size());
    for (const QStorageInfo& volume : volumes)
        roots << volume.rootPath();
    const int index = findRootForPath(roots, path);
    return index < 0 ? QStorageInfo() : volumes.at(index);
}
