#pragma once

#include <QAbstractProxyModel>
#include <QItemSelection>
#include <QPointer>
#include <QUrl>

class SpineModel;

// The files of one section of the gallery as a plain list: its own files, or with
// flatten all files below it as well. Follows the gallery model's section signals.
class SpineSection : public QAbstractProxyModel
{
    Q_OBJECT
    Q_PROPERTY(SpineModel* source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QVariantList branch READ branch WRITE setBranch NOTIFY branchChanged)
    Q_PROPERTY(bool flatten READ flatten WRITE setFlatten NOTIFY flattenChanged)
    Q_PROPERTY(int baseRow READ baseRow NOTIFY baseRowChanged)
    Q_PROPERTY(int rangeSz READ rangeSz NOTIFY rangeSzChanged)
public:
    explicit SpineSection(QObject* parent = nullptr);
    ~SpineSection() override;

    SpineModel* source() const { return m_source; }
    QVariantList branch() const { return m_branch; }
    bool flatten() const { return m_flatten; }

    Q_INVOKABLE int baseRow() const;
    Q_INVOKABLE int rangeSz() const;
    Q_INVOKABLE QItemSelection asItemSelection() const;
    Q_INVOKABLE QList<QUrl> files() const;
    Q_INVOKABLE bool contains(const QItemSelection& selection, const QModelIndex& index) const
    {
        return selection.contains(index);
    }
    Q_INVOKABLE int sourceItemRow(int row, int size, int offset, bool invert) const
    {
        return invert ? size - row - 1 + offset : row + offset;
    }

    QHash<int, QByteArray> roleNames() const override;
    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;
    QModelIndex mapFromSource(const QModelIndex& sourceIndex) const override;

public slots:
    void setSource(SpineModel* source);
    void setBranch(const QVariantList& branch);
    void setFlatten(bool flatten);
    void sectionAlert(const QVariantList& keys, int offset, int count, bool leaf);
    void sectionTouch(const QVariantList& keys, int offset, int count, bool leaf);
    void sectionCommit(const QVariantList& keys, int count, bool leaf);

signals:
    void sourceChanged();
    void branchChanged();
    void flattenChanged();
    void baseRowChanged();
    void rangeSzChanged();

private:
    bool concerns(const QVariantList& keys, bool leaf) const;

    QPointer<SpineModel> m_source;
    QVariantList m_branch;
    bool m_flatten = false;
    bool m_pending = false;
    int m_pendingCount = 0;
};
