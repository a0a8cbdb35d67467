import QtQuick 2.15

// A small text button of a section header.
Rectangle {
    id: button

    property string text: ""
    signal clicked()

    implicitWidth: label.implicitWidth + 16
    implicitHeight: 22
    radius: 3
    color: area.containsMouse ? "#3a3a3a" : "#262626"

    Text {
        id: label
        anchors.centerIn: parent
        text: button.text
        color: "#dfdfdf"
        font.pixelSize: 11
    }

    MouseArea {
        id: area
        anchors.fill: parent
        hoverEnabled: true
        onClicked: button.clicked()
    }
}
