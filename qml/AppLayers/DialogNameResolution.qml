import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Asks what to do with a file that already exists in the target folder. The answer is
// left in `skip`, `overwrite` and `applyToAll` when the dialog is accepted.
Dialog {
    id: dialog

    property bool skip: false
    property bool overwrite: false
    property alias applyToAll: all.checked
    property string name: ""
    property url folder

    title: qsTr("File error")
    modal: true
    anchors.centerIn: parent

    function folderName() {
        var path = folder.toString().replace(/\/+$/, "")
        return decodeURIComponent(path.substring(path.lastIndexOf("/") + 1))
    }

    ColumnLayout {
        Label {
            text: qsTr("File exists")
            font.bold: true
        }
        Label {
            objectName: "detail"
            textFormat: Text.StyledText
            text: dialog.name + " " + qsTr("already exists in the") + " <a href=\"" + dialog.folder + "\">"
                  + dialog.folderName() + "</a> " + qsTr("folder.")
            onLinkActivated: Qt.openUrlExternally(link)
        }
        Label {
            text: qsTr("Do you want to replace the existing file?")
        }
        CheckBox {
            id: all
            objectName: "applyToAll"
            text: qsTr("apply to all files")
        }
        RowLayout {
            Button {
                objectName: "cancel"
                text: qsTr("Cancel")
                onClicked: dialog.reject()
            }
            Button {
                objectName: "skip"
                text: qsTr("Skip")
                onClicked: {
                    dialog.skip = true
                    dialog.overwrite = false
                    dialog.accept()
                }
            }
            Button {
                objectName: "overwrite"
                text: qsTr("Overwrite")
                onClicked: {
                    dialog.skip = false
                    dialog.overwrite = true
                    dialog.accept()
                }
            }
        }
    }
}
