#include "library/spinemodel.h"

#include <QHash>

#include "library/agnostic.h"
#include "library/identityset.h"
#include "library/ordering.h"
#include "library/sortkeycache.h"
#include "library/spineoutline.h"
#include "library/spinesection.h"

#include <QThreadPool>
#include <QTimer>

#include <memory>

namespace {

// A hashable text for a key path: each key's type and text.
QString pathKey(const QVariantList& path)
{
    QString text;
    for (const QVariant& key : path) {
        const int type
            = key.isNull() ? 0 : (key.canConvert<qlonglong>() && key.type() != QVariant::String ? 1 : 2);
        text += QString::number(type) + QLatin1Char(':') + key.toString() + QChar(0x1f);
    }
    return text;
}

} // namespace

SpineModel::SpineModel(QObject* parent)
    : QAbstractListModel(parent)
    , m_agnostic(new Agnostic(this))
    , m_defaultOrdering(Ordering::byUrl(this))
    , m_ordering(m_defaultOrdering)
    , m_outline(new SpineOutline(&m_tree, this))
{
    connectResolver(m_agnostic);
    connect(this, &SpineModel::commitSections, m_outline, &SpineOutline::sectionCommit);
}

SpineModel::~SpineModel() = default;

void SpineModel::connectResolver(IResolver* resolver)
{
    disconnect(m_modifiedConnection);
    disconnect(m_resolvedConnection);
    disconnect(m_destroyedConnection);
    m_resolver = resolver;
    // Direct connections: `modified` must be seen while the old headers still answer.
    m_modifiedConnection
        = connect(resolver, &IResolver::modified, this, &SpineModel::recallUrl, Qt::DirectConnection);
    m_resolvedConnection
        = connect(resolver, &IResolver::resolved, this, &SpineModel::updateUrl, Qt::DirectConnection);
    if (resolver != m_agnostic) {
        // A resolver that goes first (QML may tear objects down in any order) leaves the
        // model knowing nothing rather than asking a dead object.
        m_destroyedConnection
            = connect(resolver, &QObject::destroyed, this, [this] { setResolver(nullptr); });
    }
}

IResolver* SpineModel::headers() const
{
    if (m_resolver)
        return m_resolver.data();
    return m_agnostic;
}

IResolver* SpineModel::resolver() const
{
    return headers();
}

void SpineModel::setResolver(IResolver* resolver)
{
    if (!resolver)
        resolver = m_agnostic;
    if (resolver == m_resolver)
        return;
    emit layoutAboutToBeChanged();
    connectResolver(resolver);
    m_recalledUrl.clear();
    m_recalledRow = -1;
    // The rows were placed by the old resolver's headers; searches need them placed by
    // the new one's.
    resortInSections();
    emit layoutChanged();
    emit resolverChanged();
    // Offered files the new resolver already knows.
    const QList<QUrl> waiting = m_gross.values();
    for (const QUrl& url : waiting) {
        if (!m_listed.contains(url))
            enlistUrl(url);
    }
}

void SpineModel::setOrdering(IOrdering* ordering)
{
    if (!ordering)
        ordering = m_defaultOrdering;
    const bool changed = ordering != m_ordering;
    m_ordering = ordering;
    emit layoutAboutToBeChanged(QList<QPersistentModelIndex>(), QAbstractItemModel::VerticalSortHint);
    resortInSections();
    emit layoutChanged(QList<QPersistentModelIndex>(), QAbstractItemModel::VerticalSortHint);
    if (changed)
        emit orderingChanged();
}

void SpineModel::resortInSections()
{
    // The gallery's own orderings give the sections as they sort, reading each file's key
    // once; any other ordering sorts, then gives each file's key list.
    auto* ordering = dynamic_cast<Ordering*>(m_ordering);
    std::vector<Ordering::Section> sections;
    resort(ordering ? &sections : nullptr);
    rebuildSections(ordering ? &sections : nullptr);
}

void SpineModel::resort(std::vector<Ordering::Section>* sections)
{
    const QModelIndexList persistent = persistentIndexList();
    QList<QUrl> persistentUrls;
    persistentUrls.reserve(persistent.size());
    for (const QModelIndex& index : persistent)
        persistentUrls.append(urlAt(index));

    if (sections)
        *sections = static_cast<Ordering*>(m_ordering)->sortInSections(m_list, headers());
    else
        m_ordering->sort(m_list, headers());

    if (persistent.isEmpty())
        return;
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (const QUrl& url : qAsConst(persistentUrls)) {
        const int row = url.isEmpty() ? -1 : rowOf(url);
        moved.append(row < 0 ? QModelIndex() : index(row, 0));
    }
    changePersistentIndexList(persistent, moved);
}

void SpineModel::rebuildSections(const std::vector<Ordering::Section>* sections)
{
    // The outline is emptied and announced again whole: its rows may all change.
    if (m_tree.rowCount() > 0) {
        m_outline->beginRemoveSections(0, m_tree.rowCount());
        m_tree.clear();
        m_outline->endRemoveSections();
    }
    if (sections) {
        for (const Ordering::Section& section : *sections)
            m_tree.add(section.keys, section.count);
    }
    // The list is sorted: equal key paths come in runs.
    static const QList<QUrl> none;
    QVariantList run;
    int runLength = 0;
    for (const QUrl& url : sections ? none : m_list) {
        QVariantList keys = m_ordering->keys(url, headers());
        if (runLength > 0 && keys == run) {
            ++runLength;
            continue;
        }
        if (runLength > 0)
            m_tree.add(run, runLength);
        run = std::move(keys);
        runLength = 1;
    }
    if (runLength > 0)
        m_tree.add(run, runLength);
    if (m_tree.rowCount() > 0) {
        // Announced as inserted after the fact: the tree is the outline's data.
        const int rows = m_tree.rowCount();
        SectionTree built;
        built.swap(m_tree);
        m_outline->beginInsertSections(0, rows);
        built.swap(m_tree);
        m_outline->endInsertSections();
    }
}

QStringList SpineModel::fileList() const
{
    QStringList list;
    list.reserve(m_gross.size());
    for (const QUrl& url : m_gross)
        list.append(url.toString());
    list.sort();
    return list;
}

void SpineModel::setFileList(const QStringList& list)
{
    QSet<QUrl> wanted;
    for (const QString& text : list) {
        const QUrl url(text, QUrl::TolerantMode);
        if (!url.isEmpty())
            wanted.insert(url);
    }
    bool changed = false;
    for (const QUrl& url : qAsConst(wanted)) {
        if (m_gross.contains(url))
            continue;
        m_gross.insert(url);
        changed = true;
        enlistUrl(url);
    }
    QList<QUrl> closed;
    for (const QUrl& url : qAsConst(m_gross)) {
        if (!wanted.contains(url))
            closed.append(url);
    }
    for (const QUrl& url : qAsConst(closed)) {
        removeListed(url);
        m_gross.remove(url);
        changed = true;
    }
    if (changed)
        emit grossCountChanged();
    for (const QUrl& url : qAsConst(closed))
        emit fileClosed(url);
}

void SpineModel::insertUrl(const QUrl& url)
{
    if (url.isEmpty() || m_gross.contains(url))
        return;
    m_gross.insert(url);
    // Room for every offered file to be listed, made while files are offered, so the
    // stream of their headers later never waits for a table or the list to grow.
    if (m_listed.capacity() < m_gross.size()) {
        m_listed.reserve(2 * m_gross.size());
        m_list.reserve(2 * m_gross.size());
        if (SortKeyCache* keys = SortKeyCache::of(headers()))
            keys->reserve(2 * m_gross.size());
    }
    emit grossCountChanged();
    enlistUrl(url);
}

void SpineModel::reloadUrl(const QUrl& url)
{
    if (m_gross.contains(url))
        enlistUrl(url);
}

void SpineModel::enlistUrl(const QUrl& url)
{
    if (url.isEmpty() || m_listed.contains(url))
        return;
    if (headers()->rowFor(url).isEmpty())
        return; // listed once its headers arrive
    const int row = m_ordering->insertionRow(m_list, url, headers());
    if (row < 0)
        return;
    insertListed(row, url);
}

void SpineModel::enlistUrlAt(int row, const QUrl& url)
{
    if (row < 0 || row > m_list.size() || url.isEmpty() || m_listed.contains(url))
        return;
    insertListed(row, url);
}

void SpineModel::enlistUrlAt(int row, const QUrl& url, const QVariantList& keys)
{
    if (row < 0 || row > m_list.size() || url.isEmpty() || m_listed.contains(url))
        return;
    int outlineRow = 0;
    const int created = m_tree.missingNodes(keys, &outlineRow);
    announceSections(keys, row, 1);
    if (created > 0)
        m_outline->beginInsertSections(outlineRow, created);
    if (!m_quiet)
        beginInsertRows(QModelIndex(), row, row);
    m_list.insert(row, url);
    m_listed.insert(url);
    m_tree.add(keys, 1);
    if (!m_quiet)
        endInsertRows();
    if (created > 0)
        m_outline->endInsertSections();
    commitAll(keys, 1);
}

void SpineModel::announceSections(const QVariantList& keys, int row, int count)
{
    for (int i = 0; i <= keys.size(); ++i) {
        const QVariantList prefix = keys.mid(0, i);
        const int offset = row - m_tree.baseRow(prefix);
        const bool leaf = i == keys.size();
        emit alertSections(prefix, offset, count, leaf);
        dispatch(prefix, [&](SpineSection* s) { s->sectionAlert(prefix, offset, count, leaf); });
    }
}

void SpineModel::commitAll(const QVariantList& keys, int count)
{
    for (int i = 0; i <= keys.size(); ++i) {
        const QVariantList prefix = keys.mid(0, i);
        const bool leaf = i == keys.size();
        emit commitSections(prefix, count, leaf);
        dispatch(prefix, [&](SpineSection* s) { s->sectionCommit(prefix, count, leaf); });
    }
    if (!m_basesPending && !m_sectionsByPath.isEmpty()) {
        m_basesPending = true;
        QTimer::singleShot(0, this, [this] {
            m_basesPending = false;
            emit sectionBasesMoved();
        });
    }
}

template <typename Call> void SpineModel::dispatch(const QVariantList& path, Call call)
{
    if (m_sectionsByPath.isEmpty())
        return;
    const auto it = m_sectionsByPath.constFind(pathKey(path));
    if (it == m_sectionsByPath.constEnd())
        return;
    const QList<SpineSection*> sections = it.value();
    for (SpineSection* section : sections)
        call(section);
}

void SpineModel::attachSection(SpineSection* section, const QVariantList& branch)
{
    QList<SpineSection*>& list = m_sectionsByPath[pathKey(branch)];
    if (!list.contains(section))
        list.append(section);
}

void SpineModel::detachSection(SpineSection* section, const QVariantList& branch)
{
    const QString key = pathKey(branch);
    auto it = m_sectionsByPath.find(key);
    if (it == m_sectionsByPath.end())
        return;
    it->removeAll(section);
    if (it->isEmpty())
        m_sectionsByPath.erase(it);
}

void SpineModel::insertListed(int row, const QUrl& url)
{
    enlistUrlAt(row, url, m_ordering->keys(url, headers()));
}

void SpineModel::removeListedAt(int row)
{
    forgetUrlAt(row, m_ordering->keys(m_list.at(row), headers()));
}

void SpineModel::forgetUrlAt(int row)
{
    if (row >= 0 && row < m_list.size())
        removeListedAt(row);
}

void SpineModel::forgetUrlAt(int row, const QVariantList& keys)
{
    if (row < 0 || row >= m_list.size())
        return;
    announceSections(keys, row, -1);
    if (!m_quiet)
        beginRemoveRows(QModelIndex(), row, row);
    m_listed.remove(m_list.takeAt(row));
    m_tree.add(keys, -1);
    if (!m_quiet)
        endRemoveRows();
    commitAll(keys, -1);
}

int SpineModel::rowOf(const QUrl& url)
{
    if (!m_listed.contains(url))
        return -1;
    const QPair<int, int> range = m_ordering->equalRange(m_list, url, headers());
    for (int row = range.second - 1; row >= range.first; --row) {
        if (row >= 0 && row < m_list.size() && m_list.at(row) == url)
            return row;
    }
    return m_list.lastIndexOf(url);
}

void SpineModel::removeListed(const QUrl& url)
{
    const int row = rowOf(url);
    if (row >= 0)
        removeListedAt(row);
}

void SpineModel::removeUrl(const QUrl& url)
{
    if (!m_gross.contains(url))
        return;
    removeListed(url);
    m_gross.remove(url);
    emit grossCountChanged();
    emit fileClosed(url);
}

void SpineModel::removeUrls(const QList<QUrl>& urls)
{
    // Row by row, each removal is a search and a shift of the rows after it, with its own
    // announcement. Past a quarter of the offered files, the list and the sets are rebuilt
    // in one pass instead, announced as one reset. Copies of the URLs the model holds are
    // told by identity there, so that only the files that stay are hashed.
    if (urls.size() < kBatchRemoval || qint64(urls.size()) * 4 < m_gross.size()) {
        bool changed = false;
        QList<QUrl> closed;
        for (const QUrl& url : urls) {
            if (!m_gross.contains(url))
                continue;
            removeListed(url);
            m_gross.remove(url);
            closed.append(url);
            changed = true;
        }
        if (changed)
            emit grossCountChanged();
        for (const QUrl& url : qAsConst(closed))
            emit fileClosed(url);
        return;
    }
    const IdentitySet going(urls);
    QSet<QUrl> gross;
    QList<QUrl> closed;
    for (const QUrl& url : qAsConst(m_gross)) {
        if (going.contains(url))
            closed.append(url);
        else
            gross.insert(url);
    }
    // Other copies of the URLs, told by value (few, if any).
    const bool allFound = closed.size() == going.size();
    if (!allFound) {
        const IdentitySet found(closed);
        for (const QUrl& url : urls) {
            if (!found.contains(url) && gross.remove(url))
                closed.append(url);
        }
    }
    if (closed.isEmpty())
        return;
    beginResetModel();
    QList<QUrl> list;
    QSet<QUrl> listed;
    list.reserve(m_list.size());
    for (const QUrl& url : qAsConst(m_list)) {
        if (!going.contains(url) && (allFound || gross.contains(url))) {
            list.append(url);
            listed.insert(url);
        }
    }
    list.swap(m_list);
    listed.swap(m_listed);
    gross.swap(m_gross);
    m_recalledUrl.clear();
    m_recalledRow = -1;
    m_recalledKeys.clear();
    rebuildSections();
    endResetModel();
    freeLater(std::move(list));
    freeLater(std::move(listed));
    freeLater(std::move(gross));
    emit grossCountChanged();
    for (const QUrl& url : qAsConst(closed))
        emit fileClosed(url);
    freeLater(std::move(closed));
}

bool SpineModel::forgetUrl(const QUrl& url)
{
    if (!m_gross.contains(url))
        return false;
    removeListed(url);
    return true;
}

bool SpineModel::forgetRows(int row, int count)
{
    if (row < 0 || row >= m_list.size() || count < 1)
        return false;
    count = qMin(count, m_list.size() - row);
    for (int i = 0; i < count; ++i)
        removeListedAt(row);
    return true;
}

bool SpineModel::removeRows(int row, int count, const QModelIndex& parent)
{
    if (parent.isValid() || row < 0 || row >= m_list.size() || count < 1)
        return false;
    const QList<QUrl> urls = m_list.mid(row, count);
    if (!forgetRows(row, count))
        return false;
    for (const QUrl& url : urls)
        m_gross.remove(url);
    for (const QUrl& url : urls)
        emit fileClosed(url);
    emit grossCountChanged();
    return true;
}

QSet<QUrl> SpineModel::takeAll()
{
    if (!m_list.isEmpty()) {
        // Every row goes at once: one reset, not a removal, section signals and a look-up
        // per row. The sections go with them.
        beginResetModel();
        if (m_tree.rowCount() > 0) {
            m_outline->beginRemoveSections(0, m_tree.rowCount());
            m_tree.clear();
            m_outline->endRemoveSections();
        }
        QList<QUrl> list;
        list.swap(m_list);
        QSet<QUrl> listed;
        listed.swap(m_listed);
        freeLater(std::move(list));
        freeLater(std::move(listed));
        m_recalledUrl.clear();
        m_recalledRow = -1;
        m_recalledKeys.clear();
        endResetModel();
    } else if (m_tree.rowCount() > 0) {
        // A section that loses its files keeps its place while the gallery shows its list;
        // once every file went with the list itself there is no place to keep, and the
        // sections left behind would pile up with every session the gallery turns to.
        m_outline->beginRemoveSections(0, m_tree.rowCount());
        m_tree.clear();
        m_outline->endRemoveSections();
    }
    QSet<QUrl> gross;
    gross.swap(m_gross);
    return gross;
}

namespace {

template <typename Urls> void freeOnPool(Urls urls)
{
    if (urls.isEmpty())
        return;
    // The task owns the only reference, so the last one goes on the pool thread.
    auto held = std::make_unique<Urls>(std::move(urls));
    QThreadPool::globalInstance()->start(
        [held = std::shared_ptr<Urls>(std::move(held))]() mutable { held.reset(); });
}

} // namespace

void SpineModel::freeLater(QSet<QUrl> urls)
{
    freeOnPool(std::move(urls));
}

void SpineModel::freeLater(QList<QUrl> urls)
{
    freeOnPool(std::move(urls));
}

QPair<int, int> SpineModel::locateUrl(const QUrl& url)
{
    return m_ordering->equalRange(m_list, url, headers());
}

void SpineModel::recallUrl(const QUrl& url)
{
    m_recalledUrl = url;
    m_recalledRow = rowOf(url);
    m_recalledKeys = m_recalledRow >= 0 ? m_ordering->keys(url, headers()) : QVariantList();
}

int SpineModel::placeWithout(int row, const QUrl& url)
{
    // The row the file takes among the others, by its current headers.
    m_list.removeAt(row);
    int place = m_ordering->insertionRow(m_list, url, headers());
    m_list.insert(row, url);
    return place < 0 ? row : place;
}

void SpineModel::updateUrl(const QUrl& url)
{
    int old = -1;
    QVariantList oldKeys;
    if (url == m_recalledUrl && m_recalledRow >= 0 && m_recalledRow < m_list.size()
        && m_list.at(m_recalledRow) == url) {
        old = m_recalledRow;
        oldKeys = m_recalledKeys;
    }
    m_recalledUrl.clear();
    m_recalledRow = -1;
    m_recalledKeys.clear();
    if (old < 0) {
        if (!m_listed.contains(url)) {
            // A file that gets its first headers is listed now.
            if (m_gross.contains(url))
                enlistUrl(url);
            return;
        }
        // Changed without a `modified` first: find the row by the file itself.
        old = rowOf(url);
        if (old < 0)
            return;
        oldKeys = m_ordering->keys(url, headers());
    }
    const int place = placeWithout(old, url);
    const QVariantList keys = m_ordering->keys(url, headers());
    emit dataChanged(index(old, 0), index(old, 0));
    if (place == old && keys == oldKeys) {
        for (int i = 0; i <= keys.size(); ++i) {
            const QVariantList prefix = keys.mid(0, i);
            const int offset = place - m_tree.baseRow(prefix);
            const bool leaf = i == keys.size();
            emit touchSections(prefix, offset, 1, leaf);
            dispatch(prefix, [&](SpineSection* s) { s->sectionTouch(prefix, offset, 1, leaf); });
        }
        return;
    }
    const bool moves = place != old;
    if (moves)
        beginMoveRows(QModelIndex(), old, old, QModelIndex(), place > old ? place + 1 : place);
    m_quiet = true;
    forgetUrlAt(old, oldKeys);
    enlistUrlAt(place, url, keys);
    m_quiet = false;
    if (moves)
        endMoveRows();
}

QModelIndex SpineModel::defaultIndex(bool last) const
{
    return last ? lastRowIndex() : index(0, 0);
}

QModelIndex SpineModel::lastRowIndex() const
{
    return index(m_list.size() - 1, 0);
}

QVariantList SpineModel::branchOfRow(int row)
{
    if (row < 0 || row >= m_list.size())
        return {};
    return m_ordering->keys(m_list.at(row), headers());
}

QList<QUrl> SpineModel::files(int first, int count) const
{
    return m_list.mid(first, count);
}

QUrl SpineModel::urlAt(const QModelIndex& index) const
{
    if (!index.isValid())
        return QUrl();
    return urlAt(index.row());
}

QUrl SpineModel::urlAt(int row) const
{
    if (row < 0 || row >= m_list.size())
        return QUrl();
    return m_list.at(row);
}

QVariant SpineModel::valueAt(int row, const QByteArray& roleName) const
{
    const int role = roleNames().key(roleName, -1);
    if (role < 0 || row < 0 || row >= m_list.size())
        return QVariant();
    return data(index(row, 0), role);
}

QMap<int, QVariant> SpineModel::itemData(const QModelIndex& index) const
{
    if (index.isValid() && index.row() >= 0 && index.row() < m_list.size())
        return headers()->rowFor(m_list.at(index.row()));
    return {};
}

int SpineModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_list.size();
}

QVariant SpineModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return QVariant();
    return itemData(index).value(role);
}

QHash<int, QByteArray> SpineModel::roleNames() const
{
    return headers()->roleNames();
}
