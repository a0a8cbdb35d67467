import QtQuick 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Utils"

// The space an import needs against the space free on its disk; red when it does not fit.
// Sizes in bytes; a negative `available` is unknown.
ColumnLayout {
    id: bar

    property real requested: 0
    property real available: -1
    readonly property bool fits: available < 0 || requested <= available

    function sizeText(bytes) {
        return Utils.sizeText(bytes)
    }

    spacing: 4

    Rectangle {
        Layout.fillWidth: true
        implicitHeight: 6
        radius: 3
        color: StyleConstants.dialogAccent
        Rectangle {
            objectName: "requestedPart"
            height: parent.height
            radius: 3
            width: bar.available <= 0 ? (bar.requested > 0 ? parent.width : 0)
                : parent.width * Math.min(1, bar.requested / bar.available)
            color: bar.fits ? StyleConstants.mainButton : "#e04040"
        }
    }
    Text {
        objectName: "spaceText"
        text: bar.sizeText(bar.requested) + " / "
            + (bar.available < 0 ? "?" : bar.sizeText(bar.available))
        color: bar.fits ? StyleConstants.dimText : "#e04040"
        font.family: StyleConstants.fontRegular
        font.pixelSize: StyleConstants.fontSizeSmall
    }
}
