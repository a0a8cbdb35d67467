import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// A tab of the window's tab rows: the current tab's title in white, the others dimmed but
// still readable on the dark row, and lit under the pointer. `compact`
// fits the tab into a bottom bar.
TabButton {
    id: tab

    property bool compact: false

    width: implicitWidth
    font.family: StyleConstants.fontRegular
    font.pixelSize: compact ? StyleConstants.fontSizeTitle : StyleConstants.fontSizeHeadline
    topPadding: compact ? 6 : 12
    bottomPadding: compact ? 6 : 12

    contentItem: Text {
        text: tab.text
        font: tab.font
        verticalAlignment: Text.AlignVCenter
        horizontalAlignment: Text.AlignHCenter
        color: tab.checked ? StyleConstants.mainTextHover : tab.hovered ? StyleConstants.mainText : "#9a9a9a"
    }
}
