import QtQml 2.15

// A line between the items of a window menu.
QtObject {
    readonly property bool separator: true
}
