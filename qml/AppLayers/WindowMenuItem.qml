import QtQml 2.15

// An item of a window menu. `shortcut` is shown beside the text and works in the window,
// unless `viewKey` says that a view already handles that key itself. `role` "about" names
// the item after the application.
QtObject {
    property string text
    property string shortcut
    property bool enabled: true
    property string role
    property bool viewKey: false

    signal triggered()
}
