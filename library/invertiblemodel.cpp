#include "library/invertiblemodel.h"

#include <QStandardItemModel>

InvertibleModel::InvertibleModel(QObject* parent)
    : QAbstractProxyModel(parent)
    , m_empty(new QStandardItemModel(this))
{
    setSourceModel(m_empty);
}

void InvertibleModel::setInvert(bool invert)
{
    if (invert == m_invert)
        return;
    emit layoutAboutToBeChanged();
    const QModelIndexList before = persistentIndexList();
    m_invert = invert;
    QModelIndexList after;
    for (const QModelIndex& index : before)
        after.append(index.isValid() ? this->index(rowCount() - index.row() - 1, index.column()) : index);
    changePersistentIndexList(before, after);
    emit layoutChanged();
    emit invertChanged();
}

void InvertibleModel::setSourceModel(QAbstractItemModel* source)
{
    if (!source)
        source = m_empty;
    beginResetModel();
    if (sourceModel())
        disconnect(sourceModel(), nullptr, this, nullptr);
    QAbstractProxyModel::setSourceModel(source);
    connect(source, &QAbstractItemModel::dataChanged, this, &InvertibleModel::sourceDataChanged);
    connect(source, &QAbstractItemModel::rowsAboutToBeInserted, this,
        &InvertibleModel::sourceRowsAboutToBeInserted);
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this,
        &InvertibleModel::sourceRowsAboutToBeRemoved);
    connect(
        source, &QAbstractItemModel::rowsAboutToBeMoved, this, &InvertibleModel::sourceRowsAboutToBeMoved);
    connect(source, &QAbstractItemModel::rowsInserted, this, [this] { endInsertRows(); });
    connect(source, &QAbstractItemModel::rowsRemoved, this, [this] { endRemoveRows(); });
    connect(source, &QAbstractItemModel::rowsMoved, this, [this] { endMoveRows(); });
    connect(
        source, &QAbstractItemModel::layoutAboutToBeChanged, this, [this] { emit layoutAboutToBeChanged(); });
    connect(source, &QAbstractItemModel::layoutChanged, this, [this] { emit layoutChanged(); });
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
    connect(source, &QAbstractItemModel::modelReset, this, [this] { endResetModel(); });
    endResetModel();
}

QHash<int, QByteArray> InvertibleModel::roleNames() const
{
    return sourceModel()->roleNames();
}

int InvertibleModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : sourceModel()->rowCount();
}

int InvertibleModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : sourceModel()->columnCount();
}

QModelIndex InvertibleModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex InvertibleModel::parent(const QModelIndex&) const
{
    return QModelIndex();
}

QModelIndex InvertibleModel::mapFromSource(const QModelIndex& sourceIndex) const
{
    if (!sourceIndex.isValid() || sourceIndex.parent().isValid())
        return QModelIndex();
    return index(mirrored(sourceIndex.row()), sourceIndex.column());
}

QModelIndex InvertibleModel::mapToSource(const QModelIndex& proxyIndex) const
{
    if (!proxyIndex.isValid())
        return QModelIndex();
    return sourceModel()->index(mirrored(proxyIndex.row()), proxyIndex.column());
}

void InvertibleModel::sourceDataChanged(
    const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles)
{
    const QModelIndex a = mapFromSource(topLeft);
    const QModelIndex b = mapFromSource(bottomRight);
    if (!a.isValid() || !b.isValid())
        return;
    emit dataChanged(index(qMin(a.row(), b.row()), qMin(a.column(), b.column())),
        index(qMax(a.row(), b.row()), qMax(a.column(), b.column())), roles);
}

void InvertibleModel::sourceRowsAboutToBeInserted(const QModelIndex&, int first, int last)
{
    const int c = rowCount();
    if (m_invert)
        beginInsertRows(QModelIndex(), c - first, c + last - 2 * first);
    else
        beginInsertRows(QModelIndex(), first, last);
}

void InvertibleModel::sourceRowsAboutToBeRemoved(const QModelIndex&, int first, int last)
{
    const int c = rowCount();
    if (m_invert)
        beginRemoveRows(QModelIndex(), c - last - 1, c - first - 1);
    else
        beginRemoveRows(QModelIndex(), first, last);
}

void InvertibleModel::sourceRowsAboutToBeMoved(
    const QModelIndex&, int first, int last, const QModelIndex&, int d)
{
    if (!m_invert) {
        beginMoveRows(QModelIndex(), first, last, QModelIndex(), d);
        return;
    }
    // The block ends up at source rows [d', d' + k); mirrored, it starts at c - d' - k.
    // A destination before the block is that start; after it, the start plus the block.
    const int c = rowCount();
    const int k = last - first + 1;
    const int settled = d <= first ? d : d - k;
    const int start = c - settled - k;
    const int from = c - last - 1;
    beginMoveRows(QModelIndex(), from, c - first - 1, QModelIndex(), start <= from ? start : start + k);
}
