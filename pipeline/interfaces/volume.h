#pragma once

#include <QByteArray>
#include <QHash>
#include <QMetaType>
#include <QStorageInfo>
#include <QString>

// A mounted destination volume as the pipeline remembers it: its mount point and its
// device. An empty root path means the volume is not resolved yet.
struct Volume
{
    QString rootPath;
    QByteArray device;

    Volume() = default;
    Volume(QString rootPath, QByteArray device)
        : rootPath(std::move(rootPath))
        , device(std::move(device))
    { }
    explicit Volume(const QStorageInfo& storage)
        : rootPath(storage.rootPath())
        , device(storage.device())
    { }

    bool isResolved() const { return !rootPath.isEmpty(); }
};

inline bool operator==(const Volume& a, const Volume& b)
{
    return a.rootPath == b.rootPath && a.device == b.device;
}

inline bool operator!=(const Volume& a, const Volume& b)
{
    return !(a == b);
}

inline uint qHash(const Volume& v, uint seed = 0)
{
    const uint r = qHash(v.rootPath);
    return ((r << 16) | (r >> 16)) ^ qHash(v.device) ^ seed;
}

Q_DECLARE_METATYPE(Volume)
