import QtQuick 2.15
import "../Utils"

// A small tag stuck on a cell ("queued", "imported").
Rectangle {
    id: note

    property string text: ""
    property color tint: StyleConstants.semiTransparentLabel

    implicitWidth: label.implicitWidth + 12
    implicitHeight: label.implicitHeight + 4
    radius: 3
    color: tint
    visible: text !== ""

    Text {
        id: label
        anchors.centerIn: parent
        text: note.text
        color: StyleConstants.statusText
        font.family: StyleConstants.fontRegular
        font.pixelSize: StyleConstants.fontSizeSmall
    }
}
