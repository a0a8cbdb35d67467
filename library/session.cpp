#include "library/session.h"
#include "library/logging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QThreadPool>

#include <algorithm>
#include <unordered_set>

#include "core/replytarget.h"
#include "library/identityset.h"
#include "library/root.h"

namespace {

// Lets go of many URLs on a pool thread: freeing them holds the GUI thread for a while.
template <typename Urls> void freeOnPool(Urls urls)
{
    QThreadPool::globalInstance()->start([urls = std::move(urls)]() mutable { urls = Urls(); });
}

} // namespace

Session::Session(QObject* parent)
    : QAbstractListModel(parent)
    , m_inlineLeft(Root::kAnnounceSlice)
    , m_replies(std::make_shared<ReplyTarget>(this))
{ }

Session::~Session()
{
    m_replies->close();
    m_checker.leave(0);
    m_locator.leave(0);
    m_vetter.leave(0);
}

void Session::reset()
{
    qCWarning(lcLibrary) << "Session"
                         << "reset";
}

void Session::offer(QUrl location, bool recursive)
{
    addRoot(location, recursive, true);
}

void Session::close(QUrl location, bool recursive)
{
    addRoot(location, recursive, false);
}

void Session::impose(QUrl location, bool recursive, QJsonDocument condition)
{
    Q_UNUSED(condition)
    if (!location.isLocalFile()) {
        qCWarning(lcLibrary) << "Session: not a local folder:" << location;
        return;
    }
    addRoot(location, recursive, false, true);
}

void Session::addRoot(const QUrl& location, bool recursive, bool inclusive, bool impose)
{
    if (!location.isLocalFile()) {
        qCWarning(lcLibrary) << "Session: not a local file or folder:" << location;
        return;
    }
    PendingRoot pending;
    pending.serial = ++m_pendingSerial;
    pending.impose = impose;
    pending.inclusive = inclusive;
    pending.recursive = recursive;
    pending.path = location.toLocalFile();
    pending.globbing = m_globbing;
    m_pending.push_back(pending);
    emit readingChanged();
    // The location may be on a drive that hangs: whether it is a folder, and where it
    // leads, is asked off this thread.
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_locator.start([this, replies, serial = pending.serial, path = pending.path] {
        const Root::Location found = Root::locate(path);
        replies->post([this, serial, found] {
            for (PendingRoot& waiting : m_pending) {
                if (waiting.serial == serial) {
                    waiting.checked = true;
                    waiting.location = found;
                }
            }
            addChecked();
        });
    });
}

void Session::addChecked()
{
    // In the order asked for: a folder closed right after it was opened stays closed.
    while (!m_pending.empty() && m_pending.front().checked) {
        const PendingRoot next = std::move(m_pending.front());
        m_pending.pop_front();
        const Root::Location& found = next.location;
        if (found.isDir && !found.readable)
            qCWarning(lcLibrary) << "Session: can't read the folder" << found.absolute;
        Root* root = nullptr;
        if (next.impose) {
            root = new Root(this, next.path, next.recursive, true, next.globbing, false, found.canonical);
        } else if (found.isDir) {
            root = new Root(
                this, found.absolute, next.recursive, true, next.globbing, next.inclusive, found.canonical);
        } else {
            // A file, or nothing there yet: a Root of that name in its folder.
            const QFileInfo info(found.absolute);
            root = new Root(
                this, info.path(), false, false, { info.fileName() }, next.inclusive, found.parentCanonical);
        }
        insertRoot(root);
    }
    tellIfSettled();
}

QString Session::canonicalDirOf(const QString& path) const
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString dir = slash > 0 ? path.left(slash) : QStringLiteral("/");
    for (const Root* root : m_roots) {
        const QString canonical = root->knownCanonical(dir);
        if (!canonical.isEmpty())
            return canonical;
    }
    return QString();
}

void Session::insertRoot(Root* root)
{
    ++m_rootsGeneration;
    bool merged = false;
    if (!root->occlusive()) {
        bool mayMerge = true;
        for (int i = m_roots.size() - 1; i >= 0; --i) {
            Root* other = m_roots.at(i);
            const bool differs = other->inclusive() != root->inclusive();
            if (differs && other->covers(*root)) {
                mayMerge = false;
            } else if (mayMerge && !merged && other->merge(*root)) {
                emit dataChanged(index(i), index(i));
                merged = true;
            }
            if (differs && other->cancel(*root)) {
                if (!other->patterns().isEmpty())
                    emit dataChanged(index(i), index(i));
                else
                    removeRootAt(i);
            }
        }
    }
    if (!merged)
        appendRoot(root);
    compact();

    if (!root->inclusive()) {
        qCDebug(lcLibrary) << "Published a restriction - vetting the result" << root->folderPath();
        vetLater(*root);
    } else if (m_active) {
        // Files the new Root admits that another Root had reported and the session had
        // turned away until now (the new Root may be gone into another one already).
        listLater(*root);
    }

    if (merged) {
        root->setParent(nullptr);
        root->deleteLater();
    }
}

void Session::vetLater(const Root& root)
{
    if (m_files.isEmpty())
        return;
    // Each file of the set is looked at (a large folder closed holds a hundred thousand):
    // on a worker, with the closing Root's rule and where the followed folders lead as
    // they stand now. Files admitted from now on are vetted as they come.
    ++m_vettings;
    QList<QPair<QString, QString>> folders;
    QList<QHash<QString, QString>> followed;
    for (const Root* other : qAsConst(m_roots)) {
        folders.append({ other->folderPath(), other->folderCanonical() });
        followed.append(other->followedCanonicals());
    }
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_vetter.start([this, replies, rule = root.exclusion(), files = m_files.values(), folders, followed,
                       generation = m_rootsGeneration] {
        QList<QUrl> gone;
        for (const QUrl& url : files) {
            const QString path = url.toLocalFile();
            const QString dir = path.left(qMax(1, path.lastIndexOf(QLatin1Char('/'))));
            QString canonicalDir;
            for (int i = 0; i < folders.size() && canonicalDir.isEmpty(); ++i) {
                canonicalDir = dir == folders.at(i).first ? folders.at(i).second : followed.at(i).value(dir);
            }
            qCDebug(lcLibrary) << "Vetting" << path;
            if (rule.excludesFile(path, canonicalDir)) {
                qCDebug(lcLibrary) << "Removing" << path;
                gone.append(url);
            }
        }
        replies->post([this, gone, generation] { removeVetted(gone, generation); });
    });
}

void Session::removeVetted(const QList<QUrl>& gone, quint64 generation)
{
    --m_vettings;
    // A Root added or removed since may open some of the files again.
    const bool recheck = generation != m_rootsGeneration;
    QList<QUrl> removed;
    if (!recheck && gone.size() > m_files.size() / 2) {
        // Most of the set goes: what stays is kept by a look at each copy's identity, so
        // that only the files that stay are hashed.
        const IdentitySet going(gone);
        QSet<QUrl> kept;
        for (const QUrl& url : qAsConst(m_files)) {
            if (going.contains(url))
                removed.append(url);
            else
                kept.insert(url);
        }
        m_files.swap(kept);
        freeOnPool(std::move(kept));
    } else {
        for (const QUrl& url : gone) {
            if (recheck && admitsFile(url.toLocalFile()))
                continue;
            if (m_files.remove(url))
                removed.append(url);
        }
    }
    if (!removed.isEmpty()) {
        // All at once to a listener that takes many cheaply, then one by one on the next
        // turns of the event loop, a slice to a turn.
        emit delFiles(removed);
        Announcement run;
        run.removed = std::make_shared<const QList<QUrl>>(std::move(removed));
        m_announce.push_back(std::move(run));
        if (!m_slicePosted) {
            m_slicePosted = true;
            QMetaObject::invokeMethod(
                this, [this] { announceSlice(); }, Qt::QueuedConnection);
        }
    }
    tellIfSettled();
}

void Session::appendRoot(Root* root)
{
    connect(root, &Root::addFile, this, &Session::addRawFile);
    connect(root, &Root::delFile, this, &Session::delRawFile);
    connect(root, &Root::previewChanged, this, &Session::onPreviewChanged);
    connect(root, &Root::settled, this, &Session::tellIfSettled);
    const int row = m_roots.size();
    beginInsertRows(QModelIndex(), row, row);
    m_roots.append(root);
    endInsertRows();
}

void Session::removeRootAt(int row)
{
    ++m_rootsGeneration;
    beginRemoveRows(QModelIndex(), row, row);
    Root* root = m_roots.takeAt(row);
    endRemoveRows();
    disconnect(root, nullptr, this, nullptr);
    root->setActive(false);
    root->setParent(nullptr);
    root->deleteLater();
}

bool Session::removeRows(int row, int count, const QModelIndex& parent)
{
    if (parent.isValid() || row < 0 || row >= m_roots.size() || count < 1)
        return false;
    count = qMin(count, m_roots.size() - row);
    ++m_rootsGeneration;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    QList<Root*> removed;
    for (int i = 0; i < count; ++i)
        removed.append(m_roots.takeAt(row));
    endRemoveRows();
    for (Root* root : qAsConst(removed)) {
        disconnect(root, nullptr, this, nullptr);
        root->setActive(false);
        root->setParent(nullptr);
        root->deleteLater();
    }
    compact();
    return true;
}

void Session::compact()
{
    // Occlusion: a later folder Root hides every earlier Root it decides entirely.
    QList<Root*> occluders;
    for (int i = m_roots.size() - 1; i >= 0; --i) {
        Root* root = m_roots.at(i);
        bool hidden = false;
        for (Root* occluder : qAsConst(occluders)) {
            if (occluder->occludes(*root)) {
                hidden = true;
                break;
            }
        }
        if (hidden)
            removeRootAt(i);
        else if (root->occlusive())
            occluders.append(root);
    }

    // Redundancy: a Root that an earlier Root of the same kind already decides, with
    // nothing of the other kind in between, and closing Roots that close nothing open.
    for (int i = m_roots.size() - 1; i >= 0; --i) {
        Root* root = m_roots.at(i);
        bool remove = false;
        for (int j = i - 1; j >= 0; --j) {
            Root* earlier = m_roots.at(j);
            if (earlier->inclusive() != root->inclusive()) {
                if (earlier->overlaps(*root))
                    break;
            } else if (earlier->occludes(*root)) {
                remove = true;
                break;
            }
        }
        if (!remove && !root->inclusive()) {
            bool closesSomething = false;
            for (int j = i - 1; j >= 0 && !closesSomething; --j) {
                Root* earlier = m_roots.at(j);
                closesSomething = earlier->inclusive() && earlier->overlaps(*root);
            }
            remove = !closesSomething;
        }
        if (remove)
            removeRootAt(i);
    }
    reactivate();
}

void Session::reactivate()
{
    std::unordered_set<Root*> watching;
    QList<Root*> order;
    if (m_active) {
        for (Root* root : qAsConst(m_roots)) {
            if (!root->inclusive()) {
                watching.insert(root);
                order.append(root);
                continue;
            }
            for (auto it = order.begin(); it != order.end();) {
                if (root->occludes(**it)) {
                    watching.erase(*it);
                    it = order.erase(it);
                } else {
                    ++it;
                }
            }
            // Only an opening Root can stand in for another: closing Roots watch nothing.
            bool hidden = false;
            for (Root* member : qAsConst(order)) {
                if (member->inclusive() && member->occludes(*root)) {
                    hidden = true;
                    break;
                }
            }
            if (!hidden) {
                watching.insert(root);
                order.append(root);
            }
        }
    }
    for (Root* member : qAsConst(order))
        qCDebug(lcLibrary) << member->folderPath() << member->recursive();
    for (Root* root : qAsConst(m_roots)) {
        if (root->inclusive())
            root->setActive(watching.count(root) > 0);
    }
}

bool Session::admits(const QString& path) const
{
    for (int i = m_roots.size() - 1; i >= 0; --i) {
        const Root* root = m_roots.at(i);
        if (root->inclusive()) {
            if (root->includes(path))
                return true;
        } else if (root->excludes(path)) {
            return false;
        }
    }
    return false;
}

bool Session::admitsFile(const QString& path) const
{
    const QString canonicalDir = m_roots.size() > 1 ? canonicalDirOf(path) : QString();
    for (int i = m_roots.size() - 1; i >= 0; --i) {
        const Root* root = m_roots.at(i);
        if (root->inclusive()) {
            if (root->includesFile(path, canonicalDir))
                return true;
        } else if (root->excludesFile(path, canonicalDir)) {
            return false;
        }
    }
    return false;
}

void Session::setActive(bool on)
{
    if (on == m_active)
        return;
    m_active = on;
    ++m_started;
    m_vanishCheck = 0; // a check under way is of no use any more
    m_reportedSince.clear();
    reactivate();
    if (on)
        dropVanishedFiles();
    emit activeChanged(on);
}

void Session::dropVanishedFiles()
{
    // Nothing watched the disk while the session was inactive. The files are looked at off
    // this thread; one that a Root reports meanwhile is there, whatever the check found.
    if (m_files.isEmpty())
        return;
    const quint64 serial = ++m_vanishSerial;
    m_vanishCheck = serial;
    m_reportedSince.clear();
    const QList<QUrl> files = m_files.values();
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_checker.start([this, replies, serial, files] {
        QList<QUrl> gone;
        for (const QUrl& url : files) {
            if (!QFileInfo::exists(url.toLocalFile()))
                gone.append(url);
        }
        replies->post([this, serial, gone] {
            if (serial != m_vanishCheck)
                return; // the session stopped, or checks again
            m_vanishCheck = 0;
            for (const QUrl& url : gone) {
                if (!m_reportedSince.contains(url) && m_files.remove(url))
                    announce(false, url);
            }
            m_reportedSince.clear();
            tellIfSettled();
        });
    });
}

void Session::listLater(const Root& root)
{
    // Only a file another opening Root reported can have been turned away.
    const bool overlapped = std::any_of(m_roots.cbegin(), m_roots.cend(),
        [&](const Root* other) { return other != &root && other->inclusive() && other->overlaps(root); });
    if (!overlapped)
        return;
    ++m_listings;
    const quint64 started = m_started;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_checker.start([this, replies, started, folder = root.folderPath(), recursive = root.recursive(),
                        occlusive = root.occlusive(), patterns = root.patternList()] {
        auto paths
            = std::make_shared<const QStringList>(Root::listTree(folder, recursive, occlusive, patterns));
        replies->post([this, started, paths] { admitListed(started, paths, 0); });
    });
}

void Session::admitListed(quint64 started, std::shared_ptr<const QStringList> paths, int from)
{
    // A session stopped meanwhile reads its folders again when it starts.
    const bool current = started == m_started && m_active;
    const int end = current ? qMin(paths->size(), from + Root::kAnnounceSlice) : paths->size();
    for (int i = from; i < end; ++i)
        addRawFile(paths->at(i));
    if (end < paths->size()) {
        // The rest on the next turns of the event loop.
        QMetaObject::invokeMethod(
            this, [this, started, paths, end] { admitListed(started, paths, end); }, Qt::QueuedConnection);
        return;
    }
    --m_listings;
    tellIfSettled();
}

void Session::onPreviewChanged()
{
    auto* root = qobject_cast<Root*>(sender());
    const int row = m_roots.indexOf(root);
    if (row >= 0)
        emit dataChanged(index(row), index(row), { PreviewRole });
}

void Session::announce(bool added, const QUrl& url)
{
    // Made at once up to a slice's worth in one turn of the event loop; beyond that (a
    // large folder closed), queued and made a slice to a turn, in order, so that the GUI
    // thread turns in between. The file set is up to date already.
    if (m_announce.empty() && m_inlineLeft > 0) {
        --m_inlineLeft;
        if (!m_budgetPosted) {
            m_budgetPosted = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_budgetPosted = false;
                    m_inlineLeft = Root::kAnnounceSlice;
                },
                Qt::QueuedConnection);
        }
        if (added)
            emit addFile(url);
        else
            emit delFile(url);
        return;
    }
    Announcement next;
    next.added = added;
    next.url = url;
    m_announce.push_back(std::move(next));
    if (m_slicePosted)
        return;
    m_slicePosted = true;
    QMetaObject::invokeMethod(
        this, [this] { announceSlice(); }, Qt::QueuedConnection);
}

void Session::announceSlice()
{
    m_slicePosted = false;
    for (int n = 0; n < Root::kAnnounceSlice && !m_announce.empty(); ++n) {
        Announcement& front = m_announce.front();
        if (front.removed) {
            const QUrl url = front.removed->at(front.next);
            if (++front.next == front.removed->size()) {
                freeOnPool(std::move(front.removed));
                m_announce.pop_front();
            }
            emit delFile(url);
            continue;
        }
        const Announcement next = std::move(front);
        m_announce.pop_front();
        if (next.added)
            emit addFile(next.url);
        else
            emit delFile(next.url);
    }
    if (!m_announce.empty() && !m_slicePosted) {
        m_slicePosted = true;
        QMetaObject::invokeMethod(
            this, [this] { announceSlice(); }, Qt::QueuedConnection);
    }
    tellIfSettled();
}

void Session::tellIfSettled()
{
    if (!isReading()) {
        emit settled();
        emit readingChanged();
    }
}

bool Session::isReading() const
{
    if (m_vanishCheck != 0 || m_listings > 0 || m_vettings > 0 || !m_announce.empty() || !m_pending.empty()
        || m_goneRunning || !m_goneQueue.isEmpty())
        return true;
    for (const Root* root : m_roots) {
        if (root->isReading())
            return true;
    }
    return false;
}

void Session::addRawFile(const QString& path)
{
    if (!admitsFile(path))
        return;
    const QUrl url = QUrl::fromLocalFile(path);
    if (m_vanishCheck != 0)
        m_reportedSince.insert(url);
    m_goneAsked.remove(url);
    if (m_files.contains(url))
        return;
    m_files.insert(url);
    announce(true, url);
}

void Session::delRawFile(const QString& path)
{
    const QUrl url = QUrl::fromLocalFile(path);
    if (!m_files.contains(url))
        return;
    if (!admitsFile(path)) {
        m_goneAsked.remove(url);
        m_files.remove(url);
        announce(false, url);
        return;
    }
    // A file one Root lost may still be there for another (a folder opened twice through a
    // link): whether it is on the disk, which may hang, is asked off this thread.
    m_goneAsked.insert(url, ++m_goneSerial);
    m_goneQueue.append(url);
    checkGone();
}

void Session::checkGone()
{
    if (m_goneRunning || m_goneQueue.isEmpty())
        return;
    QList<QPair<QUrl, quint64>> asked;
    for (const QUrl& url : qAsConst(m_goneQueue)) {
        const auto it = m_goneAsked.constFind(url);
        if (it != m_goneAsked.constEnd())
            asked.append({ url, it.value() });
    }
    m_goneQueue.clear();
    if (asked.isEmpty())
        return;
    m_goneRunning = true;
    const std::shared_ptr<ReplyTarget> replies = m_replies;
    m_checker.start([this, replies, asked] {
        QList<bool> present;
        present.reserve(asked.size());
        for (const auto& entry : asked)
            present.append(QFileInfo::exists(entry.first.toLocalFile()));
        replies->post([this, asked, present] { removeGone(asked, present); });
    });
}

void Session::removeGone(const QList<QPair<QUrl, quint64>>& asked, const QList<bool>& present)
{
    m_goneRunning = false;
    for (int i = 0; i < asked.size(); ++i) {
        const QUrl& url = asked.at(i).first;
        const auto it = m_goneAsked.find(url);
        // Reported there since, or asked again: a later answer decides.
        if (it == m_goneAsked.end() || it.value() != asked.at(i).second)
            continue;
        m_goneAsked.erase(it);
        // Admitted as the Roots stand now, which may have changed while the disk answered.
        if (present.at(i) && admitsFile(url.toLocalFile()))
            continue;
        if (m_files.remove(url))
            announce(false, url);
    }
    checkGone();
    tellIfSettled();
}

void Session::setGlobbing(const QStringList& globbing)
{
    if (globbing == m_globbing)
        return;
    m_globbing = globbing;
    emit globbingChanged();
}

void Session::setResolver(IResolver* resolver)
{
    if (resolver == m_resolver)
        return;
    m_resolver = resolver;
    emit resolverChanged();
}

int Session::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_roots.size();
}

QVariant Session::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.parent().isValid() || index.column() != 0 || index.row() < 0
        || index.row() >= m_roots.size())
        return QVariant();
    Root* root = m_roots.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case DirNameRole:
        return QFileInfo(root->folderPath()).baseName();
    case FolderRole:
        return QUrl::fromLocalFile(root->folderPath());
    case RecursiveRole:
        return root->recursive();
    case OcclusiveRole:
        return root->occlusive();
    case InclusiveRole:
        return root->inclusive();
    case FixedListRole:
        return !root->occlusive();
    case FileNamesRole:
        return root->patternList();
    case FileCountRole:
        return root->patterns().size();
    case NeedsMetaRole:
        return false;
    case DirPathRole:
        return root->folderPath();
    case PreviewRole: {
        // Read off this thread when first asked; dataChanged tells when it is in.
        if (!root->previewKnown())
            root->requestPreview();
        QStringList urls;
        const QStringList files = root->preview();
        for (const QString& file : files)
            urls.append(QUrl::fromLocalFile(file).toString());
        return urls;
    }
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> Session::roleNames() const
{
    return {
        { Qt::DisplayRole, "displayName" },
        { FolderRole, "folder" },
        { RecursiveRole, "recursive" },
        { OcclusiveRole, "occlusive" },
        { InclusiveRole, "inclusive" },
        { FixedListRole, "fixedList" },
        { FileNamesRole, "fileNames" },
        { FileCountRole, "fileCount" },
        { NeedsMetaRole, "needsMeta" },
        { DirNameRole, "dirName" },
        { DirPathRole, "dirPath" },
        { PreviewRole, "preview" },
    };
}
