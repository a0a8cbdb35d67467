#include "library/activesession.h"

#include <QItemSelectionModel>
#include <QMetaMethod>
#include <QSize>

#include <algorithm>

#include "core/progressmodel.h"
#include "library/ordering.h"
#include "library/rowranges.h"
#include "library/session.h"
#include "library/sortkeycache.h"
#include "library/urlidentity.h"

ActiveSession::ActiveSession(QObject* parent)
    : SpineModel(parent)
    , m_indexProgress(new ProgressModel(this))
    , m_byTimestamp(Ordering::byTimestamp(this))
    , m_byRating(Ordering::byRating(this))
    , m_byFolder(Ordering::byFolder(this))
{
    // Connected before the selection model exists, so the selection is taken out before
    // the selection model would save it index by index, and put back after.
    connect(this, &QAbstractItemModel::rowsAboutToBeMoved, this, &ActiveSession::onRowsAboutToBeMoved);
    connect(this, &QAbstractItemModel::layoutAboutToBeChanged, this, &ActiveSession::saveSelection);
    connect(this, &QAbstractItemModel::rowsMoved, this, &ActiveSession::onRowsMoved);
    connect(this, &QAbstractItemModel::layoutChanged, this, &ActiveSession::restoreSelection);

    m_selectionModel = new QItemSelectionModel(this, this);
    // Moves are followed here (see onRowsAboutToBeMoved): the selection model's own handling
    // would read every selected cell's flags on each move, to no effect.
    m_followsMoves = disconnect(this, SIGNAL(rowsAboutToBeMoved(QModelIndex, int, int, QModelIndex, int)),
                         m_selectionModel, SLOT(_q_layoutAboutToBeChanged()))
        && disconnect(this, SIGNAL(rowsMoved(QModelIndex, int, int, QModelIndex, int)), m_selectionModel,
            SLOT(_q_layoutChanged()));
    connect(
        m_selectionModel, &QItemSelectionModel::selectionChanged, this, &ActiveSession::onSelectionChanged);
    connect(
        m_selectionModel, &QItemSelectionModel::currentChanged, this, &ActiveSession::onCurrentIndexChanged);
    connect(this, &SpineModel::grossCountChanged, this, &ActiveSession::updateProgress);
    connect(this, &QAbstractItemModel::rowsInserted, this, &ActiveSession::updateProgress);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &ActiveSession::updateProgress);
    // Rows that come or go shift the selection's ranges without a selection signal.
    connect(this, &QAbstractItemModel::rowsInserted, this, &ActiveSession::onRowsInserted);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &ActiveSession::onRowsRemoved);
    connect(this, &QAbstractItemModel::modelReset, this, &ActiveSession::onModelReset);
    // Many files going at once reset the model: the selection of those that stay is kept.
    connect(this, &QAbstractItemModel::modelAboutToBeReset, this, &ActiveSession::saveSelection);
    connect(this, &QAbstractItemModel::modelReset, this, &ActiveSession::restoreSelection);
    connect(this, &ActiveSession::sortFieldChanged, this, &ActiveSession::updateSort);
}

ActiveSession::~ActiveSession()
{
    if (m_source)
        disconnect(m_source, nullptr, this, nullptr);
}

QVariant ActiveSession::data(const QModelIndex& index, int role) const
{
    if (role == Qt::SizeHintRole && index.isValid()) {
        const QMap<int, QVariant> headers = itemData(index);
        return QSize(int(headers.value(IResolver::AspectWidth).toLongLong()),
            int(headers.value(IResolver::AspectHeight).toLongLong()));
    }
    return SpineModel::data(index, role);
}

Qt::ItemFlags ActiveSession::flags(const QModelIndex& index) const
{
    // Not enabled on purpose: the gallery draws and handles its cells itself.
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void ActiveSession::setSortField(const QString& field)
{
    if (field == m_sortField)
        return;
    m_sortField = field;
    emit sortFieldChanged();
}

void ActiveSession::updateSort()
{
    IOrdering* ordering = nullptr;
    if (m_sortField == QLatin1String("timestamp"))
        ordering = m_byTimestamp;
    else if (m_sortField == QLatin1String("rating"))
        ordering = m_byRating;
    else if (m_sortField == QLatin1String("filePath"))
        ordering = m_byFolder;
    setOrdering(ordering);
}

void ActiveSession::setSource(Session* session)
{
    if (session == m_source)
        return;
    QSet<QUrl> closed = takeAll();
    if (m_closing.isEmpty())
        m_closing = std::move(closed);
    else
        m_closing.unite(closed);
    if (m_source) {
        disconnect(m_source, &Session::addFile, this, &ActiveSession::insertUrl);
        disconnect(m_source, &Session::delFile, this, &ActiveSession::removeUrl);
        disconnect(m_source, &Session::delFiles, this, &ActiveSession::removeUrls);
        disconnect(m_source, &Session::settled, this, &ActiveSession::closeWhatWent);
        m_source->setActive(false);
    }
    m_source = session;
    if (session) {
        connect(session, &Session::addFile, this, &ActiveSession::insertUrl);
        connect(session, &Session::delFile, this, &ActiveSession::removeUrl);
        connect(session, &Session::delFiles, this, &ActiveSession::removeUrls);
        connect(session, &Session::settled, this, &ActiveSession::closeWhatWent);
        session->setActive(true);
        const QList<QUrl> files = session->files().values();
        for (const QUrl& url : files)
            insertUrl(url);
    }
    emit grossCountChanged();
    emit sourceChanged();
    // The session reads its folders off this thread: what it offers is known once it is
    // settled.
    if (!session || !session->isReading())
        closeWhatWent();
}

void ActiveSession::closeWhatWent()
{
    if (m_closing.isEmpty())
        return;
    QSet<QUrl> closed = std::move(m_closing);
    m_closing.clear();
    // The files that go: all of them when the new session offers none (no look-ups).
    if (grossCount() > 0) {
        for (auto it = closed.begin(); it != closed.end();) {
            if (isOffered(*it))
                it = closed.erase(it);
            else
                ++it;
        }
    }
    // Their sort keys go too: a day of sessions would otherwise keep one for every file seen.
    if (SortKeyCache* keys = SortKeyCache::of(resolver()))
        keys->forget(closed);
    // Announced one by one to whoever listens; with no one, the set is not walked.
    static const QMetaMethod closedSignal = QMetaMethod::fromSignal(&SpineModel::fileClosed);
    if (isSignalConnected(closedSignal)) {
        for (const QUrl& url : qAsConst(closed))
            emit fileClosed(url);
    }
    freeLater(std::move(closed));
}

QModelIndex ActiveSession::currentIndex() const
{
    return m_selectionModel->currentIndex();
}

void ActiveSession::setCurrentIndex(const QModelIndex& index)
{
    m_shiftIndex = QPersistentModelIndex();
    emit shiftIndexChanged();
    m_selectionModel->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
}

void ActiveSession::setShiftIndex(const QModelIndex& index)
{
    const QModelIndex current = currentIndex();
    if (current.isValid() && index.isValid()) {
        const int first = qMin(current.row(), index.row());
        const int last = qMax(current.row(), index.row());
        m_selectionModel->select(
            QItemSelection(this->index(first, 0), this->index(last, 0)), QItemSelectionModel::Select);
    }
    m_shiftIndex = index;
    emit shiftIndexChanged();
}

void ActiveSession::onCurrentIndexChanged()
{
    emit currentIndexChanged();
}

void ActiveSession::onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected)
{
    // The change is exactly what the signal tells: the known rows follow it.
    if (!m_restoring && m_rangesKnown) {
        m_knownRanges
            = RowRanges::united(RowRanges::subtracted(m_knownRanges, topRows(deselected)), topRows(selected));
    } else if (!m_restoring) {
        forgetKnownRanges();
    }
    emit selectionSizeChanged();
}

RowRanges::List ActiveSession::topRows(const QItemSelection& selection)
{
    RowRanges::List rows;
    rows.reserve(selection.size());
    for (const QItemSelectionRange& range : selection) {
        if (range.isValid() && !range.parent().isValid())
            rows.append({ range.top(), range.bottom() });
    }
    return RowRanges::normalized(rows);
}

void ActiveSession::onRowsInserted(const QModelIndex& parent, int first, int last)
{
    if (m_rangesKnown && !parent.isValid())
        m_knownRanges = RowRanges::inserted(m_knownRanges, first, last - first + 1);
}

void ActiveSession::onRowsRemoved(const QModelIndex& parent, int first, int last)
{
    if (m_rangesKnown && !parent.isValid())
        m_knownRanges = RowRanges::removed(m_knownRanges, first, last);
}

void ActiveSession::onModelReset()
{
    // The selection model has emptied itself without a word (connected before this).
    forgetKnownRanges();
    m_shiftIndex = QPersistentModelIndex();
    emit selectionSizeChanged();
    emit currentIndexChanged();
    emit shiftIndexChanged();
}

void ActiveSession::forgetKnownRanges()
{
    // Nothing selected is known at once.
    m_knownRanges.clear();
    m_rangesKnown = !m_selectionModel->hasSelection();
}

QList<QPair<int, int>> ActiveSession::knownOrSelectedRanges() const
{
    // A selection model reset from outside would have emptied the selection unannounced.
    if (m_rangesKnown && m_selectionModel->hasSelection() == !m_knownRanges.isEmpty())
        return m_knownRanges;
    return selectedRowRanges();
}

QList<QPair<int, int>> ActiveSession::selectedRowRanges() const
{
    // Read by ranges: the cells are not enabled, so selectedIndexes() never lists them.
    return topRows(m_selectionModel->selection());
}

void ActiveSession::saveSelection()
{
    m_savedSelection.clear();
    m_savedIdentities.clear();
    const auto ranges = knownOrSelectedRanges();
    const QList<QUrl>& urls = list();
    for (const auto& range : ranges) {
        for (int row = range.first; row <= range.second && row < urls.size(); ++row) {
            m_savedSelection.append(urls.at(row));
            m_savedIdentities.insert(urlIdentity(urls.at(row)));
        }
    }
    m_savedCurrent = urlAt(currentIndex());
    m_saved = true;
    forgetKnownRanges();
    m_selectionModel->reset();
}

void ActiveSession::restoreSelection()
{
    if (!m_saved)
        return;
    m_saved = false;
    const int rows = rowCount();
    QList<int> selected;
    if (qint64(m_savedSelection.size()) * 32 < rows) {
        // A few files: find each one.
        for (const QUrl& url : qAsConst(m_savedSelection)) {
            const int row = rowOf(url);
            if (row >= 0)
                selected.append(row);
        }
        std::sort(selected.begin(), selected.end());
    } else if (!m_savedSelection.isEmpty()) {
        // The rows hold the same copies of the files as before: compare by identity.
        const QList<QUrl>& urls = list();
        for (int row = 0; row < rows; ++row) {
            if (m_savedIdentities.contains(urlIdentity(urls.at(row))))
                selected.append(row);
        }
    }
    QList<QPair<int, int>> ranges;
    for (int row : qAsConst(selected)) {
        if (!ranges.isEmpty() && ranges.last().second + 1 == row)
            ranges.last().second = row;
        else
            ranges.append({ row, row });
    }
    m_savedSelection.clear();
    m_savedIdentities.clear();
    selectRowRanges(ranges);
    if (!m_savedCurrent.isEmpty()) {
        const int row = rowOf(m_savedCurrent);
        if (row >= 0)
            m_selectionModel->setCurrentIndex(index(row, 0), QItemSelectionModel::NoUpdate);
        m_savedCurrent.clear();
    }
}

void ActiveSession::selectRowRanges(QList<QPair<int, int>> ranges)
{
    // One selection of merged ranges, selected at once; the ranges are known from then on.
    const QList<QPair<int, int>> merged = RowRanges::normalized(std::move(ranges));
    QItemSelection selection;
    for (const auto& range : qAsConst(merged))
        selection.append(QItemSelectionRange(index(range.first, 0), index(range.second, 0)));
    m_knownRanges = merged;
    m_rangesKnown = true;
    if (!selection.isEmpty()) {
        m_restoring = true;
        m_selectionModel->select(selection, QItemSelectionModel::Select);
        m_restoring = false;
    }
}

bool ActiveSession::selectionFollowsMove(const RowRanges::List& ranges, int first, int last, int row) const
{
    // One row that moves: the selection model's ranges hold their corners as persistent
    // indexes, which the move carries along. That keeps the selection exactly as long as
    // no range has the row as one corner and others as the other one, and the row does
    // not land unselected between two rows of one range.
    if (first != last || (row >= first && row <= last + 1))
        return false;
    if (RowRanges::contains(ranges, first))
        return !RowRanges::contains(ranges, first - 1) && !RowRanges::contains(ranges, first + 1);
    // Where it lands, among the rows without it: between the rows `place - 1` and `place`.
    const int place = row > last ? row - 1 : row;
    const auto before = [&](int r) { return r < first ? r : r + 1; };
    return place == 0 || place >= rowCount() - 1 || !RowRanges::contains(ranges, before(place - 1))
        || !RowRanges::contains(ranges, before(place));
}

void ActiveSession::onRowsAboutToBeMoved(
    const QModelIndex& parent, int first, int last, const QModelIndex& destination, int row)
{
    m_moveFirst = first;
    m_moveLast = last;
    m_moveDestination = row;
    m_movedRanges = knownOrSelectedRanges();
    m_moveFollowed = m_followsMoves && !parent.isValid() && !destination.isValid()
        && selectionFollowsMove(m_movedRanges, first, last, row);
    if (m_moveFollowed)
        return; // the selection model's ranges and current index move with the row
    // A move keeps every file; only rows shift, so the selection follows by row.
    forgetKnownRanges();
    m_movedCurrent = currentIndex().row();
    m_selectionModel->reset();
}

void ActiveSession::onRowsMoved()
{
    if (m_moveFirst < 0)
        return;
    const int first = m_moveFirst;
    const int last = m_moveLast;
    const int dest = m_moveDestination;
    const int count = last - first + 1;
    m_moveFirst = m_moveLast = m_moveDestination = -1;
    const auto map = [&](int r) {
        if (dest > last) {
            if (r >= first && r <= last)
                return r + dest - last - 1;
            if (r > last && r < dest)
                return r - count;
        } else if (dest < first) {
            if (r >= first && r <= last)
                return r - (first - dest);
            if (r >= dest && r < first)
                return r + count;
        }
        return r;
    };
    if (m_moveFollowed) {
        // The selection model holds the same rows already: only the known ranges shift.
        m_moveFollowed = false;
        QList<QPair<int, int>> ranges = m_movedRanges;
        m_movedRanges.clear();
        followKnownRanges(ranges, first, map(first));
        return;
    }
    // Each range splits where the mapping changes, then each piece shifts as a whole.
    const int cuts[] = { qMin(first, dest), first, last + 1, qMax(last + 1, dest) };
    QList<QPair<int, int>> moved;
    for (const auto& range : qAsConst(m_movedRanges)) {
        int from = range.first;
        while (from <= range.second) {
            int to = range.second;
            for (int cut : cuts) {
                if (cut > from && cut - 1 < to)
                    to = cut - 1;
            }
            moved.append({ map(from), map(to) });
            from = to + 1;
        }
    }
    m_movedRanges.clear();
    selectRowRanges(moved);
    if (m_movedCurrent >= 0)
        m_selectionModel->setCurrentIndex(index(map(m_movedCurrent), 0), QItemSelectionModel::NoUpdate);
    m_movedCurrent = -1;
}

void ActiveSession::followKnownRanges(QList<QPair<int, int>> ranges, int from, int to)
{
    // Every range but the moved row's own keeps its rows together and shifts as a whole.
    const int moved = from < to ? -1 : 1;
    const int low = qMin(from, to);
    const int high = qMax(from, to);
    const auto shift = [&](int r) { return r >= low && r <= high ? r + moved : r; };
    bool selected = false;
    QList<QPair<int, int>> shifted;
    shifted.reserve(ranges.size() + 1);
    for (const auto& range : qAsConst(ranges)) {
        if (range.first == from && range.second == from) {
            selected = true;
            continue;
        }
        shifted.append({ shift(range.first), shift(range.second) });
    }
    if (selected) {
        const auto at = std::lower_bound(shifted.begin(), shifted.end(), qMakePair(to, to));
        shifted.insert(at, { to, to });
    }
    m_knownRanges = RowRanges::normalized(std::move(shifted));
    m_rangesKnown = true;
}

void ActiveSession::updateProgress()
{
    m_indexProgress->setProgress(rowCount(), grossCount());
}

int ActiveSession::selectionSize() const
{
    if (m_rangesKnown && m_selectionModel->hasSelection() == !m_knownRanges.isEmpty())
        return RowRanges::size(m_knownRanges);
    int size = 0;
    const QItemSelection selection = m_selectionModel->selection();
    for (const QItemSelectionRange& range : selection)
        size += range.height() * range.width();
    return size;
}

QModelIndexList ActiveSession::selectedIndices() const
{
    QModelIndexList indexes;
    const QItemSelection selection = m_selectionModel->selection();
    for (const QItemSelectionRange& range : selection) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            for (int column = range.left(); column <= range.right(); ++column)
                indexes.append(index(row, column));
        }
    }
    return indexes;
}

QList<QUrl> ActiveSession::selectedFiles() const
{
    QList<QUrl> urls;
    const QModelIndexList indexes = selectedIndices();
    for (const QModelIndex& index : indexes)
        urls.append(urlAt(index.row()));
    return urls;
}

double ActiveSession::selectedPixelArea() const
{
    qint64 area = 0;
    const QModelIndexList indexes = selectedIndices();
    for (const QModelIndex& index : indexes) {
        const QMap<int, QVariant> headers = itemData(index);
        area += qint64(headers.value(IResolver::LargeDimension).toInt())
            * headers.value(IResolver::SmallDimension).toInt();
    }
    return double(area);
}

void ActiveSession::selectAll()
{
    if (rowCount() == 0)
        return;
    m_selectionModel->select(
        QItemSelection(index(0, 0), index(rowCount() - 1, 0)), QItemSelectionModel::Select);
}

void ActiveSession::amend(const QUrl& url)
{
    if (isOffered(url))
        emit notifyIndexingRequested(url);
}

void ActiveSession::remove(const QModelIndex& index)
{
    if (index.isValid() && index.row() < rowCount())
        removeRow(index.row());
}

void ActiveSession::removeCurrent()
{
    remove(currentIndex());
}

void ActiveSession::removeSelected()
{
    const auto ranges = knownOrSelectedRanges();
    const QModelIndex current = currentIndex();
    if (current.isValid()) {
        for (const auto& range : ranges) {
            if (current.row() >= range.first && current.row() <= range.second) {
                if (range.second + 1 < rowCount())
                    setCurrentIndex(index(range.second + 1, 0));
                break;
            }
        }
    }
    // The rows go anyway: emptied first, the selection has nothing to follow row by row.
    m_selectionModel->clearSelection();
    // From the last range up, so the rows of the earlier ones stay where they are.
    for (int i = ranges.size() - 1; i >= 0; --i)
        removeRows(ranges.at(i).first, ranges.at(i).second - ranges.at(i).first + 1);
}
