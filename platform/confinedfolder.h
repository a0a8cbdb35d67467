#pragma once

#include <QByteArray>
#include <QString>

#include "platform/ifilecalls.h"

// A folder inside a volume's root, held open by descriptor, whose files are made and
// written without following a symbolic link on the way and never on another file
// system: a link planted where the folder, a sub-folder or the file should be, or a
// volume that is no longer mounted at its root, makes the write fail instead of
// reaching a file elsewhere.
class ConfinedFolder
{
public:
    ConfinedFolder() = default;
    ConfinedFolder(const ConfinedFolder&) = delete;
    ConfinedFolder& operator=(const ConfinedFolder&) = delete;
    ConfinedFolder(ConfinedFolder&& other) noexcept;
    ConfinedFolder& operator=(ConfinedFolder&& other) noexcept;
    ~ConfinedFolder();

    // The file system (device number) of the folder `root`; 0 when it is not a folder.
    static quint64 deviceOf(const QString& root);

    // Opens the folder `name` (one path component) inside `root`, making it when `create`
    // says so. Fails (invalid result, `*error` says why) when `root` is not on `device`,
    // or `name` is a link, not a folder or on another file system.
    static ConfinedFolder open(
        const QString& root, const QString& name, quint64 device, bool create, QString* error);

    bool isValid() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }

    // Writes `bytes` to the regular file `relativePath` below the folder (sub-folders made
    // as needed), replacing its contents, and forces it and its folder to the device.
    // Refuses ".." components, links, files with other names (hard links) and other
    // file systems. The syncs go through `calls`.
    bool write(const QString& relativePath, const QByteArray& bytes, QString* error,
        IFileCalls& calls = systemFileCalls()) const;

private:
    explicit ConfinedFolder(int fd, quint64 device)
        : m_fd(fd)
        , m_device(device)
    { }

    int m_fd = -1;
    quint64 m_device = 0;
};
