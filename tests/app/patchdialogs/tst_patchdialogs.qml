import QtQuick 2.15
import QtTest 1.15
import com.quelt.ostra 2.0
import "../../../qml/AppLayers"

TestCase {
    id: test
    name: "PatchDialogs"
    when: windowShown

    ImageProperties {
        id: props
        Component.onCompleted: setFileInfo("/pictures/photo.final.vrx")
    }
    DialogPatch {
        id: patchDialog
    }
    DialogPresets {
        id: presetsDialog
    }
    SignalSpy {
        id: accepted
        target: patchDialog
        signalName: "accept"
    }

    function child(parent, name) {
        var found = findChild(parent, name)
        verify(found !== null, name)
        return found
    }
    function patchChild(name) { return child(patchDialog.contentItem, name) }
    function tone(name) { return patchChild("tone_" + name) }

    function init() {
        fixture.clear()
        accepted.clear()
        patchDialog.close()
        presetsDialog.close()
    }

    function test_texts_data() {
        return [
            { tag: "copy", type: DialogPatch.Copy, title: "copy adjustments",
              text: "Select adjustments you would like to copy from photo", button: "copy", named: false },
            { tag: "reset", type: DialogPatch.Reset, title: "reset adjustments",
              text: "Select adjustments you would like to reset", button: "reset", named: false },
            { tag: "preset", type: DialogPatch.Preset, title: "create preset",
              text: "Choose which settings you would like to save to preset:", button: "create", named: true }
        ]
    }

    function test_texts(data) {
        patchDialog.open(data.type, props)
        verify(patchDialog.visible)
        compare(patchChild("title").text, data.title)
        compare(patchChild("description").text, data.text)
        compare(patchChild("acceptButton").text, data.button)
        compare(patchChild("presetName").visible, data.named)
        compare(patchChild("presetName").placeholderText, "Preset name (required)")
    }

    function test_openWithoutType() {
        patchDialog.open()
        verify(!patchDialog.visible)
    }

    // One more than the largest number after "preset " among the names.
    function test_proposedName() {
        fixture.drop("a.qpf", "preset 2", 1000)
        fixture.drop("b.qpf", "preset 10 warm", 2000)
        fixture.drop("c.qpf", "my preset 50", 3000)
        fixture.drop("d.qpf", "preset x", 4000)
        patchDialog.open(DialogPatch.Preset, props)
        compare(patchDialog.presetName, "preset 11")
        fixture.clear()
        patchDialog.open(DialogPatch.Preset, props)
        compare(patchDialog.presetName, "preset 1")
    }

    // The head boxes follow their members; what is ticked is what the patch holds.
    function test_groups() {
        patchDialog.open(DialogPatch.Copy, props)
        // Clicks go where the boxes are once the window is laid out.
        tryVerify(function() { return tone("vibrance").y > tone("tint").y && tone("tint").y > 0 })
        waitForRendering(patchDialog.contentItem)
        var head = patchChild("toneAndColor")
        var geometry = patchChild("geometry")
        compare(head.checkState, Qt.Checked)
        compare(fixture.patchKeys(props), ["contrast", "exposure", "saturation", "sharpening", "temp", "tint",
                                            "vibrance", "crop", "flipHorizontal", "orientation", "relativeRotation"])
        mouseClick(tone("tint"))
        mouseClick(patchChild("crop"))
        compare(head.checkState, Qt.PartiallyChecked)
        compare(geometry.checkState, Qt.PartiallyChecked)
        compare(fixture.patchKeys(props).indexOf("tint"), -1)
        compare(fixture.patchKeys(props).indexOf("crop"), -1)
        mouseClick(head)
        compare(head.checkState, Qt.Checked)
        verify(tone("tint").checked)
        mouseClick(head)
        mouseClick(geometry) // partly ticked: all
        mouseClick(geometry) // all: none
        compare(head.checkState, Qt.Unchecked)
        compare(geometry.checkState, Qt.Unchecked)
        compare(fixture.patchKeys(props), [])
        patchChild("acceptButton").clicked()
        compare(patchChild("note").text, "No settings were chosen.")
        verify(patchDialog.visible)
        compare(accepted.count, 0)
        mouseClick(tone("exposure"))
        patchChild("acceptButton").clicked()
        compare(accepted.count, 1)
        verify(!patchDialog.visible)
        compare(fixture.patchKeys(props), ["exposure"])
    }

    function test_presetNeedsName() {
        patchDialog.open(DialogPatch.Preset, props)
        patchChild("presetName").text = "  "
        verify(!patchChild("acceptButton").enabled)
        patchChild("presetName").text = "warm"
        patchChild("acceptButton").clicked()
        compare(accepted.count, 1)
        compare(patchDialog.presetName, "warm")
    }

    function presetList() {
        var list = child(presetsDialog.contentItem, "presetList")
        tryVerify(function() { return list.height > 0 })
        list.forceLayout()
        return list
    }
    function row(index) {
        var list = presetList()
        var item = list.itemAtIndex(index)
        verify(item !== null, "row " + index)
        return item
    }
    function rowNames() {
        var names = []
        var list = presetList()
        for (var i = 0; i < list.count; ++i)
            names.push(child(list.itemAtIndex(i), "presetName").text)
        return names
    }

    // Renaming onto another preset's name asks first, then the other preset goes; the
    // renamed one keeps its file.
    function test_renameOverwriteDelete() {
        fixture.drop("a.qpf", "alpha", 1000000000)
        fixture.drop("b.qpf", "beta", 1500000000)
        presetsDialog.openDialog()
        compare(rowNames(), ["beta", "alpha"])
        compare(child(row(1), "presetTime").text,
                Qt.formatDateTime(new Date(1000000000 * 1000), "hh:mm MMM d, yyyy"))

        child(row(0), "rename").clicked()
        var input = child(presetsDialog.contentItem, "dialogTextInput")
        tryCompare(input, "opened", true)
        compare(input.title, "Rename your preset")
        compare(input.placeholderText, "Preset name (required)")
        input.text = "alpha"
        child(input.contentItem, "accept").clicked()
        var warning = child(presetsDialog.contentItem, "overwriteWarning")
        tryCompare(warning, "opened", true)
        compare(warning.title, "Preset name already exists")
        compare(warning.message, "alpha already exists. Do you want to overwrite the existings one?")
        child(warning.contentItem, "action").clicked()
        compare(rowNames(), ["alpha"])
        compare(fixture.onDisk(), ["b.qpf: alpha"])

        child(row(0), "delete").clicked()
        var confirm = child(presetsDialog.contentItem, "deleteWarning")
        tryCompare(confirm, "opened", true)
        compare(confirm.title, "Delete alpha?")
        compare(confirm.message, "Are you sure you want to permanently delete alpha. This action cannot be reverted.")
        child(confirm.contentItem, "cancel").clicked()
        compare(fixture.onDisk(), ["b.qpf: alpha"])
        child(row(0), "delete").clicked()
        tryCompare(confirm, "opened", true)
        child(confirm.contentItem, "action").clicked()
        compare(rowNames(), [])
        compare(fixture.onDisk(), [])
        child(presetsDialog.contentItem, "done").clicked()
        verify(!presetsDialog.visible)
    }
}
