#include "library/spinemodel.h"

#include <QHash>

#include "library/agnostic.h"
#include "library/ordering.h"

SpineModel::SpineModel(QObject* parent)
    : QAbstractListModel(parent)
    , m_agnostic(new Agnostic(this))
    , m_defaultOrdering(Ordering::byUrl(this))
    , m_ordering(m_defaultOrdering)
{
    connectResolver(m_agnostic);
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
    resort();
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
    resort();
    emit layoutChanged(QList<QPersistentModelIndex>(), QAbstractItemModel::VerticalSortHint);
    if (changed)
        emit orderingChanged();
}

void SpineModel::resort()
{
    const QModelIndexList persistent = persistentIndexList();
    QList<QUrl> persistentUrls;
    persistentUrls.reserve(persistent.size());
    for (const QModelIndex& index : persistent)
        persistentUrls.append(urlAt(index));

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

void SpineModel::insertListed(int row, const QUrl& url)
{
    beginInsertRows(QModelIndex(), row, row);
    m_list.insert(row, url);
    m_listed.insert(url);
    endInsertRows();
}

void SpineModel::removeListedAt(int row)
{
    beginRemoveRows(QModelIndex(), row, row);
    m_listed.remove(m_list.takeAt(row));
    endRemoveRows();
}

void SpineModel::forgetUrlAt(int row)
{
    if (row >= 0 && row < m_list.size())
        removeListedAt(row);
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
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    for (int i = 0; i < count; ++i)
        m_listed.remove(m_list.takeAt(row));
    endRemoveRows();
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
    if (!m_list.isEmpty())
        forgetRows(0, m_list.size());
    QSet<QUrl> gross;
    gross.swap(m_gross);
    return gross;
}

QPair<int, int> SpineModel::locateUrl(const QUrl& url)
{
    return m_ordering->equalRange(m_list, url, headers());
}

void SpineModel::recallUrl(const QUrl& url)
{
    m_recalledUrl = url;
    m_recalledRow = rowOf(url);
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
    if (url == m_recalledUrl && m_recalledRow >= 0 && m_recalledRow < m_list.size()
        && m_list.at(m_recalledRow) == url) {
        old = m_recalledRow;
    }
    m_recalledUrl.clear();
    m_recalledRow = -1;
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
    }
    const int place = placeWithout(old, url);
    emit dataChanged(index(old, 0), index(old, 0));
    if (place == old)
        return;
    beginMoveRows(QModelIndex(), old, old, QModelIndex(), place > old ? place + 1 : place);
    m_list.move(old, place);
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
