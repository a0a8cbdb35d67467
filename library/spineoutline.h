#pragma once

#include <QAbstractListModel>

class SectionTree;

// The sections of the gallery as a flat list, a parent before its children, children in
// key order. The gallery model changes the tree and announces the rows through this model.
class SpineOutline : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles {
        RangePathRole = 257, // "rangePath": the section's key path from the top
        InnerInclRole, // "innerIncl": sections anywhere below
        InnerExclRole, // "innerExcl": direct child sections
        ItemsInclRole, // "itemsIncl": files here and below
        ItemsExclRole // "itemsExcl": files whose key path ends here
    };
    Q_ENUM(Roles)

    SpineOutline(const SectionTree* tree, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The outline row of the section that holds the gallery row (-1 when none).
    Q_INVOKABLE int sectionAt(int row) const;
    Q_INVOKABLE int indexOf(const QVariantList& keys) const;

    // Called by the gallery model around its changes of the tree.
    void beginInsertSections(int row, int count) { beginInsertRows(QModelIndex(), row, row + count - 1); }
    void endInsertSections() { endInsertRows(); }
    void beginRemoveSections(int row, int count) { beginRemoveRows(QModelIndex(), row, row + count - 1); }
    void endRemoveSections() { endRemoveRows(); }

public slots:
    void sectionCommit(const QVariantList& keys, int count, bool leaf);

private:
    const SectionTree* m_tree;
};
