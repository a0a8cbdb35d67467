#pragma once

#include <QHash>
#include <QJsonDocument>
#include <QMetaType>
#include <QString>
#include <QUuid>

// How one file is fetched from its source: the source's route key and channel, the
// source's own description of the file (its "type" names the file kind), the image the
// file belongs to and the expected size, which may be only an estimate.
struct Recipe
{
    QString provider;
    QString ioChannel;
    QJsonDocument recipe;
    QUuid imageUuid;
    qint64 fileSize = 0;
    bool estimate = false;

    // The size that counts in comparisons: an estimate matches any size.
    qint64 effectiveSize() const { return estimate ? 0 : fileSize; }
};

inline bool operator==(const Recipe& a, const Recipe& b)
{
    return a.provider == b.provider && a.ioChannel == b.ioChannel && a.imageUuid == b.imageUuid
        && a.effectiveSize() == b.effectiveSize() && a.recipe == b.recipe;
}

inline bool operator!=(const Recipe& a, const Recipe& b)
{
    return !(a == b);
}

// Agrees with operator==: the document enters in its compact form, the size only when exact.
inline uint qHash(const Recipe& r, uint seed = 0)
{
    return qHash(r.provider, seed) ^ (qHash(r.ioChannel, seed) << 1) ^ qHash(r.imageUuid, seed)
        ^ qHash(r.recipe.toJson(QJsonDocument::Compact), seed) ^ qHash(r.effectiveSize(), seed);
}

Q_DECLARE_METATYPE(Recipe)
