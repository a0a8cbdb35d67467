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
    // As wide as the question needs, never wider than the window; long names wrap.
    width: Math.min(520, parent ? parent.width - 40 : 520)

    function folderName() {
        var path = folder.toString().replace(/\/+$/, "")
        return decodeURIComponent(path.substring(path.lastIndexOf("/") + 1))
    }

    ColumnLayout {
        width: dialog.availableWidth
        Label {
            text: qsTr("File exists")
            font.bold: true
        }
        Label {
            objectName: "detail"
            Layout.fillWidth: true
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            textFormat: Text.StyledText
            text: dialog.name + " " + qsTr("already exists in the") + " <a href=\"" + dialog.folder + "\">"
                  + dialog.folderName() + "</a> " + qsTr("folder.")
            onLinkActivated: Qt.openUrlExternally(link)
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
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
