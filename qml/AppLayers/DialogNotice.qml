import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../Items"
import "../Utils"

// A message of the window: a title, the text (links open in the browser) and one or two
// buttons; `accepted` for the main button, `rejected` for the other or Escape.
Dialog {
    id: notice

    property string heading: ""
    property string message: ""
    property string acceptText: qsTr("OK")
    property string rejectText: ""

    modal: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(520, parent ? parent.width - 40 : 520)
    padding: 24
    closePolicy: Popup.CloseOnEscape

    background: Rectangle {
        color: StyleConstants.dialogBackground
        border.color: StyleConstants.dialogAccent
        radius: 4
    }

    contentItem: ColumnLayout {
        spacing: 16
        OstraTitle {
            objectName: "noticeHeading"
            Layout.fillWidth: true
            visible: notice.heading !== ""
            text: notice.heading
        }
        ItemLabel {
            objectName: "noticeMessage"
            Layout.fillWidth: true
            textFormat: Text.StyledText
            text: notice.message
        }
        // Return takes the main button.
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: notice.opened
            onActivated: notice.accept()
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: StyleConstants.spacing
            ItemRoundButton {
                objectName: "noticeReject"
                visible: notice.rejectText !== ""
                text: notice.rejectText
                onClicked: notice.reject()
            }
            ItemRoundButton {
                objectName: "noticeAccept"
                primary: true
                text: notice.acceptText
                onClicked: notice.accept()
            }
        }
    }
}
