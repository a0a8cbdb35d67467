#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QItemSelection>
#include <QPointer>
#include <QVariant>

class QItemSelectionModel;

// Tells whether every selected cell of a model holds one value of a role (say the rating,
// so the page can show the common rating of a selection), and which value that is.
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
    bool defined() const { return m_counts.size() == 1; }
    QVariant value() const { return m_value; }

public slots:
    void setModel(QAbstractItemModel* model);
    void setSelectionModel(QItemSelectionModel* selectionModel);
    void setRoleName(const QString& name);
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void onDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
        const QVector<int>& roles = QVector<int>());
    void onRowsCleaned();

signals:
    void modelChanged();
    void selectionModelChanged();
    void roleNameChanged();
    void definedChanged();
    void valueChanged(const QVariant& value);

private:
    void resolveRole();
    void count(const QItemSelection& selection, int step);
    // Counts the whole selection again, at once or (while rows go) once the model settles.
    void rebuild();
    void scheduleRebuild();
    void publish(bool wasDefined);

    QPointer<QAbstractItemModel> m_model;
    QPointer<QItemSelectionModel> m_selectionModel;
    QString m_roleName;
    int m_role = 0;
    // Keyed by the value's number, or its type and text: QVariant has no hash of its own.
    using Key = QPair<qint64, QString>;
    QHash<Key, int> m_counts;
    QHash<Key, QVariant> m_values;
    QVariant m_value;
    bool m_rebuildPending = false;
};
