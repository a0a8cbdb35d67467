import QtQuick 2.15
import "../Utils"

// Large, thin text pressed into the background (the empty gallery's and editor's hints).
Text {
    font.family: StyleConstants.fontThin
    font.pixelSize: StyleConstants.fontSizeHeadline
    color: StyleConstants.dimText
    style: Text.Sunken
    styleColor: StyleConstants.windowBackground
    horizontalAlignment: Text.AlignHCenter
    wrapMode: Text.WordWrap
}
