#pragma once

#include <QAbstractProxyModel>

class QStandardItemModel;

// A list model shown in its own or in mirrored row order, so a section can be shown
// newest first without re-sorting the gallery.
class InvertibleModel : public QAbstractProxyModel
{
    Q_OBJECT
    Q_PROPERTY(bool invert READ invert WRITE setInvert NOTIFY invertChanged)
public:
    explicit InvertibleModel(QObject* parent = nullptr);

    bool invert() const { return m_invert; }
    void setInvert(bool invert);

    void setSourceModel(QAbstractItemModel* source) override;
    QHash<int, QByteArray> roleNames() const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;
    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;

signals:
    void invertChanged();

private slots:
    void sourceDataChanged(
        const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles);
    void sourceRowsAboutToBeInserted(const QModelIndex& parent, int first, int last);
    void sourceRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last);
    void sourceRowsAboutToBeMoved(
        const QModelIndex& sourceParent, int first, int last, const QModelIndex& destinationParent, int d);

private:
    int mirrored(int row) const { return m_invert ? rowCount() - row - 1 : row; }

    QStandardItemModel* m_empty;
    bool m_invert = false;
};
