#include "app/windowmenumodel.h"

QString WindowMenuNode::text() const
{
    return shortcut.isEmpty() ? title : title + QLatin1Char('\t') + shortcut;
}

int WindowMenuNode::row() const
{
    if (!parent)
        return 0;
    for (size_t i = 0; i < parent->children.size(); ++i) {
        if (parent->children[i].get() == this)
            return int(i);
    }
    return 0;
}

WindowMenuModel::WindowMenuModel(QObject* parent)
    : QAbstractItemModel(parent)
{ }

WindowMenuModel::~WindowMenuModel() = default;

void WindowMenuModel::setBar(std::unique_ptr<WindowMenuNode> bar)
{
    beginResetModel();
    m_bar = std::move(bar);
    endResetModel();
}

void WindowMenuModel::setNodeEnabled(WindowMenuNode* node, bool enabled)
{
    if (!node || node->enabled == enabled)
        return;
    node->enabled = enabled;
    const QModelIndex at = createIndex(node->row(), 0, node);
    emit dataChanged(at, at, { EnabledRole });
}

const WindowMenuNode* WindowMenuModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<const WindowMenuNode*>(index.internalPointer()) : m_bar.get();
}

QModelIndex WindowMenuModel::index(int row, int column, const QModelIndex& parent) const
{
    const WindowMenuNode* node = nodeOf(parent);
    if (!node || column != 0 || row < 0 || row >= int(node->children.size()))
        return {};
    return createIndex(row, 0, node->children[size_t(row)].get());
}

QModelIndex WindowMenuModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    const auto* node = static_cast<const WindowMenuNode*>(child.internalPointer());
    WindowMenuNode* up = node->parent;
    if (!up || up == m_bar.get())
        return {};
    return createIndex(up->row(), 0, up);
}

int WindowMenuModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    const WindowMenuNode* node = nodeOf(parent);
    return node ? int(node->children.size()) : 0;
}

int WindowMenuModel::columnCount(const QModelIndex& parent) const
{
    Q_UNUSED(parent);
    return 1;
}

QVariant WindowMenuModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const auto* node = static_cast<const WindowMenuNode*>(index.internalPointer());
    switch (role) {
    case Qt::DisplayRole:
    case TextRole:
        return node->text();
    case TitleRole:
        return node->title;
    case ShortcutRole:
        return node->shortcut;
    case CommandIdRole:
        return node->commandId;
    case EnabledRole:
        return node->enabled;
    case KindRole:
        return int(node->kind);
    default:
        return {};
    }
}

QHash<int, QByteArray> WindowMenuModel::roleNames() const
{
    return {
        { TitleRole, "title" },
        { ShortcutRole, "shortcut" },
        { TextRole, "text" },
        { CommandIdRole, "commandId" },
        { EnabledRole, "enabled" },
        { KindRole, "kind" },
    };
}
