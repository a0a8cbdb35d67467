#include "library/selectionaggregator.h"

#include <QItemSelectionModel>
#include <QTimer>

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
        connect(model, &QAbstractItemModel::rowsMoved, this, &SelectionAggregator::onRowsCleaned);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &SelectionAggregator::onRowsCleaned);
        connect(model, &QAbstractItemModel::layoutChanged, this, &SelectionAggregator::onRowsCleaned);
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

void SelectionAggregator::count(const QItemSelection& selection, int step)
{
    if (!m_model)
        return;
    for (const QItemSelectionRange& range : selection) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            for (int column = range.left(); column <= range.right(); ++column) {
                const QVariant value = m_model->index(row, column, range.parent()).data(m_role);
                const auto key = keyOf(value);
                int& n = m_counts[key];
                n += step;
                if (n <= 0) {
                    // A cell that was never counted (a selection older than this object)
                    // cannot drive a count below zero.
                    m_counts.remove(key);
                    m_values.remove(key);
                } else {
                    m_values.insert(key, value);
                }
            }
        }
    }
}

void SelectionAggregator::publish(bool wasDefined)
{
    if (m_counts.size() == 1) {
        const QVariant value = m_values.cbegin().value();
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
    if (m_role == 0)
        resolveRole();
    const bool wasDefined = defined();
    const bool empty = !m_selectionModel || m_selectionModel->selection().isEmpty();
    if (empty) {
        m_counts.clear();
        m_values.clear();
    }
    count(selected, 1);
    if (!empty)
        count(deselected, -1);
    publish(wasDefined);
}

void SelectionAggregator::onDataChanged(
    const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles)
{
    if (m_role == 0)
        resolveRole();
    if (!roles.isEmpty() && !roles.contains(m_role))
        return;
    if (!m_selectionModel)
        return;
    const QItemSelection changed(topLeft, bottomRight);
    const QItemSelection selection = m_selectionModel->selection();
    for (const QItemSelectionRange& range : selection) {
        for (const QItemSelectionRange& part : changed) {
            if (range.intersects(part)) {
                // Counted once the model settles: a change comes with its move.
                scheduleRebuild();
                return;
            }
        }
    }
}

void SelectionAggregator::onRowsCleaned()
{
    // Rows going one at a time would count the whole selection once per row: count it
    // once when the model has settled.
    scheduleRebuild();
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
    if (m_role == 0)
        resolveRole();
    const bool wasDefined = defined();
    m_counts.clear();
    m_values.clear();
    if (m_selectionModel && m_model && m_selectionModel->model() == m_model)
        count(m_selectionModel->selection(), 1);
    publish(wasDefined);
}
