import QtQuick 2.15
import "../Utils"

// A picture's stars: `rating` filled of `maxRating`, on a dark plate that keeps them
// readable on a light picture.
Item {
    id: rating

    property int rating: 0
    property int maxRating: 5
    property int starSize: 12

    implicitWidth: stars.implicitWidth + 4
    implicitHeight: stars.implicitHeight + 2

    Rectangle {
        anchors.fill: parent
        radius: 3
        color: Qt.rgba(0, 0, 0, 0.85)
    }

    Row {
        id: stars
        anchors.centerIn: parent
        spacing: 1

        Repeater {
            model: rating.maxRating
            delegate: Text {
                required property int index
                // Bright when given, dimmed otherwise.
                text: "\u2605"
                font.pixelSize: rating.starSize
                color: index < rating.rating ? StyleConstants.statusText : StyleConstants.dimText
            }
        }
    }
}
