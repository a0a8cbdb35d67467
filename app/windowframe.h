#pragma once

#include <QPointer>
#include <QQuickItem>
#include <QString>

#include <memory>
#include <vector>

#include "app/windowmenumodel.h"

// The window's menu bar, built from QML at start-up: startMenu(), then for each menu
// pushItem(), its addItem()/addSeparator() calls (with nested pushItem()/popItem() pairs for
// sub-menus) and popItem(title); closeMenu() attaches the bar, which `menuModel` then shows.
// Each item has a command id, its place in the item table plus 1; triggerCommand(id) calls
// the function "triggered" of the object the item was created for.
class WindowFrame : public QQuickItem
{
    Q_OBJECT
    Q_PROPERTY(bool hasWindowMenu READ hasWindowMenu CONSTANT)
    Q_PROPERTY(QAbstractItemModel* menuModel READ menuModel CONSTANT)
    // Items of the attached bar.
    Q_PROPERTY(int itemCount READ itemCount NOTIFY menuAttached)

public:
    explicit WindowFrame(QQuickItem* parent = nullptr);
    ~WindowFrame() override;

    bool hasWindowMenu() const { return true; }
    QAbstractItemModel* menuModel() const;
    int itemCount() const { return int(m_table.size()); }

    // Starts a new bar: forgets the menus being built and their items.
    Q_INVOKABLE void startMenu();
    // Opens a menu (or a sub-menu of the open one).
    Q_INVOKABLE void pushItem();
    Q_INVOKABLE void addItem(QObject* target, const QString& title, const QString& shortcut, bool enabled);
    Q_INVOKABLE void addSeparator();
    // Closes the open menu and appends it, under `title`, to the menu below it.
    Q_INVOKABLE void popItem(const QString& title);
    // Attaches the bar built since startMenu() in place of the one shown.
    Q_INVOKABLE void closeMenu();
    // Enables or greys every item of the attached bar that was created for `target`.
    Q_INVOKABLE void setEnabled(QObject* target, bool enabled);
    // Runs the item of this command id; false (nothing done) for 0, an id beyond the
    // attached bar's items, a greyed item, or an item whose object is gone.
    Q_INVOKABLE bool triggerCommand(int id);

signals:
    void menuAttached();

private:
    struct Entry
    {
        QPointer<QObject> target;
        WindowMenuNode* node = nullptr;
    };

    WindowMenuNode* top() const;

    // The menus being built: the bar at the bottom, open sub-menus above it.
    std::vector<std::unique_ptr<WindowMenuNode>> m_stack;
    std::vector<Entry> m_building;
    // The items of the attached bar, by command id - 1.
    std::vector<Entry> m_table;
    WindowMenuModel* m_model;
};
