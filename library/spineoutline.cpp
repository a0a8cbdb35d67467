#include "library/spineoutline.h"

#include "library/sectiontree.h"

SpineOutline::SpineOutline(const SectionTree* tree, QObject* parent)
    : QAbstractListModel(parent)
    , m_tree(tree)
{ }

int SpineOutline::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_tree->rowCount();
}

QVariant SpineOutline::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() != 0 || index.parent().isValid())
        return QVariant();
    if (role == RangePathRole)
        return m_tree->pathAt(index.row());
    const SectionTree::Stats stats = m_tree->statsAt(index.row());
    switch (role) {
    case InnerInclRole:
        return int(stats.innerIncl);
    case InnerExclRole:
        return int(stats.innerExcl);
    case ItemsInclRole:
        return int(stats.itemsIncl);
    case ItemsExclRole:
        return int(stats.itemsExcl);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> SpineOutline::roleNames() const
{
    return { { RangePathRole, "rangePath" }, { InnerInclRole, "innerIncl" }, { InnerExclRole, "innerExcl" },
        { ItemsInclRole, "itemsIncl" }, { ItemsExclRole, "itemsExcl" } };
}

int SpineOutline::sectionAt(int row) const
{
    return m_tree->sectionAt(row);
}

int SpineOutline::indexOf(const QVariantList& keys) const
{
    return m_tree->indexOf(keys);
}

void SpineOutline::sectionCommit(const QVariantList& keys, int count, bool)
{
    if (count == 0)
        return;
    const int row = m_tree->indexOf(keys);
    if (row >= 0) {
        emit dataChanged(
            index(row, 0), index(row, 0), { InnerInclRole, InnerExclRole, ItemsInclRole, ItemsExclRole });
    }
}
