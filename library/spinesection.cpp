#include "library/spinesection.h"

#include "library/sectiontree.h"
#include "library/spinemodel.h"

SpineSection::SpineSection(QObject* parent)
    : QAbstractProxyModel(parent)
{ }

SpineSection::~SpineSection()
{
    if (m_source)
        m_source->detachSection(this, m_branch);
}

int SpineSection::baseRow() const
{
    return m_source ? m_source->sections().baseRow(m_branch) : 0;
}

int SpineSection::rangeSz() const
{
    return m_source ? m_source->sections().rangeSize(m_branch, m_flatten) : 0;
}

QItemSelection SpineSection::asItemSelection() const
{
    const int size = rangeSz();
    if (!m_source || size == 0)
        return {};
    const int base = baseRow();
    return QItemSelection(m_source->index(base, 0), m_source->index(base + size - 1, 0));
}

QList<QUrl> SpineSection::files() const
{
    return m_source ? m_source->files(baseRow(), rangeSz()) : QList<QUrl>();
}

QHash<int, QByteArray> SpineSection::roleNames() const
{
    return m_source ? m_source->roleNames() : QHash<int, QByteArray>();
}

QModelIndex SpineSection::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || row < 0 || column != 0 || row >= rowCount())
        return QModelIndex();
    return createIndex(row, column);
}

QModelIndex SpineSection::parent(const QModelIndex&) const
{
    return QModelIndex();
}

int SpineSection::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rangeSz();
}

int SpineSection::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QModelIndex SpineSection::mapToSource(const QModelIndex& proxyIndex) const
{
    if (!m_source || !proxyIndex.isValid() || proxyIndex.parent().isValid())
        return QModelIndex();
    return m_source->index(baseRow() + proxyIndex.row(), proxyIndex.column());
}

QModelIndex SpineSection::mapFromSource(const QModelIndex& sourceIndex) const
{
    if (!m_source || !sourceIndex.isValid() || sourceIndex.parent().isValid())
        return QModelIndex();
    const int base = baseRow();
    const int row = sourceIndex.row() - base;
    if (row < 0 || row >= rangeSz())
        return QModelIndex();
    return createIndex(row, sourceIndex.column());
}

void SpineSection::setSource(SpineModel* source)
{
    if (source == m_source)
        return;
    beginResetModel();
    if (m_source) {
        disconnect(m_source, nullptr, this, nullptr);
        m_source->detachSection(this, m_branch);
    }
    m_source = source;
    QAbstractProxyModel::setSourceModel(source);
    if (source) {
        // The section signals of this branch come as direct calls (see attachSection).
        source->attachSection(this, m_branch);
        connect(source, &SpineModel::sectionBasesMoved, this, &SpineSection::baseRowChanged);
        // A re-sort may change any section: the rows are read again.
        connect(source, &QAbstractItemModel::layoutAboutToBeChanged, this, [this] { beginResetModel(); });
        connect(source, &QAbstractItemModel::layoutChanged, this, [this] {
            endResetModel();
            emit baseRowChanged();
            emit rangeSzChanged();
        });
        connect(source, &QAbstractItemModel::modelAboutToBeReset, this, [this] { beginResetModel(); });
        connect(source, &QAbstractItemModel::modelReset, this, [this] {
            endResetModel();
            emit baseRowChanged();
            emit rangeSzChanged();
        });
        connect(source, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex& last, const QVector<int>& roles) {
                const int base = baseRow();
                const int from = qMax(first.row() - base, 0);
                const int to = qMin(last.row() - base, rangeSz() - 1);
                if (from <= to)
                    emit dataChanged(index(from, 0), index(to, 0), roles);
            });
    }
    endResetModel();
    emit sourceChanged();
    emit baseRowChanged();
    emit rangeSzChanged();
}

void SpineSection::setBranch(const QVariantList& branch)
{
    if (branch == m_branch)
        return;
    beginResetModel();
    if (m_source)
        m_source->detachSection(this, m_branch);
    m_branch = branch;
    if (m_source)
        m_source->attachSection(this, m_branch);
    endResetModel();
    emit branchChanged();
    emit baseRowChanged();
    emit rangeSzChanged();
}

void SpineSection::setFlatten(bool flatten)
{
    if (flatten == m_flatten)
        return;
    const int before = rangeSz();
    const int after = m_source ? m_source->sections().rangeSize(m_branch, flatten) : 0;
    if (after > before)
        beginInsertRows(QModelIndex(), before, after - 1);
    else if (after < before)
        beginRemoveRows(QModelIndex(), after, before - 1);
    m_flatten = flatten;
    if (after > before)
        endInsertRows();
    else if (after < before)
        endRemoveRows();
    emit flattenChanged();
    emit baseRowChanged();
    emit rangeSzChanged();
}

bool SpineSection::concerns(const QVariantList& keys, bool leaf) const
{
    return (leaf || m_flatten) && keys == m_branch;
}

void SpineSection::sectionAlert(const QVariantList& keys, int offset, int count, bool leaf)
{
    if (count == 0 || !concerns(keys, leaf))
        return;
    if (count > 0)
        beginInsertRows(QModelIndex(), offset, offset + count - 1);
    else
        beginRemoveRows(QModelIndex(), offset, offset - count - 1);
    m_pending = true;
    m_pendingCount = count;
}

void SpineSection::sectionTouch(const QVariantList& keys, int offset, int count, bool leaf)
{
    if (count != 0 && concerns(keys, leaf))
        emit dataChanged(index(offset, 0), index(offset + count - 1, 0));
}

void SpineSection::sectionCommit(const QVariantList& keys, int count, bool leaf)
{
    if (count == 0)
        return;
    if (m_pending && concerns(keys, leaf)) {
        m_pending = false;
        if (m_pendingCount > 0)
            endInsertRows();
        else
            endRemoveRows();
        emit rangeSzChanged();
    }
}
