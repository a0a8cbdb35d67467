import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../Items"
import "../Utils"

// Asked when the window is closed while work runs in the background: the work listed,
// "Return to app" (the quit is called off) or "Stop/pause all".
Dialog {
    id: guard
    objectName: "quitGuard"

    // The names of the operations running.
    property var operations: []

    signal returnRequested()
    signal stopRequested()

    modal: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(480, parent ? parent.width - 40 : 480)
    padding: 24
    closePolicy: Popup.NoAutoClose

    background: Rectangle {
        color: StyleConstants.dialogBackground
        border.color: StyleConstants.dialogAccent
        radius: 4
    }

    contentItem: ColumnLayout {
        spacing: 12
        OstraTitle {
            text: qsTr("Hold on!")
        }
        ItemLabel {
            Layout.fillWidth: true
            text: qsTr("The following actions are running in the background:")
        }
        Repeater {
            model: guard.operations
            delegate: ItemLabel {
                required property string modelData
                objectName: "operation"
                Layout.fillWidth: true
                Layout.leftMargin: 12
                text: "\u2022 " + modelData
            }
        }
        ItemLabel {
            Layout.fillWidth: true
            dim: true
            text: qsTr("The application will quit when they complete.")
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: StyleConstants.spacing
            ItemRoundButton {
                objectName: "returnToApp"
                text: qsTr("Return to app")
                onClicked: {
                    guard.close()
                    guard.returnRequested()
                }
            }
            ItemRoundButton {
                objectName: "stopAll"
                primary: true
                text: qsTr("Stop/pause all")
                onClicked: guard.stopRequested()
            }
        }
    }
}
