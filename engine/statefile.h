#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <istream>
#include <ostream>
#include <string>

// Identity of a state file as last read or written: an unforced save overwrites it only
// when it is still exactly this (size, modification time to the nanosecond and file
// identity), so edits made behind the reader's back are not lost.
struct StateStamp
{
    qint64 size = -1; // -1: there was no file
    qint64 mtimeNs = 0;
    quint64 inode = 0;
    quint64 device = 0;

    bool exists() const { return size >= 0; }
    static StateStamp of(const QString& path);
    static StateStamp of(int fd);
    bool operator==(const StateStamp& o) const
    {
        return size == o.size && mtimeNs == o.mtimeNs && inode == o.inode && device == o.device;
    }
    bool operator!=(const StateStamp& o) const { return !(*this == o); }
};

// Edits that could not be written when their picture was closed: the state as its editor
// would have written it, and the state file as it was when the edits were made over it.
struct UnsavedState
{
    QString statePath;
    std::string bytes;
    StateStamp madeOver;
    // The picture's own file: once it is gone (to the bin), the edits go with it.
    QString picture;
};

// The per-picture state file beside a raw file, with its lock and backup companions.
// Every write either appends or writes a complete new file and renames it into place,
// so a failure or a crash leaves the previous state whole.
class StateFile
{
public:
    using Writer = std::function<void(std::ostream&)>;
    using Reader = std::function<void(std::istream&)>;

    enum class Result {
        Saved,
        ChangedOnDisk, // another writer changed the file since it was read; left alone
        Failed, // nothing written; the previous state is intact
        Busy, // the lock was not had within the wait asked for; nothing written
        PictureGone, // the picture the state belongs to went (to the bin) first; nothing written
    };

    // Folder of the raw file + complete base name + ".vrxs" (IMG.1.vrx -> IMG.1.vrxs).
    static QString pathFor(const QUrl& rawFile);
    // The same rule with another suffix (".vrxc.tmp" etc.).
    static QString siblingPath(const QUrl& rawFile, const QString& suffix);
    static QString lockPath(const QString& statePath) { return statePath + QStringLiteral(".lock"); }
    static QString backupPath(const QString& statePath) { return statePath + QStringLiteral("_temp"); }

    // A full save under the lock file. Unless `force`, a file that differs from `stamp`
    // is not overwritten. The previous file is copied to the "_temp" backup while the
    // save runs (a stale backup is replaced first); the new state is produced in memory,
    // written beside the file, flushed and renamed over it. On success `stamp` describes
    // the new file and the backup is gone. `error` receives the reason of a failure. With
    // `lockWaitMs` at 0 or more the lock is waited for that long at most (Busy after).
    // With `picture` given, nothing is written once that file is gone: a save that waited
    // for the lock while the picture went to the bin leaves no state beside its name.
    static Result save(const QString& statePath, bool force, StateStamp& stamp, const Writer& writer,
        QString* error = nullptr, int lockWaitMs = -1, const QString& picture = QString());

    // Edits kept since their picture was closed (UnsavedState), written unless the state
    // file changed since they were made over it (a state that was there and is gone counts
    // as changed: the bin took it) or the picture is gone.
    static Result saveKept(const UnsavedState& edits, QString* error, int lockWaitMs);

    enum class ReadResult {
        Read,
        NoFile, // there is no state file; nothing read
        Busy, // the lock was not had within the wait asked for; nothing read
    };

    // Reads the file under the lock file and sets `stamp`. A missing file whose backup
    // survived an interrupted save of an older writer is restored first. Returns false,
    // reading nothing, when there is no state file. Exceptions of `reader` propagate
    // (the lock is released). Waits for the lock as long as another holder keeps it.
    static bool read(const QString& statePath, const Reader& reader, StateStamp& stamp);
    // The same with the lock waited for `lockWaitMs` at most (no limit when negative).
    static ReadResult read(const QString& statePath, const Reader& reader, StateStamp& stamp, int lockWaitMs);
    // Whether the lock file could be had right now (it is let go at once).
    static bool lockIsFree(const QString& statePath);

    // Writes a complete new file at `path` and renames it into place (no lock taken).
    // Throws std::runtime_error "Couldn't open file for writing!" or with the reason.
    static void replace(const QString& path, const Writer& writer);
    // Appends what `writer` produces to `path`, creating it when absent (no lock taken), and
    // syncs it. A file that does not end on a record boundary is first cut back to its last
    // intact record (rewritten whole, as replace() does); so is a file that gets more than
    // one segment, which must land all together. Throws std::runtime_error when not every
    // byte was written and synced; the file then ends where it did before.
    static void appendTo(const QString& path, const Writer& writer);

    // Copies a state file that cannot be read whole beside it, before anything is written
    // over it: to the first free name of ".unreadable", ".unreadable2", ... Returns that
    // name, or an empty string when the copy could not be made whole.
    static QString keepAside(const QString& statePath);

    // Appends a rating record to the picture's state file under its lock file. Throws
    // std::runtime_error when the lock is not had within `lockWaitMs` or the write fails.
    static constexpr int kRatingLockWaitMs = 2000;
    static void writeRating(const QUrl& rawFile, int rating, int lockWaitMs = kRatingLockWaitMs);

    // How written state reaches the device: fsync by default; a test puts in one that
    // fails (a disk that reports an input/output error). Null brings back the default.
    using Sync = int (*)(int fd);
    static void setSync(Sync sync);
};

inline QString stateFilePathFor(const QUrl& rawFile)
{
    return StateFile::pathFor(rawFile);
}

inline QString siblingPath(const QUrl& rawFile, const QString& suffix)
{
    return StateFile::siblingPath(rawFile, suffix);
}

inline void writeRating(const QUrl& rawFile, int rating)
{
    StateFile::writeRating(rawFile, rating);
}
