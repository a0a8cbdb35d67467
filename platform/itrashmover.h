#pragma once

#include <QString>

// Moves one file into a trash can and tells where it ended up.
class ITrashMover
{
public:
    virtual ~ITrashMover() = default;
    virtual bool moveToTrash(const QString& path, QString* pathInTrash) = 0;
};

// The mover of the running system (QFile::moveToTrash).
ITrashMover& systemTrashMover();
