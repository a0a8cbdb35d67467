#pragma once

#include <QString>

#include "platform/itrashmover.h"

// The freedesktop.org trash, one file at a time. The home trash under the data folder
// is created first (mode 0700), and a move that did not end in a trash folder is
// undone and counted as a failure.
class FreedesktopTrash
{
public:
    explicit FreedesktopTrash(ITrashMover& mover = systemTrashMover());

    bool moveToTrash(const QString& path);
    // The same, telling where in the trash the file went.
    bool moveToTrash(const QString& path, QString* pathInTrash);
    // Moves a file the trash took back to where it was, never over a file that took its
    // place meanwhile, and drops its trash record; false when it stays in the trash.
    bool restore(const QString& original, const QString& pathInTrash);

    // "$XDG_DATA_HOME/Trash" (or its default under the home folder).
    static QString homeTrash();
    // Creates the home trash with its "files" and "info" folders.
    static bool ensureHomeTrash();
    // True for an absolute path directly inside the "files" folder of the home trash
    // or of a volume's ".Trash-<uid>" or ".Trash/<uid>" folder.
    static bool isTrashLocation(const QString& pathInTrash);

private:
    ITrashMover& m_mover;
};
