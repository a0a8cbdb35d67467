import QtQuick 2.15
import QtQuick.Controls 2.15
import "../Utils"

// Body text in the regular face; `dim` for secondary lines.
Label {
    property bool dim: false

    font.family: StyleConstants.fontRegular
    font.pixelSize: StyleConstants.fontSizeNormal
    color: !enabled ? StyleConstants.disabledText : dim ? StyleConstants.dimText : StyleConstants.mainText
    wrapMode: Text.WordWrap
    linkColor: StyleConstants.mainButton
    onLinkActivated: Qt.openUrlExternally(link)
}
