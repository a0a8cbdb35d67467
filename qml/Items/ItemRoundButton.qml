import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// A pill-shaped text button: the main action in the accent colour, others in grey.
Button {
    id: control

    // The main action of its dialog or bar.
    property bool primary: false

    implicitHeight: StyleConstants.buttonHeight
    leftPadding: 18
    rightPadding: 18
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
            : control.down && !control.primary ? StyleConstants.mainTextPressed
            : StyleConstants.buttonText
    }

    background: Rectangle {
        implicitWidth: 96
        radius: height / 2
        color: {
            if (!control.enabled)
                return StyleConstants.dialogAccent
            if (control.primary)
                return control.down ? StyleConstants.mainButtonPressed
                    : control.hovered ? StyleConstants.mainButtonHover : StyleConstants.mainButton
            return control.down ? StyleConstants.tertiaryButtonPressed
                : control.hovered ? StyleConstants.secondaryButtonHover : StyleConstants.secondaryButton
        }
    }
}
