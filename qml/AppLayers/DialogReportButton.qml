import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// A button of the report dialog: light text on a dark fill, the main action in the
// accent colour, readable in any style.
Button {
    id: control

    // The main action of the dialog.
    property bool primary: false

    implicitHeight: StyleConstants.buttonHeight
    leftPadding: 16
    rightPadding: 16
    font.family: StyleConstants.fontSemiBold
    font.pixelSize: StyleConstants.fontSizeNormal
    hoverEnabled: true

    contentItem: Text {
        text: control.text
        font: control.font
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        color: !control.enabled ? StyleConstants.disabledText
            : control.primary ? StyleConstants.mainButtonHover
            : control.hovered ? StyleConstants.mainTextHover : StyleConstants.mainText
    }

    background: Rectangle {
        implicitWidth: 88
        radius: height / 2
        color: control.down ? StyleConstants.tertiaryButtonPressed : StyleConstants.dialogAccent
        border.width: 1
        border.color: !control.enabled ? StyleConstants.dialogAccent
            : control.primary ? StyleConstants.mainButtonHover : StyleConstants.footerLine
    }
}
