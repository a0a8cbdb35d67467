#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QItemSelection>
#include <QPointer>
#include <QVariant>

#include <vector>

class QItemSelectionModel;

// Tells whether every selected cell of a model holds one value of a role (say the rating,
// so the page can show the common rating of a selection), and which value that is.
//
// The value counted for each selected top-level cell is kept beside the counts, in row
// order, and follows the model's rows as they are inserted, removed and moved. So a move
// costs no counting at all, a changed cell is counted again alone, and a cell leaves the
// counts with the value it entered them with. Cells below other rows are counted by
// reading them on each change, and counted afresh when their rows change.
class SelectionAggregator : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QAbstractItemModel* model READ model WRITE setModel NOTIFY modelChanged)
    Q_PROPERTY(QItemSelectionModel* selectionModel READ selectionModel WRITE setSelectionModel NOTIFY
            selectionModelChanged)
    Q_PROPERTY(QString roleName READ roleName WRITE setRoleName NOTIFY roleNameChanged)
    Q_PROPERTY(bool defined READ defined NOTIFY definedChanged)
    Q_PROPERTY(QVariant value READ value NOTIFY valueChanged)
public:
    explicit SelectionAggregator(QObject* parent = nullptr);

    QAbstractItemModel* model() const { return m_model; }
    QItemSelectionModel* selectionModel() const;
    QString roleName() const { return m_roleName; }
    bool defined() const { return m_slotOf.size() == 1; }
    QVariant value() const { return m_value; }

public slots:
    void setModel(QAbstractItemModel* model);
    void setSelectionModel(QItemSelectionModel* selectionModel);
    void setRoleName(const QString& name);
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void onDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
        const QVector<int>& roles = QVector<int>());
    // Counts the whole selection again.
    void onRowsCleaned();

signals:
    void modelChanged();
    void selectionModelChanged();
    void roleNameChanged();
    void definedChanged();
    void valueChanged(const QVariant& value);

private:
    // Keyed by the value's number, or its type and text: QVariant has no hash of its own.
    using Key = QPair<qint64, QString>;
    struct Slot
    {
        QVariant value;
        int count = 0;
    };

    void resolveRole();
    int slotFor(const QVariant& value);
    void take(int slot);
    // Top-level cells: counted once, with the value read when they are; taken out with it.
    void countCell(const QModelIndex& index);
    void uncountCell(size_t cell);
    // Cells below other rows: read on both ways.
    void countChild(const QModelIndex& index, int step);
    void count(const QItemSelection& selection, int step);
    void clearCounts();
    void rebuild();
    void scheduleRebuild();
    void publish(bool wasDefined);
    // The model's rows and columns as they change; a change below another row only matters
    // when cells down there are counted.
    // False while the model settles, and for rows under `parent` (a recount is scheduled
    // when cells down there are counted); true for top rows, which are followed one by one.
    bool followsTopRows(const QModelIndex& parent);
    void onRowsInserted(const QModelIndex& parent, int first, int last);
    void onRowsRemoved(const QModelIndex& parent, int first, int last);
    void onRowsAboutToBeMoved(const QModelIndex& from, int first, int last, const QModelIndex& to, int row);
    void onRowsMoved(const QModelIndex& from, int first, int last, const QModelIndex& to, int row);
    void onSettling();

    QPointer<QAbstractItemModel> m_model;
    QPointer<QItemSelectionModel> m_selectionModel;
    QString m_roleName;
    int m_role = 0;
    // The distinct values counted: a slot each, found by key; a slot whose count reaches 0
    // is freed for the next value.
    std::vector<Slot> m_slots;
    std::vector<int> m_freeSlots;
    QHash<Key, int> m_slotOf;
    // The slot of each top-level cell (row * m_columns + column), -1 when not counted;
    // cells past the end are not counted. Emptied whenever no top-level cell is counted.
    std::vector<int> m_cells;
    int m_columns = 1;
    qint64 m_countedCells = 0;
    qint64 m_childCells = 0;
    QVariant m_value;
    // Between a layout change (or a move across parents) and its end, the rows cannot be
    // followed: the whole selection is counted again at the end.
    bool m_settling = false;
    bool m_rebuildPending = false;
};
