import QtQuick 2.15
import "../Utils"

// The title of a dialog or page, in the semi-bold face.
Text {
    font.family: StyleConstants.fontSemiBold
    font.pixelSize: StyleConstants.fontSizeTitle
    color: StyleConstants.mainTextHover
    wrapMode: Text.WordWrap
    elide: Text.ElideRight
}
