#include "library/root.h"
#include "library/logging.h"

#include "core/replytarget.h"
#include "core/threadedwatcher.h"
#include "engine/vrxcompress.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QScopeGuard>
#include <QThreadPool>
#include <qplatformdefs.h>

#include <dirent.h>

namespace {

QString cleanAbsolute(const QString& path)
{
    // Paths that come from listings are clean already: those are taken as they are (the
    // session vets every file it holds against a closed folder).
    const bool clean = path.startsWith(QLatin1Char('/')) && !path.endsWith(QLatin1Char('/'))
        && !path.contains(QLatin1String("//")) && !path.contains(QLatin1String("/./"))
        && !path.contains(QLatin1String("/../")) && !path.endsWith(QLatin1String("/."))
        && !path.endsWith(QLatin1String("/.."));
    if (clean)
        return path;
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// "a/b" contains "a/b" and, when `below`, everything under "a/b/".
bool pathWithin(const QString& dir, const QString& top, bool below)
{
    if (top.isEmpty())
        return false;
    if (dir == top)
        return true;
    if (!below)
        return false;
    if (top.endsWith(QLatin1Char('/')))
        return dir.startsWith(top);
    return dir.size() > top.size() && dir.startsWith(top) && dir.at(top.size()) == QLatin1Char('/');
}

QString parentOf(const QString& path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

// Whether a folder (tree) holds a directory, by its path or, when both are known, by
// where it leads.
bool folderHolds(const QString& folder, const QString& folderCanonical, bool recursive, const QString& dir,
    const QString& dirCanonical)
{
    if (pathWithin(dir, folder, recursive))
        return true;
    return !folderCanonical.isEmpty() && !dirCanonical.isEmpty()
        && pathWithin(dirCanonical, folderCanonical, recursive);
}

// Whether a closing rule removes a file: one of its folder, and taken by its patterns.
bool closesFile(const QString& folder, const QString& folderCanonical, bool recursive, bool occlusive,
    const QSet<QString>& names, const QString& path, const QString& canonicalDir)
{
    if (!folderHolds(
            folder, folderCanonical, recursive, cleanAbsolute(parentOf(cleanAbsolute(path))), canonicalDir))
        return false;
    return occlusive || names.contains(QFileInfo(path).fileName());
}

constexpr QDir::Filters kSubdirFilters = QDir::Dirs | QDir::Drives | QDir::NoDotAndDotDot;

} // namespace

Root::Root(QObject* parent, const QString& folder, bool recursive, bool occlusive,
    const QStringList& patterns, bool inclusive)
    : QObject(parent)
    , m_folder(cleanAbsolute(folder))
    , m_recursive(recursive)
    , m_occlusive(occlusive)
    , m_inclusive(inclusive)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    setGlobbing(patterns);
    // The folder may be on a drive that hangs: its canonical path is looked up off this
    // thread, and the rules use it once it is in.
    m_locating = true;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_reader.start([this, replies, folder = m_folder] {
        const QString canonical = locate(folder).canonical;
        replies->post([this, canonical] {
            m_locating = false;
            if (m_folderCanonical.isEmpty())
                m_folderCanonical = canonical;
            emit located();
        });
    });
}

Root::Root(QObject* parent, const QString& folder, bool recursive, bool occlusive,
    const QStringList& patterns, bool inclusive, const QString& canonical)
    : QObject(parent)
    , m_folder(cleanAbsolute(folder))
    , m_folderCanonical(canonical)
    , m_recursive(recursive)
    , m_occlusive(occlusive)
    , m_inclusive(inclusive)
    , m_replies(std::make_shared<ReplyTarget>(this))
{
    setGlobbing(patterns);
}

Root::Location Root::locate(const QString& path)
{
    Location location;
    const QFileInfo info(QDir::cleanPath(path));
    location.absolute = QDir::cleanPath(info.absoluteFilePath());
    location.parentCanonical = QFileInfo(parentOf(location.absolute)).canonicalFilePath();
    location.exists = info.exists();
    if (!location.exists)
        return location;
    location.isDir = info.isDir();
    location.canonical = info.canonicalFilePath();
    if (location.isDir) {
        // Whether it can be listed: a folder without the right to read it shows nothing.
        if (DIR* d = ::opendir(QFile::encodeName(location.absolute).constData())) {
            location.readable = true;
            ::closedir(d);
        }
    }
    return location;
}

Root::~Root()
{
    m_replies->close();
    // A read that hangs on a drive is left to end on its own.
    m_reader.leave(0);
}

QStringList Root::patternList() const
{
    return m_patternOrder;
}

void Root::compilePatterns()
{
    m_compiled.clear();
    if (!m_occlusive)
        return; // file names are compared exactly
    for (const QString& pattern : m_patternOrder) {
        m_compiled.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
            QRegularExpression::CaseInsensitiveOption));
    }
}

void Root::setGlobbing(const QStringList& patterns)
{
    for (const QString& pattern : patterns) {
        if (pattern.isEmpty() || m_patterns.contains(pattern))
            continue;
        m_patterns.insert(pattern);
        m_patternOrder.append(pattern);
    }
    compilePatterns();
    refresh();
}

void Root::refresh()
{
    if (!m_inclusive)
        return;
    const QStringList dirs = m_knownFiles.keys();
    for (const QString& dir : dirs)
        requestRead(dir, true); // a read under way used the old patterns
    notePreviewChange({}, {}); // other names now
}

bool Root::matchesName(const QString& name) const
{
    if (!m_occlusive)
        return m_patterns.contains(name);
    for (const QRegularExpression& re : m_compiled) {
        if (re.match(name).hasMatch())
            return true;
    }
    return false;
}

bool Root::containsDirectory(const QString& dirPath, const QString& canonical) const
{
    // The same folder may be reached through another spelling (a symbolic link): that
    // counts as far as the caller knows where the directory leads. The disk is not asked.
    return folderHolds(m_folder, m_folderCanonical, m_recursive, cleanAbsolute(dirPath), canonical);
}

bool Root::containsPath(const QString& path) const
{
    const QFileInfo info(path);
    const QString dir = info.isDir() ? info.absoluteFilePath() : parentOf(cleanAbsolute(path));
    if (containsDirectory(dir))
        return true;
    return !m_folderCanonical.isEmpty() && containsDirectory(dir, QFileInfo(dir).canonicalFilePath());
}

QString Root::knownCanonical(const QString& dir) const
{
    if (dir == m_folder)
        return m_folderCanonical;
    return m_canonicalOf.value(dir);
}

bool Root::sameFolder(const Root& other) const
{
    if (m_folder == other.m_folder)
        return true;
    return !m_folderCanonical.isEmpty() && m_folderCanonical == other.m_folderCanonical;
}

bool Root::covers(const Root& other) const
{
    return (m_recursive || !other.m_recursive) && containsDirectory(other.m_folder, other.m_folderCanonical);
}

bool Root::patternsCover(const Root& other) const
{
    if (!other.m_occlusive) {
        for (const QString& name : other.m_patterns) {
            if (!matchesName(name))
                return false;
        }
        return true;
    }
    if (!m_occlusive)
        return false; // named files never take a whole folder
    for (const QString& pattern : other.m_patterns) {
        bool found = false;
        for (const QString& mine : m_patterns) {
            if (mine.compare(pattern, Qt::CaseInsensitive) == 0) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

bool Root::occludes(const Root& other) const
{
    // An opening folder Root decides only the names its patterns match, so it hides
    // another Root only when it decides every file that one could.
    return m_occlusive && covers(other) && (!m_inclusive || patternsCover(other));
}

bool Root::overlaps(const Root& other) const
{
    return covers(other) || other.covers(*this);
}

bool Root::merge(const Root& other)
{
    if (!sameFolder(other) || m_inclusive != other.m_inclusive)
        return false;
    if (m_occlusive || other.m_occlusive)
        return false;
    setGlobbing(other.patternList());
    return true;
}

bool Root::cancel(const Root& other)
{
    if (!sameFolder(other) || m_occlusive || other.m_occlusive || m_inclusive == other.m_inclusive)
        return false;
    for (const QString& name : other.m_patterns) {
        m_patterns.remove(name);
        m_patternOrder.removeAll(name);
    }
    compilePatterns();
    refresh();
    return true;
}

bool Root::excludes(const QString& path) const
{
    if (m_inclusive || !containsPath(path))
        return false;
    if (m_occlusive)
        return true;
    return m_patterns.contains(QFileInfo(path).fileName());
}

bool Root::includes(const QString& path) const
{
    if (!m_inclusive || !containsPath(path))
        return false;
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    if (m_patterns.isEmpty())
        return true;
    return matchesName(info.fileName());
}

bool Root::excludesFile(const QString& path, const QString& canonicalDir) const
{
    return !m_inclusive
        && closesFile(m_folder, m_folderCanonical, m_recursive, m_occlusive, m_patterns, path, canonicalDir);
}

Root::Exclusion Root::exclusion() const
{
    Exclusion rule;
    rule.folder = m_folder;
    rule.canonical = m_folderCanonical;
    rule.recursive = m_recursive;
    rule.occlusive = m_occlusive;
    rule.names = m_patterns;
    return rule;
}

bool Root::Exclusion::excludesFile(const QString& path, const QString& canonicalDir) const
{
    return closesFile(folder, canonical, recursive, occlusive, names, path, canonicalDir);
}

bool Root::includesFile(const QString& path, const QString& canonicalDir) const
{
    if (!m_inclusive || !containsDirectory(parentOf(cleanAbsolute(path)), canonicalDir))
        return false;
    if (m_patterns.isEmpty())
        return true;
    return matchesName(QFileInfo(path).fileName());
}

QSet<QString> Root::currentFiles(const QString& dir) const
{
    return readFolder(dir, m_occlusive, false, m_patternOrder).files;
}

QSet<QString> Root::currentSubdirs(const QString& dir)
{
    QSet<QString> current;
    QDirIterator it(dir, kSubdirFilters, QDirIterator::FollowSymlinks);
    while (it.hasNext())
        current.insert(it.next());
    return current;
}

QString Root::identityOf(const QString& dir)
{
    QT_STATBUF info;
    if (QT_STAT(QFile::encodeName(dir).constData(), &info) != 0)
        return QString();
    return QStringLiteral("%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
}

void Root::checkFolder()
{
    if (m_checkingFolder) {
        m_checkAgain = true;
        return;
    }
    m_checkingFolder = true;
    m_checkAgain = false;
    const QString folder = m_folder;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_reader.start([this, replies, folder] {
        const QString identity = identityOf(folder);
        replies->post([this, identity] {
            m_checkingFolder = false;
            if (m_active) {
                if (!m_canonicalOf.contains(m_folder)) {
                    if (!identity.isEmpty())
                        addDir(m_folder); // there now
                } else if (identity != m_folderIdentity) {
                    requestRead(m_folder); // gone, or another folder in its place
                }
                if (m_checkAgain)
                    checkFolder();
            }
            tellIfSettled();
        });
    });
}

Root::Listing Root::readFolder(
    const QString& dir, bool occlusive, bool recursive, const QStringList& patterns)
{
    Listing listing;
    listing.canonical = QFileInfo(dir).canonicalFilePath();
    if (listing.canonical.isEmpty())
        return listing; // gone, or never there
    listing.identity = identityOf(dir);
    if (!occlusive) {
        const QDir d(dir);
        for (const QString& name : patterns) {
            const QFileInfo info(d, name);
            if (info.isFile())
                listing.files.insert(info.filePath());
        }
    } else {
        // A folder being indexed loses what compressions cut off by a kill left in it.
        VrxCompress::removeLeftovers(dir);
        QDirIterator it(dir, patterns, QDir::Files, QDirIterator::FollowSymlinks);
        while (it.hasNext())
            listing.files.insert(it.next());
    }
    if (recursive) {
        QDirIterator it(dir, kSubdirFilters, QDirIterator::FollowSymlinks);
        while (it.hasNext()) {
            const QString sub = it.next();
            // A link that leads nowhere, or a folder gone since, is no folder to follow.
            const QString canonical = it.fileInfo().canonicalFilePath();
            if (!canonical.isEmpty())
                listing.subdirs.insert(sub, canonical);
        }
    }
    return listing;
}

bool Root::watchDirectory(const QString& dir)
{
    // Each watcher holds a system resource of its own, so only a Root that watches has one.
    if (!m_watcher) {
        m_watcher = new ThreadedWatcher(this);
        connect(m_watcher, &ThreadedWatcher::directoryChanged, this, &Root::onWatchedChange);
        connect(m_watcher, &ThreadedWatcher::added, this, &Root::watchAnswered);
    }
    return m_watcher->addPath(dir);
}

void Root::watchAnswered(const QString& dir, bool ok)
{
    if (m_awaitingWatch.remove(dir) && m_canonicalOf.contains(dir))
        requestRead(dir);
    if (ok)
        return;
    if (dir == m_parentWatched) {
        m_parentWatched.clear();
        return;
    }
    if (!m_canonicalOf.contains(dir) || m_unwatched.contains(dir) || m_dropped.contains(dir))
        return;
    // Usually the system's limit on watches (or a folder that is not there): once its read
    // finds it, the folder is read again on every rescan.
    m_unwatched.insert(dir);
    if (!m_canonicalOf.value(dir).isEmpty() && !m_inFlight.contains(dir)) {
        if (!m_warnedUnwatchable) {
            m_warnedUnwatchable = true;
            qCWarning(lcLibrary) << "Can't watch folder, reading it again every" << m_rescanMs
                                 << "ms:" << dir;
        }
        startRescans();
    }
}

void Root::unwatchDirectory(const QString& dir)
{
    if (m_watcher)
        m_watcher->removePath(dir);
}

void Root::setActive(bool on)
{
    if (on == m_active)
        return;
    m_active = on;
    if (on) {
        qCDebug(lcLibrary) << "Starting:" << m_folder;
        if (m_inclusive) {
            const QString parent = parentOf(m_folder);
            if (!parent.isEmpty() && parent != m_folder && watchDirectory(parent))
                m_parentWatched = parent;
            addDir(m_folder, m_folderCanonical);
        }
    } else {
        qCDebug(lcLibrary) << "Stopping:" << m_folder;
        const QStringList dirs = m_canonicalOf.keys();
        for (const QString& dir : dirs)
            unwatchDirectory(dir);
        if (!m_parentWatched.isEmpty())
            unwatchDirectory(m_parentWatched);
        m_parentWatched.clear();
        m_folderIdentity.clear();
        m_watchedIdentity.clear();
        m_checkAgain = false;
        if (m_watcher) {
            m_watcher->disconnect(this);
            m_watcher->deleteLater();
            m_watcher = nullptr;
        }
        // A large folder's paths are let go on a pool thread: freeing them held the window.
        auto known = std::make_shared<QHash<QString, QSet<QString>>>();
        known->swap(m_knownFiles);
        QThreadPool::globalInstance()->start([known]() mutable { known.reset(); });
        m_knownDirs.clear();
        m_unwatched.clear();
        m_dropped.clear();
        if (m_rescanTimer)
            m_rescanTimer->stop();
        m_canonicalOf.clear();
        m_dirOfCanonical.clear();
        m_shadowed.clear();
        // What is still being read is of no concern any more: its answer is dropped.
        m_inFlight.clear();
        m_again.clear();
        m_awaitingWatch.clear();
        m_generation.clear();
        m_announce.clear();
    }
    emit activeChanged(on);
}

void Root::addDir(const QString& dirPath, const QString& canonical)
{
    const QString dir = QDir::cleanPath(dirPath);
    if (m_canonicalOf.contains(dir))
        return;
    if (!canonical.isEmpty() && m_dirOfCanonical.contains(canonical)) {
        QStringList& shadowed = m_shadowed[canonical];
        if (!shadowed.contains(dir))
            shadowed.append(dir);
        return;
    }
    // Watched before it is read: what changes after the read began is reported.
    const bool asked = watchDirectory(dir);
    if (asked) {
        qCDebug(lcLibrary) << "AddDir:" << m_folder;
    } else {
        // Usually the system's limit on watches (or a folder that is not there): once its
        // read finds it, the folder is read again on every rescan, which a timer runs
        // while such folders exist.
        m_unwatched.insert(dir);
    }
    m_canonicalOf.insert(dir, canonical);
    if (!canonical.isEmpty())
        m_dirOfCanonical.insert(canonical, dir);
    m_knownFiles[dir];
    if (m_recursive)
        m_knownDirs[dir];
    if (asked)
        m_awaitingWatch.insert(dir);
    else
        requestRead(dir);
}

void Root::unfollow(const QString& dir)
{
    unwatchDirectory(dir);
    m_unwatched.remove(dir);
    m_dropped.remove(dir);
    m_watchedIdentity.remove(dir);
    m_knownFiles.remove(dir);
    m_knownDirs.remove(dir);
    const QString canonical = m_canonicalOf.take(dir);
    if (!canonical.isEmpty() && m_dirOfCanonical.value(canonical) == dir)
        m_dirOfCanonical.remove(canonical);
    m_generation.remove(dir);
    m_again.remove(dir);
    m_awaitingWatch.remove(dir);
}

void Root::rescan()
{
    if (!m_inclusive)
        return;
    if (m_canonicalOf.contains(m_folder))
        requestRead(m_folder);
    if (m_unwatched.isEmpty() && m_dropped.isEmpty() && m_rescanTimer)
        m_rescanTimer->stop(); // nothing left that only the timer sees
    const QStringList unwatched = (m_unwatched + m_dropped).values();
    for (const QString& dir : unwatched) {
        if (!m_canonicalOf.contains(dir)) {
            m_unwatched.remove(dir); // no longer followed
            m_dropped.remove(dir);
            continue;
        }
        if (dir != m_folder)
            requestRead(dir);
    }
}

void Root::startRescans()
{
    if (!m_rescanTimer) {
        m_rescanTimer = new QTimer(this);
        m_rescanTimer->setInterval(m_rescanMs);
        connect(m_rescanTimer, &QTimer::timeout, this, &Root::rescan);
    }
    if (!m_rescanTimer->isActive())
        m_rescanTimer->start();
}

void Root::setRescanInterval(int ms)
{
    m_rescanMs = ms;
    if (m_rescanTimer)
        m_rescanTimer->setInterval(ms);
}

void Root::onDirectoryChanged(const QString& dirPath)
{
    const QString dir = QDir::cleanPath(dirPath);
    if (!m_canonicalOf.contains(dir))
        return; // no longer followed (a change that was already on its way)
    // Read here: a read under way off this thread is out of date.
    m_generation[dir] = ++m_serial;
    const Listing listing = readFolder(dir, m_occlusive, m_recursive, m_patternOrder);
    diffFiles(dir, listing.files);
    if (m_recursive && m_canonicalOf.contains(dir))
        diffSubdirs(dir, listing.subdirs);
}

void Root::onWatchedChange(const QString& dirPath)
{
    const QString dir = QDir::cleanPath(dirPath);
    if (dir == m_parentWatched && !m_canonicalOf.contains(dir)) {
        checkFolder();
        return;
    }
    if (!m_canonicalOf.contains(dir))
        return;
    if (m_watcher && !m_dropped.contains(dir) && !m_unwatched.contains(dir) && !m_watcher->watches(dir)) {
        qCInfo(lcLibrary) << "Folder went, reading it again every" << m_rescanMs << "ms:" << dir;
        m_dropped.insert(dir);
        startRescans();
    }
    requestRead(dir);
}

void Root::requestRead(const QString& dir, bool outdated)
{
    if (m_inFlight.contains(dir)) {
        m_again.insert(dir); // read again once this one is in
        if (outdated)
            m_generation[dir] = ++m_serial;
        return;
    }
    startRead(dir);
}

void Root::startRead(const QString& dir)
{
    const quint64 serial = ++m_serial;
    m_inFlight.insert(dir, serial);
    m_generation[dir] = serial;
    const bool occlusive = m_occlusive, recursive = m_recursive;
    const QStringList patterns = m_patternOrder;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_reader.start([this, replies, dir, serial, occlusive, recursive, patterns] {
        const Listing listing = readFolder(dir, occlusive, recursive, patterns);
        replies->post([this, dir, serial, listing] { applyRead(dir, serial, listing); });
    });
}

void Root::tellIfSettled()
{
    if (!isReading())
        emit settled();
}

void Root::applyRead(const QString& dir, quint64 serial, const Listing& listing)
{
    const auto inFlight = m_inFlight.find(dir);
    if (inFlight == m_inFlight.end() || inFlight.value() != serial)
        return; // asked for before the Root stopped: nobody waits for it
    m_inFlight.erase(inFlight);
    // Told once the difference is announced, whichever way this returns.
    const auto tell = qScopeGuard([this] { tellIfSettled(); });
    const bool again = m_again.remove(dir);
    if (!m_canonicalOf.contains(dir))
        return; // no longer followed
    if (serial == m_generation.value(dir)) {
        QString& canonical = m_canonicalOf[dir];
        if (canonical.isEmpty()) {
            // The first read of a folder whose canonical path was not known yet.
            if (listing.canonical.isEmpty()) {
                unfollow(dir); // not there
                return;
            }
            const QString other = m_dirOfCanonical.value(listing.canonical);
            if (!other.isEmpty() && other != dir) {
                unfollow(dir);
                m_shadowed[listing.canonical].append(dir);
                return;
            }
            canonical = listing.canonical;
            m_dirOfCanonical.insert(canonical, dir);
            if (dir == m_folder)
                m_folderCanonical = canonical; // there now, or not looked up before
        }
        if (m_unwatched.contains(dir) && !listing.canonical.isEmpty()) {
            if (!m_warnedUnwatchable) {
                m_warnedUnwatchable = true;
                qCWarning(lcLibrary) << "Can't watch folder, reading it again every" << m_rescanMs
                                     << "ms:" << dir;
            }
            startRescans();
        }
        // A folder back after it went is watched again (it is still read on the timer).
        if (m_dropped.contains(dir) && !listing.canonical.isEmpty() && m_watcher && !m_watcher->watches(dir))
            watchDirectory(dir);
        if (dir == m_folder)
            m_folderIdentity = listing.identity;
        if (!listing.identity.isEmpty()) {
            QString& watched = m_watchedIdentity[dir];
            if (!watched.isEmpty() && watched != listing.identity && !m_unwatched.contains(dir)) {
                // Another folder in its place: the watch still follows the one that went.
                unwatchDirectory(dir);
                watchDirectory(dir);
            }
            watched = listing.identity;
        }
        diffFiles(dir, listing.files);
        if (m_recursive && m_canonicalOf.contains(dir))
            diffSubdirs(dir, listing.subdirs);
    }
    if (again && m_canonicalOf.contains(dir))
        startRead(dir);
}

void Root::onFileChanged(const QString& path)
{
    qCDebug(lcLibrary) << "File changed" << path;
}

namespace {

// Replaces `known` with `current` and returns what left it and what joined it; the known
// set is up to date before anyone hears of the change.
QPair<QStringList, QStringList> takeDifference(QSet<QString>& known, const QSet<QString>& current)
{
    QPair<QStringList, QStringList> change;
    for (const QString& path : qAsConst(known)) {
        if (!current.contains(path))
            change.first.append(path);
    }
    for (const QString& path : current) {
        if (!known.contains(path))
            change.second.append(path);
    }
    known = current;
    return change;
}

} // namespace

void Root::diffFiles(const QString& dir, const QSet<QString>& current)
{
    auto known = m_knownFiles.find(dir);
    if (known == m_knownFiles.end())
        return;
    const auto change = takeDifference(*known, current);
    if (!change.first.isEmpty() || !change.second.isEmpty()) {
        notePreviewChange(change.first, change.second);
        announce(change.first, change.second);
    }
}

void Root::announce(const QStringList& removed, const QStringList& added)
{
    for (const QString& path : removed)
        m_announce.emplace_back(false, path);
    for (const QString& path : added)
        m_announce.emplace_back(true, path);
    if (!m_slicePosted)
        announceSlice();
}

void Root::announceSlice()
{
    // A folder of many files is announced a slice at a time, in order, so that the GUI
    // thread turns in between; stopping the Root drops what is left.
    for (int n = 0; n < kAnnounceSlice && !m_announce.empty(); ++n) {
        const std::pair<bool, QString> next = std::move(m_announce.front());
        m_announce.pop_front();
        if (next.first)
            emit addFile(next.second);
        else
            emit delFile(next.second);
    }
    if (m_announce.empty() || m_slicePosted)
        return;
    m_slicePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_slicePosted = false;
            announceSlice();
            tellIfSettled();
        },
        Qt::QueuedConnection);
}

void Root::diffSubdirs(const QString& dir, const QHash<QString, QString>& current)
{
    auto known = m_knownDirs.find(dir);
    if (known == m_knownDirs.end())
        return;
    const QSet<QString> paths(current.keyBegin(), current.keyEnd());
    const auto change = takeDifference(*known, paths);
    for (const QString& path : change.first)
        forgetSubtree(path);
    for (const QString& path : change.second)
        addDir(path, current.value(path));
}

void Root::forgetSubtree(const QString& top)
{
    // Drop every followed directory at or below `top`, announcing its files as gone: a
    // folder moved out of the tree reports nothing more about the files it took along.
    QStringList dirs;
    for (auto it = m_canonicalOf.cbegin(); it != m_canonicalOf.cend(); ++it) {
        if (pathWithin(it.key(), top, true))
            dirs.append(it.key());
    }
    QStringList freed;
    for (const QString& dir : qAsConst(dirs)) {
        const QSet<QString> files = m_knownFiles.value(dir);
        const QString canonical = m_canonicalOf.value(dir);
        unfollow(dir);
        m_inFlight.remove(dir); // its answer is of no use any more
        if (!canonical.isEmpty())
            freed.append(canonical);
        if (!files.isEmpty()) {
            notePreviewChange(files.values(), {});
            announce(files.values(), {});
        }
    }
    for (auto it = m_shadowed.begin(); it != m_shadowed.end();) {
        QStringList& paths = it.value();
        paths.erase(std::remove_if(paths.begin(), paths.end(),
                        [&](const QString& p) { return pathWithin(p, top, true); }),
            paths.end());
        if (paths.isEmpty())
            it = m_shadowed.erase(it);
        else
            ++it;
    }
    // A folder that was reached twice is followed again through its remaining link.
    for (const QString& canonical : qAsConst(freed)) {
        const QStringList waiting = m_shadowed.take(canonical);
        for (const QString& dir : waiting) {
            if (m_knownDirs.contains(parentOf(dir)))
                addDir(dir, canonical);
        }
    }
}

QStringList Root::listTree(
    const QString& folder, bool recursive, bool occlusive, const QStringList& patterns, int limit)
{
    QStringList result;
    if (limit == 0)
        return result;
    QSet<QString> visited;
    QStringList pending { folder };
    while (!pending.isEmpty()) {
        const QString dir = pending.takeFirst();
        const QString canonical = QFileInfo(dir).canonicalFilePath();
        if (canonical.isEmpty() || visited.contains(canonical))
            continue;
        visited.insert(canonical);
        QStringList files = readFolder(dir, occlusive, false, patterns).files.values();
        std::sort(files.begin(), files.end());
        for (const QString& file : qAsConst(files)) {
            result.append(file);
            if (limit > 0 && result.size() >= limit)
                return result;
        }
        if (recursive) {
            QStringList subdirs = currentSubdirs(dir).values();
            std::sort(subdirs.begin(), subdirs.end());
            pending.append(subdirs);
        }
    }
    return result;
}

QStringList Root::listFiles(int limit) const
{
    return listTree(m_folder, m_recursive, m_occlusive, m_patternOrder, limit);
}

void Root::requestList()
{
    ++m_listing;
    const QString folder = m_folder;
    const bool recursive = m_recursive, occlusive = m_occlusive;
    const QStringList patterns = m_patternOrder;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_reader.start([this, replies, folder, recursive, occlusive, patterns] {
        const QStringList files = listTree(folder, recursive, occlusive, patterns, -1);
        replies->post([this, files] {
            --m_listing;
            emit listed(files);
            tellIfSettled();
        });
    });
}

void Root::requestPreview()
{
    if (m_previewState == PreviewState::Reading) {
        m_previewAgain = true;
        return;
    }
    m_previewState = PreviewState::Reading;
    m_previewAgain = false;
    const QString folder = m_folder;
    const bool recursive = m_recursive, occlusive = m_occlusive;
    const QStringList patterns = m_patternOrder;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_reader.start([this, replies, folder, recursive, occlusive, patterns] {
        const QStringList files = listTree(folder, recursive, occlusive, patterns, kPreviewSize);
        replies->post([this, files] {
            if (m_previewAgain) {
                m_previewState = PreviewState::Unknown;
                requestPreview();
                return;
            }
            m_previewState = PreviewState::Known;
            if (files != m_preview) {
                m_preview = files;
                emit previewChanged();
            }
            tellIfSettled();
        });
    });
}

void Root::notePreviewChange(const QStringList& removed, const QStringList& added)
{
    if (m_previewState == PreviewState::Unknown)
        return; // nobody asked
    bool affected = removed.isEmpty() && added.isEmpty(); // the patterns changed
    for (const QString& path : removed)
        affected = affected || m_preview.contains(path);
    if (!affected && !added.isEmpty()) {
        // A file sorting before the last one shown, or room for more.
        affected = m_preview.size() < kPreviewSize;
        for (const QString& path : added)
            affected = affected || path < m_preview.last();
    }
    if (!affected)
        return;
    if (m_previewState == PreviewState::Reading) {
        m_previewAgain = true;
        return;
    }
    m_previewState = PreviewState::Unknown;
    emit previewChanged(); // read again when next asked
}
