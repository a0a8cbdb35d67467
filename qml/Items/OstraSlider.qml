import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// A thin slider; a double click on it puts the value back to `defaultValue`, emits `moved`
// as a drag would, and then `resetRequested`.
Slider {
    id: control

    property real defaultValue: from

    signal resetRequested()

    function resetToDefault() {
        value = defaultValue
        moved()
        resetRequested()
    }

    implicitWidth: 160
    implicitHeight: 24
    hoverEnabled: true

    background: Rectangle {
        x: control.leftPadding
        y: control.topPadding + control.availableHeight / 2 - height / 2
        width: control.availableWidth
        height: 2
        radius: 1
        color: StyleConstants.footerLine
        Rectangle {
            width: control.visualPosition * parent.width
            height: parent.height
            radius: 1
            color: control.enabled ? StyleConstants.mainButton : StyleConstants.disabledText
        }
    }

    handle: Rectangle {
        x: control.leftPadding + control.visualPosition * (control.availableWidth - width)
        y: control.topPadding + control.availableHeight / 2 - height / 2
        implicitWidth: 14
        implicitHeight: 14
        radius: 7
        color: !control.enabled ? StyleConstants.disabledText
            : control.pressed ? StyleConstants.mainTextPressed
            : control.hovered ? StyleConstants.mainTextHover : StyleConstants.mainText
    }

    TapHandler {
        acceptedButtons: Qt.LeftButton
        onDoubleTapped: control.resetToDefault()
    }
}
