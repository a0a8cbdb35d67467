#pragma once

#include "engine/statefile.h"

#include <QHash>
#include <QString>
#include <QUrl>

#include <memory>

// Edits kept since their picture was closed without them saved (its disk was full or
// read-only), each in a small file of its own in the application's data folder, which is
// as a rule on another disk than the pictures. They outlive a crash or a quit while the
// picture's disk still refuses them, and are picked up again at the next start.
// Every write is durable: a temporary file, synced, renamed into place, its folder synced.
// Safe to use from several threads for different pictures; one picture's file is written
// by one thread at a time (the caller's lock).
class KeptEdits
{
public:
    // The application's data folder + "/kept-edits".
    static QString defaultFolder();

    explicit KeptEdits(const QString& folder = QString());

    QString folder() const { return m_folder; }
    void setFolder(const QString& folder) { m_folder = folder; }

    // Writes the edits of the picture known as `key`, replacing what was kept for it.
    // False when they could not be written whole; what was kept for it before is then
    // removed too, so an older state never stands for these edits. (Also false, the file
    // in place, when its folder could not be synced.)
    bool store(const QUrl& key, const UnsavedState& edits) const;
    // Removes what is kept for `key`, if anything.
    void remove(const QUrl& key) const;
    bool contains(const QUrl& key) const;
    // Everything kept in the folder, by picture. A file that cannot be read whole is left
    // where it is (a newer version may have written it) and is not part of the answer. The
    // temporary files of writes a crash cut short are removed: call it before any write.
    QHash<QUrl, std::shared_ptr<const UnsavedState>> load() const;
    // Where the edits of `key` are kept.
    QString pathFor(const QUrl& key) const;

private:
    QString m_folder;
};
