import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Dialogs 1.3 as Dialogs
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// Exports the chosen pictures: a name (for one picture), the folder, the size and the
// formats. Accepting hands everything to the image service, which writes in the background;
// when it has written everything, a notification names the folder (or the failures).
DialogWindow {
    id: dialog
    objectName: "dialogExport"
    width: 480
    height: column.implicitHeight + 32
    title: qsTr("Export items")

    property ImageLocator locator: null
    property url folder
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
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
    // Why "export" cannot be pressed now; empty when it can.
    readonly property string blockedReason: files.length === 0 ? qsTr("Nothing is chosen to export.")
        : String(folder).length === 0 ? qsTr("Choose a folder to export to.")
        : !nameAcceptable ? qsTr("This file name cannot be used here: change it, or leave it empty to keep the picture's name.")
        : ""

    // The export handed to the image service and not yet ended: its folder, the number of
    // pictures and the failures met so far.
    property bool exporting: false
    property string exportedTo: ""
    property int exportedCount: 0
    property var failures: []
    // The folder is being made and the names picked (off the GUI thread): nothing is
    // queued yet.
    property bool planning: false

    // The name of a picture without its suffix, as its export is named unless the user
    // gives another.
    function ownName(url) {
        var name = Utils.fileNameFromUrl(url)
        var dot = name.lastIndexOf(".")
        return dot > 0 ? name.substring(0, dot) : name
    }

    function openFor(selection, text) {
        files = Array.prototype.slice.call(selection)
        summary = text || ""
        nameInput.text = ""
        // Without a folder of the caller's, exports go to the dated export folder.
        if (String(folder).length === 0 && AppSettings)
            folder = Utils.fileUrl(AppSettings.defaultExport())
        target.queryAttributes()
        showOverOwner()
        nameInput.forceActiveFocus()
    }

    function accept() {
        if (!canExport || !locator)
            return
        var size = sizes[sizeIndex]
        exportedTo = target.path
        exportedCount = files.length
        failures = []
        exporting = true
        planning = true
        locator.exportImageList(files, formats[formatIndex], size.value, size.unit, folder,
                                isSingle ? nameInput.text : "", highQuality)
        close()
    }

    // Stops the export under way; what was written stays.
    function cancelExport() {
        if (!exporting || !locator)
            return
        exporting = false
        planning = false
        locator.cancelExport()
        NotificationsManager.show(qsTr("Export stopped; what was written is in %1").arg(exportedTo))
    }

    // Says how the export ended.
    function finish() {
        if (!exporting)
            return
        exporting = false
        var pictures = Utils.countText(exportedCount, qsTr("picture"), qsTr("pictures"))
        if (failures.length === 0)
            NotificationsManager.show(qsTr("Export completed: %1 in %2").arg(pictures).arg(exportedTo))
        else
            NotificationsManager.show(qsTr("Export ended: %1 of %2 could not be written to %3")
                                      .arg(Utils.countText(failures.length, qsTr("file"), qsTr("files")))
                                      .arg(pictures).arg(exportedTo))
    }

    Connections {
        target: dialog.locator
        function onExportFailed(path, reason) {
            if (dialog.exporting && String(path).indexOf(dialog.exportedTo) === 0)
                dialog.failures = dialog.failures.concat([path])
        }
        function onExportListQueued(outputs) {
            if (!dialog.planning)
                return
            dialog.planning = false
            // Nothing was queued (every picture skipped), or it has ended already.
            if (!dialog.locator.exportProgress.active)
                dialog.finish()
        }
    }
    Connections {
        target: dialog.locator ? dialog.locator.exportProgress : null
        function onActiveChanged() {
            if (!dialog.locator.exportProgress.active && !dialog.planning)
                dialog.finish()
        }
    }

    Shortcut {
        sequences: ["Escape", "Ctrl+W"]
        enabled: dialog.visible
        onActivated: dialog.close()
    }
    // Return exports, as the button does (when it may be pressed); an open list takes it
    // first.
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: dialog.visible && !sizeChoice.popup.visible && !formatChoice.popup.visible
        onActivated: dialog.accept()
    }

    TargetFolder {
        id: target
        url: dialog.folder
        volumes: dialog.volumes
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 10

        OstraTitle {
            text: dialog.title
        }
        ItemLabel {
            objectName: "summary"
            text: dialog.summary
            visible: text.length > 0
            dim: true
        }

        GridLayout {
            columns: 2
            columnSpacing: 12
            rowSpacing: 8
            Layout.fillWidth: true

            Label {
                text: qsTr("file name")
                color: StyleConstants.dimText
                visible: dialog.isSingle
            }
            TextField {
                id: nameInput
                objectName: "fileName"
                visible: dialog.isSingle
                Layout.fillWidth: true
                selectByMouse: true
                // Left empty, the export keeps the picture's own name, which it shows.
                placeholderText: dialog.isSingle ? dialog.ownName(dialog.files[0]) : ""
                // Readable on the light field that has the keyboard and on the dark one.
                placeholderTextColor: activeFocus ? "#666666" : "#9a9a9a"
                validator: FilenameValidator {
                    baseFolder: target.path
                    allowSubfolders: false
                }
            }

            Label {
                text: qsTr("save to")
                color: StyleConstants.dimText
            }
            RowLayout {
                Layout.fillWidth: true
                Label {
                    objectName: "folderPath"
                    text: target.path
                    elide: Text.ElideMiddle
                    color: StyleConstants.mainText
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
                color: "#ff6060"
                visible: String(dialog.folder).length > 0 && target.exists && !target.writable
            }

            Label {
                text: qsTr("disk space")
                color: StyleConstants.dimText
            }
            // Requested against available space, approximate.
            SpaceBar {
                objectName: "spaceBar"
                Layout.fillWidth: true
                requested: dialog.requestedBytes
                available: target.freeSpace
            }

            Label {
                text: qsTr("image size")
                color: StyleConstants.dimText
            }
            ComboBox {
                id: sizeChoice
                objectName: "imageSize"
                model: [qsTr("8mp"), qsTr("13mp"), qsTr("full")]
                currentIndex: 2
            }

            Label {
                text: qsTr("format")
                color: StyleConstants.dimText
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

        ItemLabel {
            objectName: "blockedReason"
            Layout.fillWidth: true
            visible: text.length > 0
            color: "#ff8080"
            text: dialog.blockedReason
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
