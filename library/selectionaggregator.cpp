#include "library/selectionaggregator.h"

#include <QItemSelectionModel>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// Whole numbers by value with no text to build; anything else by type and text.
QPair<qint64, QString> keyOf(const QVariant& value)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
        return { value.toLongLong(), QString() };
    default:
        return { std::numeric_limits<qint64>::min() + value.userType(), value.toString() };
    }
}

} // namespace

SelectionAggregator::SelectionAggregator(QObject* parent)
    : QObject(parent)
{ }

QItemSelectionModel* SelectionAggregator::selectionModel() const
{
    return m_selectionModel;
}

void SelectionAggregator::resolveRole()
{
    m_role = 0;
    if (!m_model || m_roleName.isEmpty())
        return;
    const QByteArray name = m_roleName.toLatin1();
    const QHash<int, QByteArray> roles = m_model->roleNames();
    for (auto it = roles.cbegin(); it != roles.cend(); ++it) {
        if (it.value() == name)
            m_role = it.key();
    }
}

void SelectionAggregator::setModel(QAbstractItemModel* model)
{
    if (model == m_model)
        return;
    if (m_model)
        disconnect(m_model, nullptr, this, nullptr);
    m_model = model;
    if (model) {
        connect(model, &QAbstractItemModel::dataChanged, this, &SelectionAggregator::onDataChanged);
        connect(model, &QAbstractItemModel::rowsInserted, this, &SelectionAggregator::onRowsInserted);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &SelectionAggregator::onRowsRemoved);
        connect(
            model, &QAbstractItemModel::rowsAboutToBeMoved, this, &SelectionAggregator::onRowsAboutToBeMoved);
        connect(model, &QAbstractItemModel::rowsMoved, this, &SelectionAggregator::onRowsMoved);
        connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, &SelectionAggregator::onSettling);
        connect(model, &QAbstractItemModel::layoutChanged, this, &SelectionAggregator::onRowsCleaned);
        connect(model, &QAbstractItemModel::modelAboutToBeReset, this, &SelectionAggregator::onSettling);
        connect(model, &QAbstractItemModel::modelReset, this, &SelectionAggregator::onRowsCleaned);
        // The cells' places depend on the column count.
        connect(model, &QAbstractItemModel::columnsAboutToBeInserted, this, &SelectionAggregator::onSettling);
        connect(model, &QAbstractItemModel::columnsInserted, this, &SelectionAggregator::onRowsCleaned);
        connect(model, &QAbstractItemModel::columnsRemoved, this, &SelectionAggregator::onRowsCleaned);
        connect(model, &QAbstractItemModel::columnsAboutToBeMoved, this, &SelectionAggregator::onSettling);
        connect(model, &QAbstractItemModel::columnsMoved, this, &SelectionAggregator::onRowsCleaned);
    }
    resolveRole();
    // Attached to a selection that already exists: count what it holds now.
    rebuild();
    emit modelChanged();
}

void SelectionAggregator::setSelectionModel(QItemSelectionModel* selectionModel)
{
    if (selectionModel == m_selectionModel)
        return;
    if (m_selectionModel)
        disconnect(m_selectionModel, nullptr, this, nullptr);
    m_selectionModel = selectionModel;
    if (selectionModel) {
        connect(selectionModel, &QItemSelectionModel::selectionChanged, this,
            &SelectionAggregator::onSelectionChanged);
    }
    rebuild();
    emit selectionModelChanged();
}

void SelectionAggregator::setRoleName(const QString& name)
{
    if (name == m_roleName)
        return;
    m_roleName = name;
    resolveRole();
    rebuild();
    emit roleNameChanged();
}

int SelectionAggregator::slotFor(const QVariant& value)
{
    const Key key = keyOf(value);
    const auto it = m_slotOf.constFind(key);
    if (it != m_slotOf.cend())
        return it.value();
    int slot;
    if (!m_freeSlots.empty()) {
        slot = m_freeSlots.back();
        m_freeSlots.pop_back();
    } else {
        slot = int(m_slots.size());
        m_slots.emplace_back();
    }
    m_slots[size_t(slot)] = { value, 0 };
    m_slotOf.insert(key, slot);
    return slot;
}

void SelectionAggregator::take(int slot)
{
    Slot& entry = m_slots[size_t(slot)];
    if (--entry.count > 0)
        return;
    m_slotOf.remove(keyOf(entry.value));
    entry = Slot();
    m_freeSlots.push_back(slot);
}

void SelectionAggregator::countCell(const QModelIndex& index)
{
    const size_t cell = size_t(index.row()) * size_t(m_columns) + size_t(index.column());
    if (cell >= m_cells.size())
        m_cells.resize(cell + 1, -1);
    if (m_cells[cell] >= 0)
        return; // counted already (a selection taken out and put back unannounced)
    const int slot = slotFor(index.data(m_role));
    ++m_slots[size_t(slot)].count;
    m_cells[cell] = slot;
    ++m_countedCells;
}

void SelectionAggregator::uncountCell(size_t cell)
{
    if (cell >= m_cells.size() || m_cells[cell] < 0)
        return; // never counted: cannot drive a count below zero
    take(m_cells[cell]);
    m_cells[cell] = -1;
    if (--m_countedCells == 0)
        m_cells.clear();
}

void SelectionAggregator::countChild(const QModelIndex& index, int step)
{
    const QVariant value = index.data(m_role);
    if (step > 0) {
        ++m_slots[size_t(slotFor(value))].count;
        ++m_childCells;
        return;
    }
    const auto it = m_slotOf.constFind(keyOf(value));
    if (it == m_slotOf.cend() || m_childCells == 0)
        return;
    --m_childCells;
    take(it.value());
}

void SelectionAggregator::count(const QItemSelection& selection, int step)
{
    if (!m_model)
        return;
    for (const QItemSelectionRange& range : selection) {
        if (!range.isValid())
            continue;
        const QModelIndex parent = range.parent();
        for (int row = range.top(); row <= range.bottom(); ++row) {
            for (int column = range.left(); column <= range.right(); ++column) {
                if (parent.isValid()) {
                    countChild(m_model->index(row, column, parent), step);
                } else if (column >= m_columns) {
                    // Columns came without being announced: count everything afresh.
                    scheduleRebuild();
                } else if (step > 0) {
                    countCell(m_model->index(row, column));
                } else {
                    uncountCell(size_t(row) * size_t(m_columns) + size_t(column));
                }
            }
        }
    }
}

void SelectionAggregator::clearCounts()
{
    m_slots.clear();
    m_freeSlots.clear();
    m_slotOf.clear();
    m_cells.clear();
    m_countedCells = 0;
    m_childCells = 0;
}

void SelectionAggregator::publish(bool wasDefined)
{
    if (defined()) {
        const QVariant value = m_slots[size_t(m_slotOf.cbegin().value())].value;
        if (value != m_value || value.userType() != m_value.userType()) {
            m_value = value;
            emit valueChanged(value);
        }
    }
    if (wasDefined != defined())
        emit definedChanged();
}

void SelectionAggregator::onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    if (m_settling)
        return; // counted whole once the model has settled
    if (m_role == 0)
        resolveRole();
    const bool wasDefined = defined();
    const bool empty = !m_selectionModel || !m_selectionModel->hasSelection();
    if (empty)
        clearCounts();
    else
        count(deselected, -1);
    count(selected, 1);
    publish(wasDefined);
}

void SelectionAggregator::onDataChanged(
    const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles)
{
    if (m_settling)
        return;
    if (m_role == 0)
        resolveRole();
    if (!roles.isEmpty() && !roles.contains(m_role))
        return;
    if (!m_model || !topLeft.isValid() || !bottomRight.isValid())
        return;
    if (!followsTopRows(topLeft.parent()))
        return;
    // Only counted cells matter: each is taken out with its old value and counted anew.
    const bool wasDefined = defined();
    const int lastColumn = qMin(bottomRight.column(), m_columns - 1);
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        for (int column = topLeft.column(); column <= lastColumn; ++column) {
            const size_t cell = size_t(row) * size_t(m_columns) + size_t(column);
            if (cell >= m_cells.size())
                break;
            if (m_cells[cell] < 0)
                continue;
            const int slot = slotFor(m_model->index(row, column).data(m_role));
            ++m_slots[size_t(slot)].count;
            take(m_cells[cell]);
            m_cells[cell] = slot;
        }
    }
    publish(wasDefined);
}

bool SelectionAggregator::followsTopRows(const QModelIndex& parent)
{
    if (m_settling)
        return false;
    if (parent.isValid()) {
        // Cells under a parent are not followed row by row: they are counted again.
        if (m_childCells > 0)
            scheduleRebuild();
        return false;
    }
    return true;
}

void SelectionAggregator::onRowsInserted(const QModelIndex& parent, int first, int last)
{
    if (!followsTopRows(parent))
        return;
    const size_t at = size_t(first) * size_t(m_columns);
    if (at < m_cells.size())
        m_cells.insert(m_cells.begin() + ptrdiff_t(at), size_t(last - first + 1) * size_t(m_columns), -1);
}

void SelectionAggregator::onRowsRemoved(const QModelIndex& parent, int first, int last)
{
    if (!followsTopRows(parent))
        return;
    // The selection model usually deselects rows before they go; any cell still counted
    // leaves with its value.
    const bool wasDefined = defined();
    const size_t from = size_t(first) * size_t(m_columns);
    const size_t to = qMin(size_t(last + 1) * size_t(m_columns), m_cells.size());
    for (size_t cell = from; cell < to; ++cell)
        uncountCell(cell);
    if (from < m_cells.size())
        m_cells.erase(m_cells.begin() + ptrdiff_t(from), m_cells.begin() + ptrdiff_t(to));
    publish(wasDefined);
}

void SelectionAggregator::onRowsAboutToBeMoved(
    const QModelIndex& from, int first, int last, const QModelIndex& to, int row)
{
    if (m_settling)
        return;
    if (from.isValid() || to.isValid()) {
        // Rows that change parents: the cells are counted afresh once they have.
        m_settling = true;
        return;
    }
    // Followed now, before the move ends: whoever puts a selection back when it has ended
    // (announcing it as selected) finds its cells counted already, at their new rows.
    if (m_cells.empty() || (row >= first && row <= last + 1))
        return;
    const size_t columns = size_t(m_columns);
    const size_t begin = size_t(qMin(first, row)) * columns;
    const size_t end = size_t(qMax(last + 1, row)) * columns;
    if (m_cells.size() < end)
        m_cells.resize(end, -1);
    const auto base = m_cells.begin();
    if (row > last)
        std::rotate(
            base + ptrdiff_t(begin), base + ptrdiff_t(size_t(last + 1) * columns), base + ptrdiff_t(end));
    else
        std::rotate(
            base + ptrdiff_t(begin), base + ptrdiff_t(size_t(first) * columns), base + ptrdiff_t(end));
}

void SelectionAggregator::onRowsMoved(const QModelIndex& from, int, int, const QModelIndex& to, int)
{
    if (m_settling && (from.isValid() || to.isValid()))
        rebuild();
}

void SelectionAggregator::onSettling()
{
    m_settling = true;
}

void SelectionAggregator::onRowsCleaned()
{
    rebuild();
}

void SelectionAggregator::scheduleRebuild()
{
    if (m_rebuildPending)
        return;
    m_rebuildPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_rebuildPending)
            rebuild();
    });
}

void SelectionAggregator::rebuild()
{
    m_rebuildPending = false;
    m_settling = false;
    if (m_role == 0)
        resolveRole();
    const bool wasDefined = defined();
    clearCounts();
    m_columns = m_model ? qMax(1, m_model->columnCount()) : 1;
    if (m_selectionModel && m_model && m_selectionModel->model() == m_model)
        count(m_selectionModel->selection(), 1);
    publish(wasDefined);
}
