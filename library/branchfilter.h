#pragma once

#include <QList>
#include <QSortFilterProxyModel>
#include <QVariant>

// The section outline without the sections that lie inside a flattened one (their files
// show in it), in outline order or reversed.
class BranchFilter : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_PROPERTY(QString filterField READ filterField WRITE setFilterField NOTIFY filterFieldChanged)
    Q_PROPERTY(bool invert READ invert WRITE setInvert NOTIFY invertChanged)
public:
    explicit BranchFilter(QObject* parent = nullptr);

    QString filterField() const { return QString::fromLatin1(m_filterField); }
    bool invert() const { return m_invert; }

    void setSourceModel(QAbstractItemModel* source) override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE void flatten(const QVariantList& path, bool on);
    Q_INVOKABLE bool isFlattened(const QVariantList& path) const { return m_flattened.contains(path); }
    // The branch that shows the path: the first flattened path that begins it, or itself.
    Q_INVOKABLE QVariantList cull(const QVariantList& path) const;
    Q_INVOKABLE bool isCulled(const QVariantList& path) const { return cull(path) != path; }
    Q_INVOKABLE void unflattenAll();
    Q_INVOKABLE int mapToSourceRow(int row) const;
    Q_INVOKABLE int mapToProxyRow(int row) const;

public slots:
    void setFilterField(const QString& field);
    void setInvert(bool invert);
    void updateFilterRole();

signals:
    void filterFieldChanged();
    void invertChanged(bool invert);

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    // The flattened paths.
    QList<QVariantList> m_flattened;
    QByteArray m_filterField;
    mutable int m_role = 0;
    bool m_invert = false;
};
