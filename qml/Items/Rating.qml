import QtQuick 2.15
import "../Utils"

// A picture's stars: `rating` filled of `maxRating`.
Row {
    id: rating

    property int rating: 0
    property int maxRating: 5
    property int starSize: 12

    spacing: 1

    Repeater {
        model: rating.maxRating
        delegate: Text {
            required property int index
            text: "\u2605"
            font.pixelSize: rating.starSize
            color: index < rating.rating ? StyleConstants.statusText : StyleConstants.disabledText
            style: Text.Outline
            styleColor: StyleConstants.semiTransparentLabel
        }
    }
}
