import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// A round icon button (or a one-glyph text button when it has no icon), with its tooltip.
Button {
    id: control

    property int diameter: StyleConstants.circleButtonSize
    property url iconSource: ""
    // Shown when the mouse rests on the button.
    property string toolTipText: ""

    implicitWidth: diameter
    implicitHeight: diameter
    padding: 0
    hoverEnabled: true
    font.family: StyleConstants.fontRegular
    font.pixelSize: StyleConstants.fontSizeTitle

    ToolTip.visible: hovered && toolTipText !== ""
    ToolTip.delay: 600
    ToolTip.text: toolTipText

    contentItem: Item {
        Image {
            anchors.centerIn: parent
            visible: control.iconSource.toString() !== ""
            source: control.iconSource
            sourceSize.width: control.diameter * 0.6
            sourceSize.height: control.diameter * 0.6
            opacity: control.enabled ? 1.0 : 0.4
        }
        Text {
            anchors.centerIn: parent
            visible: control.iconSource.toString() === ""
            text: control.text
            font: control.font
            color: control.enabled ? StyleConstants.mainText : StyleConstants.disabledText
        }
    }

    background: Rectangle {
        radius: width / 2
        color: control.checked ? StyleConstants.mainButton
            : control.down ? StyleConstants.tertiaryButtonPressed
            : control.hovered ? StyleConstants.tertiaryButtonHover : "transparent"
        border.width: 1
        border.color: control.enabled ? StyleConstants.footerLine : StyleConstants.dialogAccent
    }
}
