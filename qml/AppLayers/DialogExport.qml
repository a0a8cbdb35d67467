import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Dialogs 1.3 as Dialogs
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0

// Exports the chosen pictures: a name (for one picture), the folder, the size and the
// formats. Accepting hands everything to the image service, which writes in the background.
Window {
    id: dialog
    objectName: "dialogExport"
    flags: Qt.Dialog | Qt.FramelessWindowHint
    modality: Qt.ApplicationModal
    width: 480
    height: column.implicitHeight + 32
    color: "#181818"
    title: qsTr("Export items")

    property ImageLocator locator: null
    property url folder
    property QtObject model: null
    // The pictures to export (file URLs).
    property var files: []
    // What the selection is, shown as the dialog's subtitle.
    property string summary: ""
    readonly property bool isSingle: files.length === 1

    // Format bits: JPEG is bit 0, DNG bit 2.
    readonly property int formatJpeg: 1
    readonly property int formatDng: 4
    readonly property var formats: [formatJpeg, formatDng, formatJpeg | formatDng]
    readonly property var sizes: [
        { value: 8, unit: Export.MPx },
        { value: 13, unit: Export.MPx },
        { value: 0, unit: Export.Level }
    ]
    property alias fileName: nameInput.text
    property alias formatIndex: formatChoice.currentIndex
    property alias sizeIndex: sizeChoice.currentIndex
    property alias highQuality: quality.checked

    // A rough size per picture: what the space bar shows before anything is written.
    readonly property real bytesPerJpeg: sizeIndex === 0 ? 3e6 : sizeIndex === 1 ? 5e6 : 9e6
    readonly property real bytesPerDng: 40e6
    readonly property real requestedBytes: files.length * (((formats[formatIndex] & formatJpeg) ? bytesPerJpeg : 0)
                                                          + ((formats[formatIndex] & formatDng) ? bytesPerDng : 0))
    readonly property bool nameAcceptable: !isSingle || nameInput.text.length === 0 || nameInput.acceptableInput
    readonly property bool canExport: files.length > 0 && String(folder).length > 0 && nameAcceptable

    function openFor(selection, text) {
        files = Array.prototype.slice.call(selection)
        summary = text || ""
        nameInput.text = ""
        target.queryAttributes()
        show()
        raise()
    }

    function accept() {
        if (!canExport || !locator)
            return
        var size = sizes[sizeIndex]
        locator.exportImageList(files, formats[formatIndex], size.value, size.unit, folder,
                                isSingle ? nameInput.text : "", highQuality)
        close()
    }

    TargetFolder {
        id: target
        url: dialog.folder
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10

        Label {
            text: dialog.title
            font.pixelSize: 18
            color: "white"
        }
        Label {
            objectName: "summary"
            text: dialog.summary
            visible: text.length > 0
            color: "#878686"
        }

        GridLayout {
            columns: 2
            columnSpacing: 12
            rowSpacing: 8
            Layout.fillWidth: true

            Label {
                text: qsTr("file name")
                color: "#878686"
                visible: dialog.isSingle
            }
            TextField {
                id: nameInput
                objectName: "fileName"
                visible: dialog.isSingle
                Layout.fillWidth: true
                selectByMouse: true
                validator: FilenameValidator {
                    baseFolder: target.path
                    allowSubfolders: false
                }
            }

            Label {
                text: qsTr("save to")
                color: "#878686"
            }
            RowLayout {
                Layout.fillWidth: true
                Label {
                    objectName: "folderPath"
                    text: target.path
                    elide: Text.ElideMiddle
                    color: "white"
                    Layout.fillWidth: true
                }
                Button {
                    objectName: "chooseFolder"
                    text: qsTr("Choose folder")
                    onClicked: folderChooser.open()
                }
            }
            Item {
                width: 1
                height: 1
                visible: writableNote.visible
            }
            Label {
                id: writableNote
                objectName: "writableNote"
                text: qsTr("Apparently, the chosen folder might not be writable")
                color: "red"
                visible: String(dialog.folder).length > 0 && target.exists && !target.writable
            }

            Label {
                text: qsTr("disk space")
                color: "#878686"
            }
            // Requested against available space, approximate.
            Rectangle {
                objectName: "spaceBar"
                Layout.fillWidth: true
                height: 8
                color: "#2B2B2B"
                readonly property real available: Math.max(1, target.freeSpace)
                Rectangle {
                    height: parent.height
                    width: parent.width * Math.min(1, dialog.requestedBytes / parent.available)
                    color: dialog.requestedBytes > parent.available ? "red" : "#00b1ed"
                }
            }

            Label {
                text: qsTr("image size")
                color: "#878686"
            }
            ComboBox {
                id: sizeChoice
                objectName: "imageSize"
                model: [qsTr("8mp"), qsTr("13mp"), qsTr("full")]
                currentIndex: 2
            }

            Label {
                text: qsTr("format")
                color: "#878686"
            }
            ComboBox {
                id: formatChoice
                objectName: "format"
                model: [qsTr("jpg"), qsTr("dng"), qsTr("jpg + dng")]
            }
        }

        CheckBox {
            id: quality
            objectName: "highQuality"
            text: qsTr("export at high quality (uncheck for faster export)")
            checked: true
        }

        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: dialog.close()
            }
            Button {
                objectName: "export"
                text: qsTr("export")
                enabled: dialog.canExport
                onClicked: dialog.accept()
            }
        }
    }

    Dialogs.FileDialog {
        id: folderChooser
        title: qsTr("Choose folder")
        selectFolder: true
        onAccepted: dialog.folder = fileUrl
    }
}
