#include "library/branchfilter.h"

#include "library/sectiontree.h"

namespace {

// Key paths in the sections' own order, so the map lists a parent before its children.
struct PathLess
{
    bool operator()(const QVariantList& a, const QVariantList& b) const
    {
        for (int i = 0; i < qMin(a.size(), b.size()); ++i) {
            if (const int c = SectionTree::compareKeys(a[i], b[i]))
                return c < 0;
        }
        return a.size() < b.size();
    }
};

} // namespace

BranchFilter::BranchFilter(QObject* parent)
    : QSortFilterProxyModel(parent)
{
    setDynamicSortFilter(true);
    sort(0, Qt::AscendingOrder);
}

void BranchFilter::setSourceModel(QAbstractItemModel* source)
{
    QSortFilterProxyModel::setSourceModel(source);
    updateFilterRole();
}

QHash<int, QByteArray> BranchFilter::roleNames() const
{
    return sourceModel() ? sourceModel()->roleNames() : QHash<int, QByteArray>();
}

void BranchFilter::setFilterField(const QString& field)
{
    const QByteArray bytes = field.toLatin1();
    if (bytes == m_filterField)
        return;
    m_filterField = bytes;
    updateFilterRole();
    emit filterFieldChanged();
}

void BranchFilter::updateFilterRole()
{
    m_role = 0;
    if (!sourceModel())
        return;
    const QHash<int, QByteArray> roles = sourceModel()->roleNames();
    for (auto it = roles.cbegin(); it != roles.cend(); ++it) {
        if (it.value() == m_filterField)
            m_role = it.key();
    }
    invalidateFilter();
}

void BranchFilter::setInvert(bool invert)
{
    if (invert == m_invert)
        return;
    m_invert = invert;
    sort(0, invert ? Qt::DescendingOrder : Qt::AscendingOrder);
    emit invertChanged(invert);
}

void BranchFilter::flatten(const QVariantList& path, bool on)
{
    if (isFlattened(path) == on)
        return;
    if (on)
        m_flattened.append(path);
    else
        m_flattened.removeAll(path);
    invalidateFilter();
}

QVariantList BranchFilter::cull(const QVariantList& path) const
{
    // The outermost flattened ancestor swallows the path.
    QVariantList best;
    bool found = false;
    for (const QVariantList& candidate : m_flattened) {
        if (candidate.size() >= path.size() || path.mid(0, candidate.size()) != candidate)
            continue;
        if (!found || PathLess()(candidate, best)) {
            best = candidate;
            found = true;
        }
    }
    return found ? best : path;
}

void BranchFilter::unflattenAll()
{
    if (m_flattened.isEmpty())
        return;
    m_flattened.clear();
    invalidateFilter();
}

int BranchFilter::mapToSourceRow(int row) const
{
    return mapToSource(index(row, 0)).row();
}

int BranchFilter::mapToProxyRow(int row) const
{
    return sourceModel() ? mapFromSource(sourceModel()->index(row, 0)).row() : -1;
}

bool BranchFilter::filterAcceptsRow(int row, const QModelIndex& parent) const
{
    if (m_role == 0 && sourceModel()) {
        const QHash<int, QByteArray> roles = sourceModel()->roleNames();
        m_role = roles.key(m_filterField, 0);
    }
    if (m_role == 0)
        return true;
    const QVariantList path = sourceModel()->index(row, 0, parent).data(m_role).toList();
    return cull(path) == path;
}

bool BranchFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    return left.parent() == right.parent() && left.row() < right.row();
}
