import QtQuick 2.15

// The brush ring shown at the pointer over the canvas while a brush tool is chosen.
Rectangle {
    id: brush

    property real centerX: 0
    property real centerY: 0
    property real brushRadius: 10

    x: centerX - brushRadius
    y: centerY - brushRadius
    width: brushRadius * 2
    height: brushRadius * 2
    radius: brushRadius
    color: "transparent"
    border.color: "white"
    border.width: 1
}
