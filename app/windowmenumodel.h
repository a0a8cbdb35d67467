#pragma once

#include <QAbstractItemModel>
#include <QString>

#include <memory>
#include <vector>

// One entry of a window menu: a menu (with entries of its own), an item or a separator.
struct WindowMenuNode
{
    enum Kind { Menu, Item, Separator };
    Kind kind = Item;
    QString title;
    QString shortcut;
    // The item's command id (0 for menus and separators).
    int commandId = 0;
    bool enabled = true;
    WindowMenuNode* parent = nullptr;
    std::vector<std::unique_ptr<WindowMenuNode>> children;

    // The item's text: the title, then a tab and the shortcut when there is one.
    QString text() const;
    int row() const;
};

// The menu bar attached to the window, as a tree: the top-level menus are the rows under
// the root, their entries rows under them. Read-only; only the items' enabled state changes
// while a bar is attached.
class WindowMenuModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Roles {
        TitleRole = Qt::UserRole + 1, // the title without its shortcut
        ShortcutRole, // the shortcut text ("" for none)
        TextRole, // title, tab and shortcut, as the menu shows it
        CommandIdRole, // the item's command id, 0 for menus and separators
        EnabledRole, // false: greyed
        KindRole, // WindowMenuNode::Kind
    };
    Q_ENUM(Roles)

    explicit WindowMenuModel(QObject* parent = nullptr);
    ~WindowMenuModel() override;

    // Replaces the shown bar (a Menu node holding the top-level menus).
    void setBar(std::unique_ptr<WindowMenuNode> bar);
    // Sets an item's state; `node` belongs to the shown bar.
    void setNodeEnabled(WindowMenuNode* node, bool enabled);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    const WindowMenuNode* nodeOf(const QModelIndex& index) const;

    std::unique_ptr<WindowMenuNode> m_bar;
};
