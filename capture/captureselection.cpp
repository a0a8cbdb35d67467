#include "capture/captureselection.h"

#include "core/progressmodel.h"

#include <QSignalBlocker>

#include <algorithm>

namespace {

// Session rows as a selection of few ranges: neighbouring rows share one range, so the
// selection model never compares thousands of one-row ranges.
QItemSelection rangesOf(const QAbstractItemModel* model, QVector<int> rows)
{
    QItemSelection selection;
    std::sort(rows.begin(), rows.end());
    for (int i = 0; i < rows.size();) {
        int j = i;
        while (j + 1 < rows.size() && rows.at(j + 1) <= rows.at(j) + 1)
            ++j;
        selection.select(model->index(rows.at(i), 0), model->index(rows.at(j), 0));
        i = j + 1;
    }
    return selection;
}

// Holds back the estimate's notifications while many entries change, then sends one.
class QuietEstimate
{
public:
    explicit QuietEstimate(ProgressModel* estimate)
        : m_estimate(estimate)
        , m_blocked(estimate->blockSignals(true))
    { }
    ~QuietEstimate()
    {
        m_estimate->blockSignals(m_blocked);
        m_estimate->addProgress(0, 0);
    }

private:
    ProgressModel* m_estimate;
    bool m_blocked;
};

} // namespace

CaptureSelection::CaptureSelection(QAbstractProxyModel* view, ProgressModel* estimate, QObject* parent)
    : QObject(parent)
    , m_view(view)
    , m_estimate(estimate)
{ }

void CaptureSelection::setSelectionModel(QItemSelectionModel* selection)
{
    m_selection = selection;
    m_anchor = -1;
    m_rangeEnd = -1;
    m_estimate->reset();
}

void CaptureSelection::setAuto(bool on)
{
    if (m_auto == on)
        return;
    m_auto = on;
    emit autoselectChanged();
}

void CaptureSelection::choose(Predicate predicate, QVector<int> roles)
{
    m_predicate = std::move(predicate);
    m_roles = std::move(roles);
    setAuto(true);
    apply(0, m_view->rowCount() - 1, true);
}

void CaptureSelection::toManual()
{
    m_roles.clear();
    setAuto(false);
}

void CaptureSelection::reapply()
{
    if (m_auto && m_predicate) {
        apply(0, m_view->rowCount() - 1, true);
        return;
    }
    {
        const QuietEstimate quiet(m_estimate);
        m_estimate->reset();
        if (m_selection)
            for (const QModelIndex& source : m_selection->selectedRows())
                follow(source, true);
    }
}

bool CaptureSelection::isSelected(const QModelIndex& sourceIndex) const
{
    return m_selection && m_selection->isSelected(sourceIndex);
}

void CaptureSelection::follow(const QModelIndex& sourceIndex, bool checked)
{
    const QVariant key = sourceIndex.data(KeyRole);
    if (!key.isValid())
        return;
    if (checked && !sourceIndex.data(RawIdRole).toString().isEmpty())
        m_estimate->setPartialProgress(sourceIndex.data(SizeRole).toLongLong(), 1, key);
    else
        m_estimate->setPartialProgress(0, 0, key);
}

// Applies the automatic mode to the shown rows first..last. With `all` the choice
// replaces the whole selection (rows hidden by the filter included) in one step.
void CaptureSelection::apply(int first, int last, bool all)
{
    if (!m_selection || !m_predicate)
        return;
    QVector<int> on;
    QVector<int> off;
    {
        const QuietEstimate quiet(m_estimate);
        if (all)
            m_estimate->reset();
        for (int row = first; row <= last; ++row) {
            const QModelIndex source = m_view->mapToSource(m_view->index(row, 0));
            if (!source.isValid())
                continue;
            const bool pick = m_predicate(source);
            (pick ? on : off).append(source.row());
            follow(source, pick);
        }
    }
    const QAbstractItemModel* session = m_selection->model();
    if (all) {
        m_selection->select(rangesOf(session, on), QItemSelectionModel::ClearAndSelect);
        return;
    }
    if (!off.isEmpty())
        m_selection->select(rangesOf(session, off), QItemSelectionModel::Deselect);
    if (!on.isEmpty())
        m_selection->select(rangesOf(session, on), QItemSelectionModel::Select);
}

void CaptureSelection::selectIndex(const QModelIndex& index, bool checked)
{
    const QModelIndex source = index.model() == m_view ? m_view->mapToSource(index) : index;
    if (!m_selection || !source.isValid() || source.model() != m_selection->model())
        return;
    m_selection->select(source, checked ? QItemSelectionModel::Select : QItemSelectionModel::Deselect);
    follow(source, checked);
}

bool CaptureSelection::isQueued(const QModelIndex& sourceIndex)
{
    return sourceIndex.data(TransferringRole).toBool();
}

int CaptureSelection::selectManual(int row, bool checked, bool multi)
{
    toManual();
    const int count = m_view->rowCount();
    if (!m_selection || row < 0 || row >= count)
        return 0;
    if (!multi) {
        if (checked && isQueued(m_view->mapToSource(m_view->index(row, 0))))
            return 1;
        m_anchor = row;
        m_rangeEnd = -1;
        selectIndex(m_view->index(row, 0), checked);
        return 0;
    }
    if (m_anchor < 0 || m_anchor >= count) {
        m_anchor = row;
        m_rangeEnd = -1;
    }
    if (m_rangeEnd < 0 || m_rangeEnd >= count)
        m_rangeEnd = row;
    const int oldLow = qMin(m_anchor, m_rangeEnd), oldHigh = qMax(m_anchor, m_rangeEnd);
    const int low = qMin(m_anchor, row), high = qMax(m_anchor, row);
    QVector<int> on;
    QVector<int> off;
    int queued = 0;
    {
        const QuietEstimate quiet(m_estimate);
        for (int r = qMin(oldLow, low); r <= qMax(oldHigh, high); ++r) {
            const bool inNew = r >= low && r <= high;
            if (!inNew && (r < oldLow || r > oldHigh))
                continue;
            const QModelIndex source = m_view->mapToSource(m_view->index(r, 0));
            // A queued picture keeps whatever state it has.
            if (isQueued(source)) {
                queued += inNew ? 1 : 0;
                continue;
            }
            (inNew ? on : off).append(source.row());
            follow(source, inNew);
        }
    }
    const QAbstractItemModel* session = m_selection->model();
    if (!off.isEmpty())
        m_selection->select(rangesOf(session, off), QItemSelectionModel::Deselect);
    if (!on.isEmpty())
        m_selection->select(rangesOf(session, on), QItemSelectionModel::Select);
    m_rangeEnd = row;
    return queued;
}

void CaptureSelection::rowsShown(int first, int last)
{
    if (m_auto && m_predicate) {
        // The new rows are read afresh by every view: no per-row notification.
        const QSignalBlocker quiet(m_selection.data());
        apply(first, last, false);
        return;
    }
    {
        const QuietEstimate quiet(m_estimate);
        for (int row = first; row <= last; ++row) {
            const QModelIndex source = m_view->mapToSource(m_view->index(row, 0));
            if (source.isValid())
                follow(source, isSelected(source));
        }
    }
}

void CaptureSelection::rowsChanged(
    const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles)
{
    if (!m_selection || topLeft.model() != m_selection->model())
        return;
    const bool anyRole = roles.isEmpty();
    const bool decide = m_auto && m_predicate && !m_roles.isEmpty()
        && (anyRole
            || std::any_of(roles.begin(), roles.end(), [this](int r) { return m_roles.contains(r); }));
    QVector<int> shown;
    {
        const QuietEstimate quiet(m_estimate);
        for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
            const QModelIndex source = topLeft.sibling(row, 0);
            if (isSelected(source))
                follow(source, true); // the raw file may be new or gone
            const QModelIndex index = decide ? m_view->mapFromSource(source) : QModelIndex();
            if (index.isValid())
                shown.append(index.row());
        }
    }
    std::sort(shown.begin(), shown.end());
    for (int i = 0; i < shown.size();) {
        int j = i;
        while (j + 1 < shown.size() && shown.at(j + 1) == shown.at(j) + 1)
            ++j;
        apply(shown.at(i), shown.at(j), false);
        i = j + 1;
    }
}

void CaptureSelection::rowsLeaving(int first, int last)
{
    if (!m_selection)
        return;
    const QAbstractItemModel* session = m_selection->model();
    {
        const QuietEstimate quiet(m_estimate);
        for (int row = first; row <= last; ++row)
            follow(session->index(row, 0), false);
    }
}
