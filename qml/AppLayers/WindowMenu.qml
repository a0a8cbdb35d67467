import QtQml 2.15

// A menu of the window's menu bar: its items, separators and sub-menus, in order.
QtObject {
    property string title
    default property list<QtObject> entries
}
