import QtQuick 2.15
import QtQuick.Window 2.15
import "../Utils"

// The frame of a dialog that is a window of its own: the dialog colours (never the
// system's palette, whose light grey would carry the controls' light text) with a thin
// border, shown centred over the window it belongs to and kept on its screen.
Window {
    id: dialogWindow

    // The window the dialog belongs to; its transient parent unless set.
    property var parentWindow: null
    readonly property var owner: parentWindow ? parentWindow : transientParent

    flags: Qt.Dialog | Qt.FramelessWindowHint
    modality: Qt.ApplicationModal
    color: StyleConstants.dialogBackground

    // Centred over the owner (else its screen), wholly on the screen.
    function placeOverOwner() {
        var area = screen ? Qt.rect(screen.virtualX, screen.virtualY, screen.desktopAvailableWidth,
                                    screen.desktopAvailableHeight)
                          : Qt.rect(0, 0, Screen.desktopAvailableWidth, Screen.desktopAvailableHeight)
        var cx = owner ? owner.x + owner.width / 2 : area.x + area.width / 2
        var cy = owner ? owner.y + owner.height / 2 : area.y + area.height / 2
        x = Math.round(Math.max(area.x, Math.min(cx - width / 2, area.x + area.width - width)))
        y = Math.round(Math.max(area.y, Math.min(cy - height / 2, area.y + area.height - height)))
    }

    // A dialog whose content grows once shown (rows made from a model) stays centred.
    onHeightChanged: {
        if (visible)
            placeOverOwner()
    }
    onWidthChanged: {
        if (visible)
            placeOverOwner()
    }

    // Closed, it hands the keyboard back to its owner, whose keys work again at once (a
    // desktop without a window manager would leave no window active).
    onVisibleChanged: {
        if (!visible && owner)
            owner.requestActivate()
    }

    // Shown over the owner with the keyboard.
    function showOverOwner() {
        placeOverOwner()
        show()
        raise()
        requestActivate()
    }

    Rectangle {
        anchors.fill: parent
        z: 1000
        color: "transparent"
        border.color: StyleConstants.dialogAccent
    }
}
