import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../AppLayers"
import "../Utils"

// One picture filling the window: wheel zooms, dragging pans, the bar crops, turns,
// mirrors and rates it; the strip above the bar holds the depth tools. Escape leaves a
// tool, then goes back.
FocusScope {
    id: view

    required property string location
    required property ImageLocator locator
    // Adjustments copied from a picture (a patch document), kept by the window so that they
    // can be pasted on the next picture; null: nothing copied.
    property var copiedAdjustments: null
    // The depth strip and the bar below the picture; a page that brings its own tools
    // turns them off.
    property bool showTools: true
    readonly property alias canvas: canvas
    signal closed()
    signal adjustmentsCopied(var patch)

    function notify(text) {
        NotificationsManager.show(text)
    }

    function copyAdjustments() {
        if (canvas.captureKnown)
            patchDialog.open(DialogPatch.Copy, canvas.properties)
    }

    // Asks which adjustments go back to the picture's own values.
    function resetAdjustments() {
        if (canvas.captureKnown)
            patchDialog.open(DialogPatch.Reset, canvas.properties)
    }
    // Resets the chosen tones, and the geometry when rotation or crop is chosen; says how
    // many properties changed.
    function resetChosen() {
        var tones = canvas.properties.tuneToneProperties
        var chosen = 0
        var reset = 0
        for (var i = 0; i < tones.length; ++i) {
            if (!patchDialog.markedTones[tones[i].name])
                continue
            ++chosen
            if (tones[i].currentValue !== tones[i].originalValue) {
                tones[i].currentValue = tones[i].originalValue
                ++reset
            }
        }
        var geometry = patchDialog.rotationMarked || patchDialog.cropMarked
        if (geometry && canvas.geometryEdits.hasEdits) {
            canvas.resetGeometry()
            ++reset
        }
        var everything = chosen === tones.length && patchDialog.rotationMarked && patchDialog.cropMarked
        view.notify(reset === 0 ? qsTr("No properties have been reset.")
                    : everything ? qsTr("Image properties has been reset!")
                    : reset + " " + qsTr("properties have been reset!"))
    }

    function managePresets() {
        presetsDialog.openDialog()
    }

    function createPreset() {
        if (canvas.captureKnown)
            patchDialog.open(DialogPatch.Preset, canvas.properties)
    }

    // Applies the copied adjustments to this picture as an edit of its own.
    function pasteAdjustments() {
        if (!canvas.captureKnown || view.copiedAdjustments === null)
            return
        var patch = patchMaker.createObject(view)
        if (!patch.loadPatch(view.copiedAdjustments))
            view.notify(patch.patchError())
        else if (!patch.hasPatch())
            view.notify(qsTr("No properties have been pasted."))
        else {
            canvas.properties.applyPatch(patch)
            view.notify(patch.patchSkippedCropsCount() > 0 ? qsTr("Crop property was skipped.")
                        : qsTr("Image's properties have been pasted to") + " " + canvas.fileName)
        }
        patch.destroy()
    }

    // What the window's menus call on the editor; can(name) tells whether it applies now.
    readonly property bool hasDepthEdits: canvas.hasDepthEdits
    function can(name) {
        if (!canvas.captureKnown)
            return false
        if (["clickToFocus", "refineEdge", "blendArea", "matchDepth", "undoDepthEdit", "redoDepthEdit",
             "resetDepthEdits"].indexOf(name) >= 0)
            return canvas.hasDepthTools
        return true
    }
    function save() { canvas.serializeCurrentFile() }
    function clickToFocus() { depthTools.chooseTool(ImageEdit.Refocus) }
    function refineEdge() { depthTools.chooseTool(ImageEdit.DepthEditingEdgeHeal) }
    function blendArea() { depthTools.chooseTool(ImageEdit.DepthEditingSurfHeal) }
    function matchDepth() { depthTools.chooseTool(ImageEdit.DepthEditingLasso) }
    function undoDepthEdit() { canvas.undoDepthEdit() }
    function redoDepthEdit() { canvas.redoDepthEdit() }
    function resetDepthEdits() { canvas.resetDepthEdits() }
    function resetImageEdits() { canvas.resetGeometry() }
    function zoomIn() { canvas.zoomIn() }
    function zoomOut() { canvas.zoomOut() }
    function zoomMinimum() { canvas.zoomLogLevel = canvas.minZoomLogLevel }
    function zoomMaximum() { canvas.zoomLogLevel = canvas.maxZoomLogLevel }
    function fitInWindow() { canvas.fitInView() }
    function centerInWindow() { canvas.center() }

    Component {
        id: patchMaker
        ImageProperties {}
    }

    DialogPatch {
        id: patchDialog
        parentWindow: view.Window.window
        onAccept: {
            if (patchType === DialogPatch.Copy) {
                view.adjustmentsCopied(canvas.properties.savePatch())
                view.notify(qsTr("Image adjustments copied!"))
            } else if (patchType === DialogPatch.Reset) {
                view.resetChosen()
            } else if (patchType === DialogPatch.Preset) {
                var preset = patchMaker.createObject(view)
                preset.loadPatch(canvas.properties.savePatch())
                preset.name = presetName.trim()
                AppSettings.createPreset(preset)
                preset.destroy()
            }
        }
    }

    DialogPresets {
        id: presetsDialog
        parentWindow: view.Window.window
    }

    // Once a dialog of the page has gone, its keys (Escape above all) are the canvas's again.
    function takeKeysBack() {
        if (patchDialog.visible || presetsDialog.visible)
            return
        if (view.Window.window)
            view.Window.window.requestActivate()
        canvas.forceActiveFocus()
    }
    Connections {
        target: patchDialog
        function onVisibleChanged() { view.takeKeysBack() }
    }
    Connections {
        target: presetsDialog
        function onVisibleChanged() { view.takeKeysBack() }
    }

    Shortcut {
        sequence: "Ctrl+C"
        onActivated: view.copyAdjustments()
    }
    Shortcut {
        sequence: "Ctrl+V"
        onActivated: view.pasteAdjustments()
    }

    Keys.onEscapePressed: {
        if (canvas.editorMode !== ImageEdit.None) {
            canvas.editorMode = ImageEdit.None
            return
        }
        view.closed()
    }

    Rectangle {
        anchors.fill: parent
        color: "#202020"
    }

    ImageEditItem {
        id: canvas
        // What a crop cuts away is drawn as the background over the whole picture, which may
        // reach past the canvas: it stays within it.
        clip: true
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: depthTools.top
        focus: true
        locator: view.locator
        location: view.location
    }

    // A file that cannot be opened as a picture: nothing to edit, and the reason.
    Text {
        anchors.centerIn: canvas
        visible: canvas.location !== "" && !canvas.captureKnown
        color: "#dfdfdf"
        font.pixelSize: 14
        text: qsTr("Ostra cannot open %1 as a picture.").arg(canvas.filePath)
    }

    ViewDepthTools {
        id: depthTools
        canvas: canvas
        enabled: canvas.captureKnown
        visible: view.showTools
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: bar.top
        height: visible ? implicitHeight : 0
    }

    Rectangle {
        id: bar
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        visible: view.showTools
        height: visible ? 44 : 0
        color: "#2b2b2b"

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 8
            anchors.rightMargin: 8
            spacing: 6

            ToolButton {
                text: qsTr("back")
                onClicked: view.closed()
            }
            ToolButton {
                text: qsTr("crop")
                enabled: canvas.captureKnown
                checkable: true
                checked: canvas.editorMode === ImageEdit.Crop
                onClicked: {
                    if (checked) {
                        canvas.editorMode = ImageEdit.Crop
                    } else {
                        canvas.geometryEdits.applyCrop()
                        canvas.editorMode = ImageEdit.None
                    }
                }
            }
            ComboBox {
                id: ratio
                visible: canvas.editorMode === ImageEdit.Crop
                model: [qsTr("free"), "4:3", "3:4", "16:9", "9:16", "3:2", "2:3", "2:1", "1:2", "1:1"]
                onActivated: canvas.geometryEdits.setCropMode(index)
                Connections {
                    target: canvas.geometryEdits
                    function onResetCropMode() { ratio.currentIndex = 0 }
                }
            }
            ToolButton {
                text: qsTr("rotate left")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.rotateLeft()
            }
            ToolButton {
                text: qsTr("rotate right")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.rotateRight()
            }
            ToolButton {
                text: qsTr("flip horizontal")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.mirrorHorizontal()
            }
            ToolButton {
                text: qsTr("flip vertical")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.mirrorVertical()
            }
            ToolButton {
                text: qsTr("reset")
                enabled: canvas.captureKnown && canvas.geometryEdits.hasEdits
                onClicked: canvas.resetGeometry()
            }
            ToolButton {
                objectName: "copyAdjustments"
                text: qsTr("copy adjustments")
                enabled: canvas.captureKnown
                onClicked: view.copyAdjustments()
            }
            ToolButton {
                objectName: "pasteAdjustments"
                text: qsTr("paste adjustments")
                enabled: canvas.captureKnown && view.copiedAdjustments !== null
                onClicked: view.pasteAdjustments()
            }
            ToolButton {
                objectName: "createPreset"
                text: qsTr("create preset")
                ToolTip.visible: hovered
                ToolTip.text: qsTr("Save photo adjustments as a preset")
                enabled: canvas.captureKnown
                onClicked: view.createPreset()
            }
            ToolButton {
                objectName: "managePresets"
                text: qsTr("presets")
                onClicked: presetsDialog.openDialog()
            }
            Item {
                Layout.fillWidth: true
            }
            Repeater {
                model: 5
                ToolButton {
                    text: index < canvas.rating ? "\u2605" : "\u2606"
                    enabled: canvas.captureKnown
                    onClicked: canvas.rating = (canvas.rating === index + 1 ? 0 : index + 1)
                }
            }
            Label {
                text: canvas.fileName
                color: "white"
            }
        }
    }
}
