import QtQuick 2.15
import QtTest 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../../../qml/AppLayers"

TestCase {
    name: "PatchDialogs"
    when: windowShown
    // A window the dialogs show over.
    width: 1000
    height: 1000

    ImageProperties {
        id: props
        Component.onCompleted: setFileInfo("/pictures/photo.final.vrx")
    }
    DialogPatch { id: patchDialog }
    DialogPresets { id: presetsDialog }
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
    function presetsChild(name) { return child(presetsDialog.contentItem, name) }

    function init() {
        presetFixture.clear()
        accepted.clear()
        patchDialog.close()
    }

    // One more than the largest number after "preset " among the names.
    function test_proposedName() {
        verify(presetFixture.drop("a.qpf", "preset 2"))
        verify(presetFixture.drop("b.qpf", "preset 10 warm"))
        verify(presetFixture.drop("c.qpf", "my preset 50"))
        verify(presetFixture.drop("d.qpf", "preset x"))
        patchDialog.open(DialogPatch.Preset, props)
        compare(patchDialog.presetName, "preset 11")
        presetFixture.clear()
        patchDialog.open(DialogPatch.Preset, props)
        compare(patchDialog.presetName, "preset 1")
    }

    // The head boxes follow their members; what is ticked is what the patch holds.
    function test_groups() {
        patchDialog.open(DialogPatch.Copy, props)
        tryVerify(function() { return tone("vibrance").y > tone("tint").y && tone("tint").y > 0 })
        waitForRendering(patchDialog.contentItem)
        var head = patchChild("toneAndColor")
        var geometry = patchChild("geometry")
        mouseClick(tone("tint"))
        mouseClick(patchChild("crop"))
        compare([head.checkState, geometry.checkState], [Qt.PartiallyChecked, Qt.PartiallyChecked])
        compare(presetFixture.patchKeys(props).join(), "contrast,exposure,saturation,sharpening,temp,vibrance,"
                                                 + "flipHorizontal,orientation,relativeRotation")
        mouseClick(head)
        verify(tone("tint").checked)
        mouseClick(head)
        mouseClick(geometry) // partly ticked: all
        mouseClick(geometry) // all: none
        compare([head.checkState, geometry.checkState], [Qt.Unchecked, Qt.Unchecked])
        patchChild("acceptButton").clicked()
        verify(patchDialog.visible && accepted.count === 0)
        mouseClick(tone("exposure"))
        patchChild("acceptButton").clicked()
        verify(!patchDialog.visible && accepted.count === 1)
        compare(presetFixture.patchKeys(props), ["exposure"])
    }

    function rows() {
        var list = presetsChild("presetList")
        tryVerify(function() { return list.height > 0 })
        list.forceLayout()
        var items = []
        for (var i = 0; i < list.count; ++i)
            items.push(list.itemAtIndex(i))
        return items
    }
    function rowNames() {
        return rows().map(function(row) { return child(row, "presetName").text })
    }
    function answer(dialogName, button) {
        var dialog = presetsChild(dialogName)
        tryCompare(dialog, "opened", true)
        // Readable over the presets' window.
        waitForRendering(dialog.contentItem)
        compare(screenChecks.popupFaults(dialog), [])
        child(dialog.contentItem, button).clicked()
    }

    // Renaming onto another preset's name asks first, then the other preset goes; the
    // renamed one keeps its file. Deleting asks too.
    function test_renameOverwriteDelete() {
        verify(presetFixture.drop("a.qpf", "alpha"))
        verify(presetFixture.drop("b.qpf", "beta"))
        presetsDialog.openDialog()
        compare(rowNames(), ["beta", "alpha"])

        child(rows()[0], "rename").clicked()
        var input = presetsChild("dialogTextInput")
        tryCompare(input, "opened", true)
        input.text = "alpha"
        answer("dialogTextInput", "accept")
        answer("overwriteWarning", "action")
        compare(rowNames(), ["alpha"])
        compare(presetFixture.onDisk(), ["b.qpf: alpha"])

        child(rows()[0], "delete").clicked()
        answer("deleteWarning", "cancel")
        compare(presetFixture.onDisk(), ["b.qpf: alpha"])
        child(rows()[0], "delete").clicked()
        answer("deleteWarning", "action")
        compare(rowNames(), [])
        compare(presetFixture.onDisk(), [])
        presetsChild("done").clicked()
        verify(!presetsDialog.visible)
    }

    // Every text of the three dialogs is readable on the dialog's own colours and lies
    // within the dialog, whatever the desktop's palette.
    function test_readable_data() {
        return [
            { tag: "copy adjustments", type: DialogPatch.Copy },
            { tag: "create preset", type: DialogPatch.Preset },
            { tag: "reset adjustments", type: DialogPatch.Reset },
            { tag: "manage presets", type: -1 },
            { tag: "manage no presets", type: -2 }
        ]
    }
    function test_readable(data) {
        var shown = data.type < 0 ? presetsDialog : patchDialog
        if (data.type === -1) {
            verify(presetFixture.drop("a.qpf", "warm evening light"))
            presetsDialog.openDialog()
            tryVerify(function() { return rows().length === 1 })
            verify(!presetsChild("noPresets").visible)
        } else if (data.type === -2) {
            // An empty list says how presets are made instead of showing nothing.
            presetsDialog.openDialog()
            compare(rows().length, 0)
            verify(presetsChild("noPresets").visible)
            verify(presetsChild("noPresets").text.indexOf("create preset") >= 0)
        } else {
            patchDialog.open(data.type, props)
            tryVerify(function() { return tone("vibrance").y > 0 })
        }
        tryVerify(function() { return shown.active || shown.visible })
        waitForRendering(shown.contentItem)
        compare(screenChecks.faults(shown, []), [])
        // Whole on the smaller screen people use (1280x800, less the desktop's panels).
        verify(shown.width <= 1280 && shown.height <= 740, shown.width + "x" + shown.height)
        // Centred over its window as far as the screen allows, with all its rows.
        var owner = shown.owner
        verify(owner !== null)
        var expectedX = Math.max(0, Math.min(owner.x + owner.width / 2 - shown.width / 2,
                                             Screen.desktopAvailableWidth - shown.width))
        var expectedY = Math.max(0, Math.min(owner.y + owner.height / 2 - shown.height / 2,
                                             Screen.desktopAvailableHeight - shown.height))
        verify(Math.abs(shown.x - expectedX) <= 1 && Math.abs(shown.y - expectedY) <= 1,
               shown.x + "," + shown.y + " " + shown.width + "x" + shown.height + " for " + expectedX + "," + expectedY)
        shown.close()
    }
}
