import QtQuick 2.15

// One key of the window's key host (its parent): fires only while the host is active and
// `when` holds.
Item {
    id: delegate
    property alias sequence: shortcut.sequence
    property bool when: true
    // Whether the key fires now.
    readonly property bool armed: shortcut.enabled
    signal activated()

    Shortcut {
        id: shortcut
        context: Qt.ApplicationShortcut
        enabled: delegate.when && delegate.parent !== null && delegate.parent.active === true
        onActivated: delegate.activated()
    }
}
