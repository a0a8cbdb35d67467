#pragma once

#include <QItemSelection>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QSet>

#include "library/rowranges.h"
#include "library/session.h"
#include "library/spinemodel.h"

class ProgressModel;
class QItemSelectionModel;
class Ordering;

// The gallery of the main page: follows a Session, sorts by one of three fields, owns the
// selection (kept across re-sorts and moves by file) and reports how many of the offered
// files are listed.
class ActiveSession : public SpineModel
{
    Q_OBJECT
    Q_PROPERTY(QString sortField READ sortField WRITE setSortField NOTIFY sortFieldChanged)
    Q_PROPERTY(ProgressModel* indexProgress READ indexProgress CONSTANT)
    Q_PROPERTY(QItemSelectionModel* selectionModel READ selectionModel CONSTANT)
    Q_PROPERTY(Session* source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(int selectionSize READ selectionSize NOTIFY selectionSizeChanged)
    Q_PROPERTY(double selectedPixelArea READ selectedPixelArea NOTIFY selectionSizeChanged)
    Q_PROPERTY(QModelIndex currentIndex READ currentIndex WRITE setCurrentIndex NOTIFY currentIndexChanged)
    Q_PROPERTY(QModelIndex shiftIndex READ shiftIndex WRITE setShiftIndex NOTIFY shiftIndexChanged)
public:
    explicit ActiveSession(QObject* parent = nullptr);
    ~ActiveSession() override;

    QString sortField() const { return m_sortField; }
    ProgressModel* indexProgress() const { return m_indexProgress; }
    QItemSelectionModel* selectionModel() const { return m_selectionModel; }
    Session* source() const { return m_source; }
    QModelIndex currentIndex() const;
    void setCurrentIndex(const QModelIndex& index);
    QModelIndex shiftIndex() const { return m_shiftIndex; }
    void setShiftIndex(const QModelIndex& index);

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    Q_INVOKABLE int selectionSize() const;
    Q_INVOKABLE QList<QUrl> selectedFiles() const;
    Q_INVOKABLE double selectedPixelArea() const;
    Q_INVOKABLE QModelIndexList selectedIndices() const;
    Q_INVOKABLE void selectAll();
    Q_INVOKABLE void amend(const QUrl& url);
    Q_INVOKABLE void remove(const QModelIndex& index);
    Q_INVOKABLE void removeCurrent();
    Q_INVOKABLE void removeSelected();

public slots:
    void setSortField(const QString& field);
    void setSource(Session* session);
    void onCurrentIndexChanged();
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void saveSelection();
    void restoreSelection();
    void updateProgress();
    void updateSort();

signals:
    void sortFieldChanged();
    void sourceChanged();
    void selectionSizeChanged();
    void notifyIndexingRequested(const QUrl& url);
    void currentIndexChanged();
    void shiftIndexChanged();

private:
    // Selected rows as sorted, non-overlapping [first, last] pairs.
    QList<QPair<int, int>> selectedRowRanges() const;
    // The ranges put back last while nothing else changed the selection, else as read.
    QList<QPair<int, int>> knownOrSelectedRanges() const;
    void selectRowRanges(QList<QPair<int, int>> ranges);
    void onRowsAboutToBeMoved(
        const QModelIndex& parent, int first, int last, const QModelIndex& destination, int row);
    void onRowsMoved();
    void forgetKnownRanges();
    // Every row went at once (another session): the selection, the current and the shift
    // index went with them.
    void onModelReset();
    void onRowsInserted(const QModelIndex& parent, int first, int last);
    void onRowsRemoved(const QModelIndex& parent, int first, int last);
    // The top-level rows of a selection, normalized.
    static RowRanges::List topRows(const QItemSelection& selection);
    // Whether the selection model's persistent ranges keep the selection exactly through the
    // move of the rows `first` to `last` before `row`, the selection being `ranges`.
    bool selectionFollowsMove(const QList<QPair<int, int>>& ranges, int first, int last, int row) const;
    // The known ranges after the row `from` moved to `to`, the selection having followed.
    void followKnownRanges(QList<QPair<int, int>> ranges, int from, int to);

    ProgressModel* m_indexProgress;
    QItemSelectionModel* m_selectionModel = nullptr;
    Ordering* m_byTimestamp;
    Ordering* m_byRating;
    Ordering* m_byFolder;
    // Saved across a re-sort: the files (their own list copies) and their identities.
    QList<QUrl> m_savedSelection;
    QSet<quintptr> m_savedIdentities;
    QUrl m_savedCurrent;
    bool m_saved = false;
    // Saved across a move: the selected rows, the current row and the move.
    QList<QPair<int, int>> m_movedRanges;
    int m_movedCurrent = -1;
    int m_moveFirst = -1;
    int m_moveLast = -1;
    int m_moveDestination = -1;
    // Set while a move is followed by the selection model's own persistent ranges.
    bool m_moveFollowed = false;
    // Whether the selection model leaves moves to its persistent ranges: its own handling
    // of a move reads the cells' flags and would find the gallery's cells not enabled.
    bool m_followsMoves = false;
    // The selected rows, followed through every selection change, move, insertion and
    // removal: moves and the selection's size read them from here instead of copying the
    // selection model's ranges. Read again only after the selection model was reset from
    // outside (seen as a selection with no known rows, or no selection with some).
    QList<QPair<int, int>> m_knownRanges;
    bool m_rangesKnown = true;
    bool m_restoring = false;
    QString m_sortField;
    QPointer<Session> m_source;
    // Files of the sessions shown before, closed once the session shown now has read its
    // folders and does not offer them: a file both offer is not closed and read again.
    QSet<QUrl> m_closing;
    QPersistentModelIndex m_shiftIndex;

    void closeWhatWent();
};
