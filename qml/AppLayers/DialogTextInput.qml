import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Asks for one line of text; `textAccepted` carries it when the user confirms a
// non-empty text.
Dialog {
    id: dialog
    objectName: "dialogTextInput"

    property alias text: field.text
    property alias placeholderText: field.placeholderText
    property string acceptText: qsTr("ok")
    signal textAccepted(string text)

    modal: true
    anchors.centerIn: Overlay.overlay
    onOpened: {
        field.selectAll()
        field.forceActiveFocus()
    }

    function confirm() {
        if (field.text.trim().length === 0)
            return
        close()
        textAccepted(field.text.trim())
    }

    ColumnLayout {
        anchors.fill: parent
        TextField {
            id: field
            objectName: "textInput"
            Layout.preferredWidth: 280
            onAccepted: dialog.confirm()
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: dialog.close()
            }
            Button {
                objectName: "accept"
                text: dialog.acceptText
                enabled: field.text.trim().length > 0
                onClicked: dialog.confirm()
            }
        }
    }
}
