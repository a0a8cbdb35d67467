import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// The progress of a batch edit over the window: how many pictures are done, and a button
// that stops the pictures not reached yet.
Rectangle {
    id: overlay

    property ProgressHandler handler: null
    signal cancelRequested()

    visible: handler !== null && handler.isInProgress
    width: 360
    height: column.implicitHeight + 24
    radius: 4
    color: StyleConstants.dialogBackground
    border.color: StyleConstants.dialogAccent

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 12
        spacing: StyleConstants.spacing
        ItemLabel {
            objectName: "overlayProgressText"
            Layout.fillWidth: true
            text: overlay.handler ? overlay.handler.progress + " / " + overlay.handler.maximumProgress : ""
        }
        ProgressBar {
            Layout.fillWidth: true
            from: 0
            to: overlay.handler ? Math.max(1, overlay.handler.maximumProgress) : 1
            value: overlay.handler ? overlay.handler.progress : 0
        }
        ItemRoundButton {
            objectName: "overlayProgressCancel"
            Layout.alignment: Qt.AlignRight
            text: qsTr("Cancel")
            onClicked: overlay.cancelRequested()
        }
    }
}
