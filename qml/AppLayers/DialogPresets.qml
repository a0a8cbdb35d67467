import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// Lists the tuning presets with their creation time; each can be renamed (over another
// preset of that name, once the user agrees) or deleted.
DialogWindow {
    id: dialog
    objectName: "dialogPresets"
    width: 520
    height: 420
    title: qsTr("manage presets")

    // The preset being renamed or deleted, and the one a rename would overwrite.
    property var chosen: null
    property var overwritten: null
    property string newName: ""

    function openDialog() {
        showOverOwner()
    }

    function presetNamed(name, except) {
        var presets = AppSettings.presets || []
        for (var i = 0; i < presets.length; ++i) {
            if (presets[i] !== except && presets[i].name === name)
                return presets[i]
        }
        return null
    }

    function askRename(preset) {
        chosen = preset
        renameDialog.text = preset.name
        renameDialog.open()
    }

    function rename(name) {
        newName = name
        overwritten = presetNamed(name, chosen)
        if (overwritten === null) {
            AppSettings.renamePreset(chosen, name)
            return
        }
        overwriteDialog.title = qsTr("Preset name already exists")
        overwriteDialog.message = name + " " + qsTr("already exists. Do you want to overwrite the existings one?")
        overwriteDialog.open()
    }

    function askDelete(preset) {
        chosen = preset
        deleteDialog.title = qsTr("Delete") + " " + preset.name + qsTr("?")
        deleteDialog.message = qsTr("Are you sure you want to permanently ") + qsTr("delete").toLowerCase() + " "
            + preset.name + ". " + qsTr("This action cannot be reverted.")
        deleteDialog.open()
    }

    Shortcut {
        sequences: ["Escape", "Ctrl+W", "Return", "Enter"]
        enabled: !renameDialog.visible && !overwriteDialog.visible && !deleteDialog.visible
        onActivated: dialog.close()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Label {
            text: dialog.title
            font.bold: true
            font.pixelSize: 18
        }
        // An empty list tells how presets come.
        Label {
            objectName: "noPresets"
            Layout.fillWidth: true
            visible: list.count === 0
            wrapMode: Text.Wrap
            color: StyleConstants.dimText
            text: qsTr("There are no presets yet. To make one, adjust a picture in the editor and choose \"create preset\"; the presets of a connected camera come with \"import presets\" on its tab.")
        }
        ListView {
            id: list
            objectName: "presetList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: AppSettings.presets
            delegate: RowLayout {
                width: list.width
                // The name over the time it was made.
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 0
                    Label {
                        objectName: "presetName"
                        Layout.fillWidth: true
                        elide: Text.ElideRight
                        text: modelData.name
                    }
                    Label {
                        objectName: "presetTime"
                        Layout.fillWidth: true
                        color: StyleConstants.dimText
                        font.pixelSize: StyleConstants.fontSizeSmall
                        text: Qt.formatDateTime(modelData.timestampCreated, "hh:mm MMM d, yyyy")
                    }
                }
                Button {
                    objectName: "rename"
                    text: qsTr("rename")
                    onClicked: dialog.askRename(modelData)
                }
                Button {
                    objectName: "delete"
                    text: qsTr("delete")
                    onClicked: dialog.askDelete(modelData)
                }
            }
        }
        Button {
            objectName: "done"
            Layout.alignment: Qt.AlignRight
            text: qsTr("done")
            onClicked: dialog.close()
        }
    }

    DialogTextInput {
        id: renameDialog
        title: qsTr("Rename your preset")
        placeholderText: qsTr("Preset name (required)")
        onTextAccepted: dialog.rename(text)
    }
    DialogWarning {
        id: overwriteDialog
        objectName: "overwriteWarning"
        actionText: qsTr("overwrite")
        onActionTriggered: AppSettings.overwritePreset(dialog.overwritten, dialog.chosen, dialog.newName)
    }
    DialogWarning {
        id: deleteDialog
        objectName: "deleteWarning"
        actionText: qsTr("delete")
        onActionTriggered: AppSettings.removePreset(dialog.chosen)
    }
}
