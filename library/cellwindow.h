#pragma once

#include <QAbstractProxyModel>

class QStandardItemModel;

// Consecutive rows of a list model, `first` to `last`, as rows from 0 on: what a view shows
// of a long section. Moving the window inserts and removes rows at its ends only, so the
// view keeps the items of the rows that stay in it; the source's own changes inside the
// window come through as they are.
class CellWindow : public QAbstractProxyModel
{
    Q_OBJECT
    // The source row of the window's first row.
    Q_PROPERTY(int first READ first NOTIFY firstChanged)
public:
    explicit CellWindow(QObject* parent = nullptr);

    int first() const { return m_first; }
    // Shows the source rows `first` to `last` (as far as the source has them); none when
    // `last` < `first`. Kept across the source's changes: rows that come or go before the
    // window shift it along.
    Q_INVOKABLE void setRange(int first, int last);

    void setSourceModel(QAbstractItemModel* source) override;
    QHash<int, QByteArray> roleNames() const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;
    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;

signals:
    void firstChanged();

private:
    void sourceRowsAboutToBeInserted(const QModelIndex& parent, int first, int last);
    void sourceRowsInserted(const QModelIndex& parent, int first, int last);
    void sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last);
    void sourceRowsRemoved(const QModelIndex& parent, int first, int last);
    void sourceDataChanged(
        const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles);
    void beginReset();
    void endReset();
    void setFirst(int first);
    // The wanted range, clamped to the source's rows.
    QPair<int, int> clamped() const;
    // Shows the wanted range, by rows inserted and removed at the window's ends.
    void applyRange();
    // Applies a range asked for while the source was changing, once it has settled.
    void settled();

    QStandardItemModel* m_empty;
    int m_first = 0;
    int m_count = 0;
    int m_wantedFirst = 0;
    int m_wantedLast = -1;
    // Set between a source's announcement and its end, when the window follows it.
    bool m_inserting = false;
    bool m_removing = false;
    bool m_resetting = false;
    // Set between any announcement of rows the source inserts or removes and its end,
    // wherever the rows are: the source's rows are not to be read then (it may have
    // changed them already, before the rows are counted in).
    bool m_sourceChanging = false;
    // A range asked for while the source was changing.
    bool m_deferred = false;
};
