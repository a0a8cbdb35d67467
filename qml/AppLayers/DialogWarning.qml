import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// A question before something that cannot be taken back: the title, the message and one
// action beside "cancel"; `actionTriggered` when the user takes the action.
Dialog {
    id: dialog
    objectName: "dialogWarning"

    property string message: ""
    property string actionText: ""
    signal actionTriggered()

    modal: true
    anchors.centerIn: Overlay.overlay

    ColumnLayout {
        anchors.fill: parent
        Label {
            objectName: "message"
            Layout.preferredWidth: 320
            wrapMode: Text.Wrap
            text: dialog.message
        }
        // Return takes the action.
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: dialog.opened
            onActivated: actionButton.clicked()
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: dialog.close()
            }
            Button {
                id: actionButton
                objectName: "action"
                text: dialog.actionText
                onClicked: {
                    dialog.close()
                    dialog.actionTriggered()
                }
            }
        }
    }
}
