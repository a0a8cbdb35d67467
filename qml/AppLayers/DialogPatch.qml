import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// Chooses the part of a picture's adjustments to copy, to reset or to save as a preset.
// The choice is marked on `properties` (its patch); `accept` tells the caller to act on
// it. For a preset, `presetName` holds the name the user gave.
DialogWindow {
    id: dialog
    objectName: "dialogPatch"
    width: 380
    height: column.implicitHeight + 32

    enum PatchType {
        Copy,
        Reset,
        Preset
    }

    property int patchType: DialogPatch.Copy
    property ImageProperties properties: null
    readonly property alias presetName: nameField.text
    // What is marked; kept here because the patch itself offers no change signal.
    property var markedTones: ({})
    property bool rotationMarked: false
    property bool cropMarked: false
    readonly property bool anythingMarked: rotationMarked || cropMarked || Object.keys(markedTones).length > 0

    signal accept()

    title: patchType === DialogPatch.Reset ? qsTr("reset adjustments")
         : patchType === DialogPatch.Preset ? qsTr("create preset") : qsTr("copy adjustments")

    // The proposed name of a new preset: "preset " and one more than the largest number
    // that follows "preset " in the names of the existing presets.
    function proposedName() {
        var largest = 0
        var presets = AppSettings.presets || []
        for (var i = 0; i < presets.length; ++i) {
            var name = presets[i].name
            if (name.indexOf("preset ") !== 0)
                continue
            var n = parseInt(name.substring(7))
            if (!isNaN(n) && n > largest)
                largest = n
        }
        return "preset " + (largest + 1)
    }

    function open(dialogType, imageProperties) {
        if (dialogType === undefined) {
            console.log("DialogPatch: error [open] - dialogType isn't defined!")
            return
        }
        patchType = dialogType
        properties = imageProperties
        note.text = ""
        nameField.text = patchType === DialogPatch.Preset ? proposedName() : ""
        // Everything is chosen at first.
        markAllTones(true)
        markCustom(ImageProperties.RotationAndMirror, true)
        markCustom(ImageProperties.Crop, true)
        showOverOwner()
    }

    function markTone(property, on) {
        if (!properties)
            return
        properties.markTuneTonePatch(property, on)
        var marked = Object.assign({}, markedTones)
        if (on)
            marked[property.name] = true
        else
            delete marked[property.name]
        markedTones = marked
    }

    function markAllTones(on) {
        var tones = properties ? properties.tuneToneProperties : []
        for (var i = 0; i < tones.length; ++i)
            markTone(tones[i], on)
    }

    function markCustom(part, on) {
        if (!properties)
            return
        properties.markCustomPatch(part, on)
        if (part === ImageProperties.RotationAndMirror)
            rotationMarked = on
        else
            cropMarked = on
    }

    function tryAccept() {
        if (!anythingMarked) {
            note.text = qsTr("No settings were chosen.")
            return
        }
        if (patchType === DialogPatch.Preset && nameField.text.trim().length === 0)
            return
        close()
        dialog.accept()
    }

    Shortcut {
        sequences: ["Escape", "Ctrl+W"]
        onActivated: dialog.close()
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Label {
            objectName: "title"
            text: dialog.title
            font.bold: true
            font.pixelSize: 18
        }
        Label {
            objectName: "description"
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: dialog.patchType === DialogPatch.Reset ? qsTr("Select adjustments you would like to reset")
                : dialog.patchType === DialogPatch.Preset
                  ? qsTr("Choose which settings you would like to save to preset") + ":"
                  : qsTr("Select adjustments you would like to copy from") + " "
                    + (dialog.properties ? dialog.properties.baseName : "")
        }
        TextField {
            id: nameField
            objectName: "presetName"
            Layout.fillWidth: true
            visible: dialog.patchType === DialogPatch.Preset
            placeholderText: qsTr("Preset name (required)")
            onAccepted: dialog.tryAccept()
        }

        CheckBox {
            objectName: "geometry"
            text: qsTr("GEOMETRY")
            tristate: true
            checkState: dialog.rotationMarked && dialog.cropMarked ? Qt.Checked
                      : dialog.rotationMarked || dialog.cropMarked ? Qt.PartiallyChecked : Qt.Unchecked
            // A click on the head box chooses all of its group, or none once all are chosen.
            nextCheckState: function() { return checkState === Qt.Checked ? Qt.Unchecked : Qt.Checked }
            onClicked: {
                var on = checkState === Qt.Checked
                dialog.markCustom(ImageProperties.RotationAndMirror, on)
                dialog.markCustom(ImageProperties.Crop, on)
            }
        }
        CheckBox {
            objectName: "rotationAndMirror"
            Layout.leftMargin: 24
            text: qsTr("rotation & mirror")
            checked: dialog.rotationMarked
            onClicked: dialog.markCustom(ImageProperties.RotationAndMirror, checked)
        }
        CheckBox {
            objectName: "crop"
            Layout.leftMargin: 24
            text: qsTr("crop")
            checked: dialog.cropMarked
            onClicked: dialog.markCustom(ImageProperties.Crop, checked)
        }

        CheckBox {
            id: toneHead
            objectName: "toneAndColor"
            text: qsTr("TONE & COLOR")
            tristate: true
            readonly property int count: Object.keys(dialog.markedTones).length
            readonly property int total: dialog.properties ? dialog.properties.tuneToneProperties.length : 0
            checkState: count > 0 && count === total ? Qt.Checked : count > 0 ? Qt.PartiallyChecked : Qt.Unchecked
            nextCheckState: function() { return checkState === Qt.Checked ? Qt.Unchecked : Qt.Checked }
            onClicked: dialog.markAllTones(checkState === Qt.Checked)
        }
        Repeater {
            model: dialog.properties ? dialog.properties.tuneToneProperties : []
            CheckBox {
                objectName: "tone_" + modelData.name
                Layout.leftMargin: 24
                text: modelData.name
                checked: dialog.markedTones[modelData.name] === true
                onClicked: dialog.markTone(modelData, checked)
            }
        }

        Label {
            id: note
            objectName: "note"
            visible: text.length > 0
            color: "#ff8080"
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: dialog.close()
            }
            Button {
                objectName: "acceptButton"
                text: dialog.patchType === DialogPatch.Reset ? qsTr("reset")
                    : dialog.patchType === DialogPatch.Preset ? qsTr("create") : qsTr("copy")
                enabled: dialog.patchType !== DialogPatch.Preset || nameField.text.trim().length > 0
                onClicked: dialog.tryAccept()
            }
        }
    }
}
