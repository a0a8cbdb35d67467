#include "library/cellwindow.h"

#include <QStandardItemModel>

#include <limits>

CellWindow::CellWindow(QObject* parent)
    : QAbstractProxyModel(parent)
    , m_empty(new QStandardItemModel(this))
{
    setSourceModel(m_empty);
}

void CellWindow::setSourceModel(QAbstractItemModel* source)
{
    if (!source)
        source = m_empty;
    beginResetModel();
    if (sourceModel())
        disconnect(sourceModel(), nullptr, this, nullptr);
    QAbstractProxyModel::setSourceModel(source);
    connect(source, &QAbstractItemModel::dataChanged, this, &CellWindow::sourceDataChanged);
    connect(
        source, &QAbstractItemModel::rowsAboutToBeInserted, this, &CellWindow::sourceRowsAboutToBeInserted);
    connect(source, &QAbstractItemModel::rowsInserted, this, &CellWindow::sourceRowsInserted);
    connect(source, &QAbstractItemModel::rowsAboutToBeRemoved, this, &CellWindow::sourceRowsAboutToBeRemoved);
    connect(source, &QAbstractItemModel::rowsRemoved, this, &CellWindow::sourceRowsRemoved);
    // Anything else may change any row: the window is shown afresh.
    connect(source, &QAbstractItemModel::rowsAboutToBeMoved, this, &CellWindow::beginReset);
    connect(source, &QAbstractItemModel::rowsMoved, this, &CellWindow::endReset);
    connect(source, &QAbstractItemModel::layoutAboutToBeChanged, this, &CellWindow::beginReset);
    connect(source, &QAbstractItemModel::layoutChanged, this, &CellWindow::endReset);
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, &CellWindow::beginReset);
    connect(source, &QAbstractItemModel::modelReset, this, &CellWindow::endReset);
    const auto range = clamped();
    m_count = qMax(0, range.second - range.first + 1);
    m_first = range.first;
    endResetModel();
    emit firstChanged();
}

QPair<int, int> CellWindow::clamped() const
{
    const int rows = sourceModel() ? sourceModel()->rowCount() : 0;
    const int first = qBound(0, m_wantedFirst, rows);
    const int last = qMin(m_wantedLast, rows - 1);
    return { first, last < first ? first - 1 : last };
}

void CellWindow::setFirst(int first)
{
    if (first == m_first)
        return;
    m_first = first;
    emit firstChanged();
}

void CellWindow::setRange(int first, int last)
{
    m_wantedFirst = qMax(0, first);
    m_wantedLast = last;
    if (m_sourceChanging || m_resetting) {
        m_deferred = true; // applied once the source has settled
        return;
    }
    applyRange();
}

void CellWindow::settled()
{
    if (!m_deferred || m_sourceChanging || m_resetting)
        return;
    m_deferred = false;
    applyRange();
}

void CellWindow::applyRange()
{
    const auto range = clamped();
    const int to = range.first;
    const int toEnd = range.second + 1;
    const int from = m_first;
    const int fromEnd = m_first + m_count;
    if (to >= toEnd || from >= fromEnd || toEnd <= from || to >= fromEnd) {
        // Nothing in common: the old rows go, the new ones come.
        if (m_count > 0) {
            beginRemoveRows(QModelIndex(), 0, m_count - 1);
            m_count = 0;
            endRemoveRows();
        }
        setFirst(to);
        if (to < toEnd) {
            beginInsertRows(QModelIndex(), 0, toEnd - to - 1);
            m_count = toEnd - to;
            endInsertRows();
        }
        return;
    }
    if (to > from) {
        beginRemoveRows(QModelIndex(), 0, to - from - 1);
        m_first = to;
        m_count -= to - from;
        endRemoveRows();
    } else if (to < from) {
        beginInsertRows(QModelIndex(), 0, from - to - 1);
        m_first = to;
        m_count += from - to;
        endInsertRows();
    }
    if (toEnd < fromEnd) {
        beginRemoveRows(QModelIndex(), toEnd - m_first, m_count - 1);
        m_count = toEnd - m_first;
        endRemoveRows();
    } else if (toEnd > fromEnd) {
        beginInsertRows(QModelIndex(), m_count, toEnd - m_first - 1);
        m_count = toEnd - m_first;
        endInsertRows();
    }
    if (from != to)
        emit firstChanged();
}

void CellWindow::sourceRowsAboutToBeInserted(const QModelIndex& parent, int first, int last)
{
    if (parent.isValid())
        return;
    m_sourceChanging = true;
    // Rows that come inside the window join it; rows before it shift it.
    if (first > m_first && first < m_first + m_count) {
        beginInsertRows(QModelIndex(), first - m_first, last - m_first);
        m_inserting = true;
    }
}

void CellWindow::sourceRowsInserted(const QModelIndex& parent, int first, int last)
{
    if (parent.isValid())
        return;
    m_sourceChanging = false;
    const int count = last - first + 1;
    // The wanted range named the rows it showed: it moves with them. One asked for while
    // the rows came names them as they are now.
    if (!m_deferred && (m_inserting || first <= m_first)) {
        if (first <= m_wantedFirst)
            m_wantedFirst += count;
        if (first <= m_wantedLast && m_wantedLast < std::numeric_limits<int>::max() - count)
            m_wantedLast += count;
    }
    if (m_inserting) {
        m_count += count;
        m_inserting = false;
        endInsertRows();
    } else if (first <= m_first) {
        m_first += count;
        emit firstChanged();
    }
    settled();
}

void CellWindow::sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last)
{
    if (parent.isValid())
        return;
    m_sourceChanging = true;
    const int from = qMax(first, m_first);
    const int to = qMin(last, m_first + m_count - 1);
    if (from <= to) {
        beginRemoveRows(QModelIndex(), from - m_first, to - m_first);
        m_removing = true;
    }
}

void CellWindow::sourceRowsRemoved(const QModelIndex& parent, int first, int last)
{
    if (parent.isValid())
        return;
    m_sourceChanging = false;
    const int before = qMax(0, qMin(last, m_first - 1) - first + 1);
    const int inside = qMax(0, qMin(last, m_first + m_count - 1) - qMax(first, m_first) + 1);
    const int count = last - first + 1;
    // The wanted range named the rows it showed: it keeps what is left of them. One asked
    // for while the rows went names the rows as they are now.
    if (!m_deferred) {
        if (m_wantedFirst > last)
            m_wantedFirst -= count;
        else if (m_wantedFirst >= first)
            m_wantedFirst = first;
        if (m_wantedLast > last)
            m_wantedLast -= count;
        else if (m_wantedLast >= first)
            m_wantedLast = first - 1;
    }
    if (m_removing) {
        m_count -= inside;
        m_first -= before;
        m_removing = false;
        endRemoveRows();
        if (before > 0)
            emit firstChanged();
    } else if (before > 0) {
        m_first -= before;
        emit firstChanged();
    }
    settled();
}

void CellWindow::sourceDataChanged(
    const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles)
{
    if (!topLeft.isValid() || topLeft.parent().isValid())
        return;
    const int from = qMax(topLeft.row(), m_first);
    const int to = qMin(bottomRight.row(), m_first + m_count - 1);
    if (from <= to)
        emit dataChanged(
            index(from - m_first, topLeft.column()), index(to - m_first, bottomRight.column()), roles);
}

void CellWindow::beginReset()
{
    if (m_resetting)
        return;
    m_resetting = true;
    beginResetModel();
}

void CellWindow::endReset()
{
    if (!m_resetting)
        return;
    m_resetting = false;
    const auto range = clamped();
    m_count = qMax(0, range.second - range.first + 1);
    m_first = range.first;
    m_deferred = false; // the range asked for is shown
    endResetModel();
    emit firstChanged();
}

QHash<int, QByteArray> CellWindow::roleNames() const
{
    return sourceModel()->roleNames();
}

int CellWindow::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_count;
}

int CellWindow::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : sourceModel()->columnCount();
}

QModelIndex CellWindow::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || row >= m_count || column >= columnCount())
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex CellWindow::parent(const QModelIndex&) const
{
    return QModelIndex();
}

QModelIndex CellWindow::mapFromSource(const QModelIndex& sourceIndex) const
{
    if (!sourceIndex.isValid() || sourceIndex.parent().isValid())
        return QModelIndex();
    const int row = sourceIndex.row() - m_first;
    if (row < 0 || row >= m_count)
        return QModelIndex();
    return index(row, sourceIndex.column());
}

QModelIndex CellWindow::mapToSource(const QModelIndex& proxyIndex) const
{
    if (!proxyIndex.isValid())
        return QModelIndex();
    return sourceModel()->index(m_first + proxyIndex.row(), proxyIndex.column());
}
