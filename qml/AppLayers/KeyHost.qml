import QtQuick 2.15

// The window's own keys, as KeyDelegate children: none of them fires while `active` is
// false (a modal dialog of the window waits for the user).
Item {
    property bool active: true
}
