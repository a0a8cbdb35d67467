import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// A check box whose text may run over several lines.
CheckBox {
    id: control

    font.family: StyleConstants.fontRegular
    font.pixelSize: StyleConstants.fontSizeNormal
    spacing: 10

    indicator: Rectangle {
        implicitWidth: 18
        implicitHeight: 18
        x: control.leftPadding
        y: control.topPadding + 2
        radius: 3
        color: control.checked ? StyleConstants.mainButton : "transparent"
        border.width: 1
        border.color: control.enabled ? (control.checked ? StyleConstants.mainButton : StyleConstants.border)
                                      : StyleConstants.disabledText
        Text {
            anchors.centerIn: parent
            visible: control.checked
            text: "\u2713"
            color: StyleConstants.buttonText
            font.pixelSize: 13
        }
    }

    contentItem: Text {
        leftPadding: control.indicator.width + control.spacing
        text: control.text
        font: control.font
        wrapMode: Text.WordWrap
        verticalAlignment: Text.AlignTop
        color: control.enabled ? StyleConstants.mainText : StyleConstants.disabledText
    }
}
