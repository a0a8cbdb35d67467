#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <memory>
#include <utility>

#include "core/leavableworker.h"

class ThreadedWatcher;
class ReplyTarget;

// One entry of a session of watched folders: a folder (tree) or a set of named files in
// one folder, opened (inclusive) or closed (not inclusive). An opening Root that is active
// watches its folder, and its subfolders when recursive, and reports every matching file
// that appears or disappears as a path. A closing Root watches nothing; it only answers
// whether it excludes a path. GUI thread only, but it never reads a folder here: every
// read, the first one when the Root starts watching included, runs on a thread of the
// Root's own (the library may be on a network or removable drive that hangs), and what
// changed is announced here when the read is in. A folder is watched before it is read, so
// a file that comes or goes while the read runs is announced once, by a later read.
class Root : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ active WRITE setActive NOTIFY activeChanged)
public:
    // A folder Root is occlusive: it takes every file of its folder (tree) that matches its
    // wildcard patterns. A file Root is not: its patterns are exact file names.
    // The folder's canonical path is looked up off this thread; until it is in, the rules
    // know the folder by its own spelling only.
    Root(QObject* parent, const QString& folder, bool recursive, bool occlusive, const QStringList& patterns,
        bool inclusive);
    // The same, with the folder's canonical path as the caller found it (empty: the folder
    // is not there).
    Root(QObject* parent, const QString& folder, bool recursive, bool occlusive, const QStringList& patterns,
        bool inclusive, const QString& canonical);
    ~Root() override;

    // What the disk says of a path, asked on any thread: whether it is there and a folder,
    // its clean absolute and canonical paths, and whether a folder can be listed.
    struct Location
    {
        bool exists = false;
        bool isDir = false;
        bool readable = false;
        QString absolute;
        QString canonical;
        QString parentCanonical; // of the folder that holds it
    };
    static Location locate(const QString& path);

    QString folderPath() const { return m_folder; }
    bool recursive() const { return m_recursive; }
    bool occlusive() const { return m_occlusive; }
    bool inclusive() const { return m_inclusive; }
    bool active() const { return m_active; }
    const QSet<QString>& patterns() const { return m_patterns; }
    // Patterns in the order they were added.
    QStringList patternList() const;

    // Adds patterns (set union) and reads the followed folders again.
    void setGlobbing(const QStringList& patterns);
    // Follows a directory: watches it (reading it again on a timer when the system refuses
    // a watch) and has it read, announcing its files when the read is in. A directory
    // already followed under its canonical path is not followed a second time, so symbolic
    // links back into the tree end there. `canonical` is the directory's canonical path
    // when the caller knows it; otherwise the read finds it.
    void addDir(const QString& dir, const QString& canonical = QString());
    // Has the folder read again, and every followed folder the system would not watch,
    // announcing what appeared and what went since they were last read.
    void rescan();
    // How often folders that could not be watched are read again (milliseconds).
    void setRescanInterval(int ms);

    // True when the path lies in the folder (directly, or anywhere below when recursive).
    bool containsPath(const QString& path) const;
    // The rules that keep a session's list of Roots short.
    bool covers(const Root& other) const;
    bool occludes(const Root& other) const;
    bool overlaps(const Root& other) const;
    bool merge(const Root& other);
    bool cancel(const Root& other);
    // Meaningful for closing Roots: the path is removed by this Root.
    bool excludes(const QString& path) const;
    // Meaningful for opening Roots: the path is admitted by this Root.
    bool includes(const QString& path) const;
    // The same for a path known to name a file (not a folder), without asking the disk.
    // `canonicalDir` is the canonical path of the file's folder when the caller knows it:
    // without it, a folder reached through another spelling is not recognised.
    bool excludesFile(const QString& path, const QString& canonicalDir = QString()) const;
    bool includesFile(const QString& path, const QString& canonicalDir = QString()) const;
    // The canonical path of a directory this Root follows (or of its folder), as last read;
    // empty when not known.
    QString knownCanonical(const QString& dir) const;
    // Every directory followed, with its canonical path as last read.
    QHash<QString, QString> followedCanonicals() const { return m_canonicalOf; }
    QString folderCanonical() const { return m_folderCanonical; }

    // A closing Root's rule as a value, for any thread: excludesFile as the Root answers
    // it when the value is taken.
    struct Exclusion
    {
        QString folder;
        QString canonical;
        bool recursive = false;
        bool occlusive = false;
        QSet<QString> names;
        bool excludesFile(const QString& path, const QString& canonicalDir) const;
    };
    Exclusion exclusion() const;
    // Matching files now on disk, at most `limit` of them (all when negative). Reads the
    // disk on the calling thread; requestList does the same off it.
    QStringList listFiles(int limit = -1) const;
    // Lists the matching files on the Root's thread; listed() hands them over.
    void requestList();
    // What listFiles does, for a Root of these arguments, on any thread.
    static QStringList listTree(
        const QString& folder, bool recursive, bool occlusive, const QStringList& patterns, int limit = -1);
    // The first few files listFiles gives, as last read; empty until read. requestPreview
    // reads them off this thread, and previewChanged tells when they are in or out of date.
    static constexpr int kPreviewSize = 3;
    QStringList preview() const { return m_preview; }
    bool previewKnown() const { return m_previewState == PreviewState::Known; }
    void requestPreview();

    // Same folder, whatever spelling or link leads to it.
    bool sameFolder(const Root& other) const;
    // The directories currently followed (watched or, past the watch limit, only scanned).
    QStringList followedDirectories() const { return m_canonicalOf.keys(); }
    // Folders are being read, or their difference waits to be announced.
    bool isReading() const
    {
        return !m_inFlight.isEmpty() || m_listing > 0 || m_previewState == PreviewState::Reading
            || !m_announce.empty() || m_checkingFolder || !m_awaitingWatch.isEmpty();
    }
    // The folder's canonical path is still being looked up (located() tells when it is in).
    bool isLocating() const { return m_locating; }
    // Files are announced at most this many to a turn of the event loop.
    static constexpr int kAnnounceSlice = 1000;

public slots:
    void setActive(bool on);
    void onDirectoryChanged(const QString& dir);
    void onFileChanged(const QString& path);

signals:
    void activeChanged(bool active);
    void addFile(const QString& path);
    void delFile(const QString& path);
    // The files a requestList found.
    void listed(const QStringList& files);
    void previewChanged();
    // The last read under way is in (isReading() turned false).
    void settled();
    // The folder's canonical path is in (isLocating() turned false).
    void located();

protected:
    // Asks for a directory to be put under watch; false when refused at once (watchAnswered
    // tells a refusal that comes later).
    virtual bool watchDirectory(const QString& dir);
    virtual void unwatchDirectory(const QString& dir);

private:
    // What a read of one folder found (any thread).
    struct Listing
    {
        QString canonical; // empty when the folder is gone
        QString identity; // which folder it is (device and node), empty when gone
        QSet<QString> files;
        QHash<QString, QString> subdirs; // path to canonical path
    };
    static QString identityOf(const QString& dir);
    // The folder's parent changed: the folder may have been renamed, moved or made
    // anew there, which nothing watching the folder itself reports.
    void checkFolder();
    static Listing readFolder(
        const QString& dir, bool occlusive, bool recursive, const QStringList& patterns);
    // Has the folder read off this thread, or again once the read under way is in. With
    // `outdated`, the read under way is not applied (it used patterns that changed).
    void requestRead(const QString& dir, bool outdated = false);
    // The watcher's report: the folder is read again off this thread.
    void onWatchedChange(const QString& dir);
    // The system's answer to a watch asked for (off this thread: the path may hang).
    void watchAnswered(const QString& dir, bool ok);
    void startRead(const QString& dir);
    void applyRead(const QString& dir, quint64 serial, const Listing& listing);
    void diffFiles(const QString& dir, const QSet<QString>& current);
    void diffSubdirs(const QString& dir, const QHash<QString, QString>& current);
    void unfollow(const QString& dir);
    void notePreviewChange(const QStringList& removed, const QStringList& added);
    void tellIfSettled();
    // Has the rescan timer run.
    void startRescans();
    // Queues announcements (removals first) and makes the first slice of them.
    void announce(const QStringList& removed, const QStringList& added);
    void announceSlice();
    bool matchesName(const QString& name) const;
    bool patternsCover(const Root& other) const;
    // `canonical` is the directory's canonical path when known: the disk is not asked.
    bool containsDirectory(const QString& dirPath, const QString& canonical = QString()) const;
    QSet<QString> currentFiles(const QString& dir) const;
    static QSet<QString> currentSubdirs(const QString& dir);
    void forgetSubtree(const QString& top);
    void refresh();
    void compilePatterns();

    QString m_folder; // clean absolute path
    QString m_folderCanonical; // empty while the folder does not exist or is not looked up
    bool m_locating = false; // the folder's canonical path is being looked up
    bool m_recursive;
    bool m_occlusive;
    bool m_inclusive;
    bool m_active = false;
    bool m_warnedUnwatchable = false;

    QSet<QString> m_patterns;
    QStringList m_patternOrder;
    QList<QRegularExpression> m_compiled;

    ThreadedWatcher* m_watcher = nullptr;
    // Followed directories the system would not watch, read again by the timer.
    QSet<QString> m_unwatched;
    // Followed directories whose watch the system dropped (the folder was removed or moved
    // away, or its drive went): read again by the timer for good, so that they are seen
    // when they come back, on a drive mounted again too (a watch does not see that).
    QSet<QString> m_dropped;
    // The folder's parent, watched while the Root is, and which folder the folder was
    // when last read.
    QString m_parentWatched;
    QString m_folderIdentity;
    // Which folder each followed directory's watch is on, as last read.
    QHash<QString, QString> m_watchedIdentity;
    bool m_checkingFolder = false;
    bool m_checkAgain = false;
    QTimer* m_rescanTimer = nullptr;
    int m_rescanMs = 5000;
    // Followed directory to the file paths last seen in it.
    QHash<QString, QSet<QString>> m_knownFiles;
    // Followed directory (recursive Roots) to the subfolder paths last seen in it.
    QHash<QString, QSet<QString>> m_knownDirs;
    // Followed directory to its canonical path (empty until its first read finds it), and
    // back.
    QHash<QString, QString> m_canonicalOf;
    QHash<QString, QString> m_dirOfCanonical;
    // Canonical path to the directories not followed because it already was.
    QHash<QString, QStringList> m_shadowed;
    // Folders being read off this thread, by the serial number of the read; those due to
    // be read again once it is in. A read is applied only while its serial number is the
    // folder's generation: a read here since, or a change of patterns, moves that on, and
    // stopping forgets every read under way.
    QHash<QString, quint64> m_inFlight;
    QSet<QString> m_again;
    // Folders first read once their watch is answered: what changes after the read began
    // is then reported.
    QSet<QString> m_awaitingWatch;
    QHash<QString, quint64> m_generation;
    quint64 m_serial = 0;
    // Listings asked for with requestList and not yet in.
    int m_listing = 0;
    enum class PreviewState { Unknown, Reading, Known };
    PreviewState m_previewState = PreviewState::Unknown;
    bool m_previewAgain = false;
    QStringList m_preview;
    // Announcements not made yet (true: added), and whether a slice of them is due.
    std::deque<std::pair<bool, QString>> m_announce;
    bool m_slicePosted = false;
    std::shared_ptr<ReplyTarget> m_replies;
    LeavableWorker m_reader;
};
