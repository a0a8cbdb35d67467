import QtQuick 2.15
import QtQuick.Controls 1.4 as C1
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../AppLayers"
import "../Items"
import "../Utils"
import "../Views"

// The editor page: the depth and preset column, the canvas, the histogram, information,
// geometry and tone column, the bottom bar and the filmstrip of the open session.
ColumnLayout {
    id: root

    required property ImageLocator locator
    // The open session; its pictures make the filmstrip. Null: no filmstrip.
    property ActiveSession gallery: null
    property string location: ""
    property var copiedAdjustments: null
    property url exportFolder
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    readonly property ImageEditItem imageEditor: canvasView.canvas
    readonly property alias filmstrip: filmstrip
    // The strength of the shake that says a depth edit failed, in pixels.
    property real amplitude: 12

    signal closed()
    signal adjustmentsCopied(var patch)
    signal filesDropped(var urls)

    spacing: 0

    // The window's notifications, which the page's messages go to.
    readonly property QtObject notifications: NotificationsManager
    function notify(text) { NotificationsManager.show(text) }

    // The height the bottom bar and the filmstrip take at the page's bottom, which the
    // window's notifications stay above.
    readonly property real bottomReserve: bottomBar.height + filmstripFrame.height
    // What the window's menus call on the editor; can(name) tells whether it applies now.
    readonly property bool hasDepthEdits: imageEditor.hasDepthEdits
    function can(name) {
        if (["zoomIn", "zoomOut", "zoomMinimum", "zoomMaximum", "fitInWindow", "centerInWindow", "toggleExif",
             "toggleFilmstrip"].indexOf(name) >= 0)
            return true
        if (!imageEditor.captureKnown)
            return false
        if (name === "clickToFocus" || name === "toggleFocalRegion")
            return imageEditor.hasDepth
        if (["refineEdge", "blendArea", "matchDepth", "undoDepthEdit", "redoDepthEdit"].indexOf(name) >= 0)
            return imageEditor.hasDepthTools
        // A reset is offered while there is something to reset.
        if (name === "resetDepthEdits")
            return imageEditor.hasDepthTools && imageEditor.hasDepthEdits
        if (name === "resetImageEdits")
            return imageEditor.geometryEdits.hasEdits
        if (name === "pasteAdjustments")
            return copiedAdjustments !== null
        if (name === "revertToOriginal" || name === "resetAdjustments")
            return !imageEditor.properties.isTuneToneOriginal || imageEditor.geometryEdits.hasEdits
        return true
    }
    function save() { imageEditor.serializeCurrentFile() }
    function clickToFocus() { toolbar.clickTool("focusAdjust") }
    function toggleFocalRegion() { toolbar.toggleFocalRegion() }
    function refineEdge() { toolbar.clickTool("refineEdge") }
    function blendArea() { toolbar.clickTool("blendArea") }
    function matchDepth() { toolbar.clickTool("matchDepth") }
    function undoDepthEdit() { imageEditor.undoDepthEdit() }
    function redoDepthEdit() { imageEditor.redoDepthEdit() }
    function resetDepthEdits() { imageEditor.resetDepthEdits() }
    function resetImageEdits() { imageEditor.resetGeometry() }
    function rotateLeft() { tuningPanel.reorient("rotateLeft") }
    function rotateRight() { tuningPanel.reorient("rotateRight") }
    function mirrorHorizontal() { tuningPanel.reorient("mirrorHorizontal") }
    function mirrorVertical() { tuningPanel.reorient("mirrorVertical") }
    function copyAdjustments() { canvasView.copyAdjustments() }
    function pasteAdjustments() { canvasView.pasteAdjustments() }
    function createPreset() { canvasView.createPreset() }
    // The tone values and the geometry go back to the picture's own.
    function revertToOriginal() {
        if (imageEditor.captureKnown)
            imageEditor.properties.revertToOriginal()
    }
    function resetAdjustments() { canvasView.resetAdjustments() }
    function zoomIn() { imageEditor.zoomIn() }
    function zoomOut() { imageEditor.zoomOut() }
    function zoomMinimum() { imageEditor.zoomLogLevel = imageEditor.minZoomLogLevel }
    function zoomMaximum() { imageEditor.zoomLogLevel = imageEditor.maxZoomLogLevel }
    function fitInWindow() { imageEditor.fitInView() }
    function centerInWindow() { imageEditor.center() }
    function toggleExif() { tuningPanel.showInfo = !tuningPanel.showInfo }
    function toggleFilmstrip() { filmstripToggle.checked = !filmstripToggle.checked }
    function leave() {
        imageEditor.serializeCurrentFile()
        root.closed()
    }

    // The filmstrip row of a location; -1 when the session does not hold it.
    function rowOf(location) {
        if (!gallery)
            return -1
        for (var row = 0; row < gallery.grossCount; ++row) {
            if (gallery.urlAt(row).toString() === location)
                return row
        }
        return -1
    }
    readonly property int currentRow: gallery ? (gallery.grossCount, rowOf(location)) : -1

    // Opens the picture of a filmstrip row (clamped to the strip).
    function openRow(row) {
        if (!gallery || gallery.grossCount === 0)
            return
        row = Math.max(0, Math.min(gallery.grossCount - 1, row))
        if (row === currentRow)
            return
        imageEditor.serializeCurrentFile()
        location = gallery.urlAt(row).toString()
        filmstrip.positionViewAtIndex(row, ListView.Contain)
    }

    // Asks before the open picture goes to the recycle bin.
    function confirmDelete() {
        if (imageEditor.location !== "")
            deleteDialog.open()
    }

    // Leaves the picture first (so that nothing holds it), then recycles it. The trash
    // answers later: the page closes once it has, when no picture is left to show.
    function deleteCurrent() {
        var doomed = root.location
        var row = currentRow
        var count = gallery ? gallery.grossCount : 0
        if (count > 1)
            openRow(row + 1 < count ? row + 1 : row - 1)
        else
            location = ""
        recycleBin.recycleImage(doomed)
    }

    // The page's keys, whichever of its controls was clicked last. Escape leaves the tool
    // chosen, then the page (the canvas does the same when it has the keys).
    Keys.onPressed: {
        if (event.key === Qt.Key_Escape) {
            if (imageEditor.editorMode !== ImageEdit.None)
                imageEditor.editorMode = ImageEdit.None
            else
                leave()
        } else if (event.key === Qt.Key_Delete || event.key === Qt.Key_Backspace) {
            confirmDelete()
        } else if (event.key === Qt.Key_PageUp || event.key === Qt.Key_Left) {
            openRow(currentRow - 1)
        } else if (event.key === Qt.Key_PageDown || event.key === Qt.Key_Right) {
            openRow(currentRow + 1)
        } else if (event.matches(StandardKey.MoveToStartOfLine) || event.key === Qt.Key_Home) {
            openRow(0)
        } else if (event.matches(StandardKey.MoveToEndOfLine) || event.key === Qt.Key_End) {
            openRow(gallery ? gallery.grossCount - 1 : 0)
        } else {
            return
        }
        event.accepted = true
    }

    RecycleBin {
        id: recycleBin
        objectName: "recycleBin"
        filePerm: root.locator.filePerm
        imageService: root.locator
        // Where imports put the pictures' low-resolution copies.
        lowResFolder: AppSettings ? AppSettings.lowResSubFolder : ""
        onRecycled: {
            if (!ok) {
                var doomed = url.toString()
                root.notify(qsTr("Can't delete") + " " + decodeURIComponent(doomed.substring(doomed.lastIndexOf("/") + 1)))
            }
            if (root.location === "" && pending === 0)
                root.closed()
        }
    }

    Dialog {
        id: deleteDialog
        objectName: "deleteDialog"
        parent: Overlay.overlay
        anchors.centerIn: parent
        modal: true
        width: 440
        title: qsTr("Delete this image?")
        Label {
            objectName: "deleteText"
            width: parent.width
            wrapMode: Text.Wrap
            // The picture is on this computer: it goes to the trash, not away for good.
            text: qsTr("%1 will be moved to the trash with its edits, where it can be restored.")
                  .arg(Utils.fileNameFromUrl(root.location))
        }
        footer: DialogButtonBox {
            Button {
                text: qsTr("cancel")
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            Button {
                objectName: "deleteAction"
                text: qsTr("delete")
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            }
        }
        // Return deletes.
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: deleteDialog.opened
            onActivated: deleteDialog.accept()
        }
        onAccepted: root.deleteCurrent()
    }

    DialogExport {
        id: exportDialog
        locator: root.locator
        folder: root.exportFolder
        volumes: root.volumes
    }

    C1.SplitView {
        Layout.fillWidth: true
        Layout.fillHeight: true
        orientation: Qt.Horizontal
        handleDelegate: Rectangle {
            width: 6
            color: "#181818"
            Image {
                anchors.centerIn: parent
                source: "qrc:/controls/images/split_handle.png"
            }
        }

        // A plain flickable, as on the right: a scroll view would take the arrow keys of
        // a button clicked in it, and the filmstrip keys would stop working.
        Rectangle {
            objectName: "toolbarPane"
            width: 240
            Layout.minimumWidth: 180
            color: "#262626"
            Flickable {
                id: toolbarFlicker
                anchors.fill: parent
                contentHeight: toolbar.implicitHeight
                boundsBehavior: Flickable.StopAtBounds
                clip: true
                ScrollBar.vertical: ScrollBar {}
                ViewToolbar {
                    id: toolbar
                    width: 232
                    imageEditor: root.imageEditor
                    geometryEdits: root.imageEditor.geometryEdits
                    matchTool: matchToolSelect.currentIndex
                    onNotify: root.notify(text)
                    onCreatePreset: root.createPreset()
                }
            }
        }

        Item {
            id: imgEditCanvas
            Layout.fillWidth: true
            Layout.minimumWidth: 200

            Rectangle {
                anchors.fill: parent
                color: "#202020"
            }

            ViewCanvas {
                id: canvasView
                anchors.fill: parent
                focus: true
                showTools: false
                locator: root.locator
                location: root.location
                copiedAdjustments: root.copiedAdjustments
                onClosed: root.leave()
                onAdjustmentsCopied: root.adjustmentsCopied(patch)
            }

            Connections {
                target: root.imageEditor
                function onDepthEditingError() { shake.restart() }
                function onGrabbedMouseMoved(x, y, inside) {
                    brush.centerX = x
                    brush.centerY = y
                    brush.visible = inside && root.imageEditor.hasBrush
                }
                function onEditorModeChanged() {
                    if (root.imageEditor.editorMode === ImageEdit.Refocus) {
                        root.notify(qsTr("Choose a focus point in the unshaded area. Shaded regions cannot be adjusted."))
                        if (AppSettings && AppSettings.displayNow(AppSettings.FTU_DepthEffect))
                            toolbar.openTutorial("depthEffect")
                    }
                }
            }

            Brush {
                id: brush
                objectName: "brush"
                visible: false
                brushRadius: root.imageEditor.brushRadius
            }

            // The shake: a decaying sine on the canvas's offset.
            property real shakeTime: 0
            onShakeTimeChanged: root.imageEditor.anomaly
                                = shakeTime >= 1 ? 0 : root.amplitude * (1 - shakeTime) * Math.sin(shakeTime * 6 * Math.PI)
            NumberAnimation {
                id: shake
                target: imgEditCanvas
                property: "shakeTime"
                from: 0
                to: 1
                duration: 450
            }

            ProgressBar {
                objectName: "renderProgress"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                height: 3
                from: 0
                to: 1
                value: root.imageEditor.renderProgress.value
                visible: root.imageEditor.renderProgress.active
            }

            // The floating depth tool bar of the depth editing modes.
            Rectangle {
                id: depthToolsDialog
                objectName: "depthToolsDialog"
                visible: root.imageEditor.hasPanel
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.top: parent.top
                anchors.topMargin: 12
                width: depthRow.implicitWidth + 16
                height: depthRow.implicitHeight + 8
                radius: 6
                color: "#e02b2b2b"
                RowLayout {
                    id: depthRow
                    anchors.centerIn: parent
                    spacing: 6
                    ComboBox {
                        id: matchToolSelect
                        objectName: "matchToolSelect"
                        visible: root.imageEditor.editorMode === ImageEdit.DepthEditingLasso
                                 || root.imageEditor.editorMode === ImageEdit.DepthEditingQuickSelect
                        model: [qsTr("lasso"), qsTr("free lasso"), qsTr("quick select")]
                        onActivated: {
                            var editor = root.imageEditor
                            editor.editorMode = index === 2 ? ImageEdit.DepthEditingQuickSelect : ImageEdit.DepthEditingLasso
                            editor.renderMode = index === 2 ? ImageEdit.QuickSelect : ImageEdit.Normal
                            editor.pickerMode = index === 0 ? ImageEdit.Segmented : ImageEdit.Trajectory
                        }
                    }
                    ToolButton {
                        id: quickSelectAdd
                        objectName: "quickSelectAdd"
                        visible: root.imageEditor.editorMode === ImageEdit.DepthEditingQuickSelect
                        icon.source: "qrc:/controls/images/selectionAdd_active.png"
                        icon.color: "transparent"
                        checkable: true
                        checked: root.imageEditor.quickAdd
                        onClicked: root.imageEditor.quickAdd = true
                    }
                    ToolButton {
                        id: quickSelectSub
                        objectName: "quickSelectSub"
                        visible: quickSelectAdd.visible
                        icon.source: "qrc:/controls/images/selectionSubtract_active.png"
                        icon.color: "transparent"
                        checkable: true
                        checked: !root.imageEditor.quickAdd
                        onClicked: root.imageEditor.quickAdd = false
                    }
                    Label {
                        visible: root.imageEditor.editorMode === ImageEdit.DepthEditingEdgeHeal
                        text: qsTr("refine edge")
                        color: "white"
                    }
                    Label {
                        visible: root.imageEditor.editorMode === ImageEdit.DepthEditingSurfHeal
                        text: qsTr("blend area")
                        color: "white"
                    }
                    Button {
                        id: sizeButton
                        objectName: "brushSizeButton"
                        text: (root.imageEditor.hasLasso ? qsTr("feathering") : qsTr("size")) + qsTr(":") + " "
                              + Math.round(root.imageEditor.brushSize)
                        onClicked: sizePopup.open()
                        Popup {
                            id: sizePopup
                            y: sizeButton.height + 4
                            ColumnLayout {
                                Label {
                                    text: qsTr("brush radius")
                                }
                                OstraSlider {
                                    id: brushSlider
                                    objectName: "brushSlider"
                                    from: root.imageEditor.minBrushSize
                                    to: root.imageEditor.maxBrushSize
                                    onMoved: root.imageEditor.brushSize = value
                                    Binding on value {
                                        value: root.imageEditor.brushSize
                                    }
                                    onActiveFocusChanged: console.debug("Brush size has active focus:", activeFocus)
                                }
                            }
                        }
                    }
                    RoundButton {
                        text: qsTr("ok")
                        onClicked: root.imageEditor.editorMode = ImageEdit.None
                    }
                    RoundButton {
                        objectName: "selectDepth"
                        visible: root.imageEditor.editorMode !== ImageEdit.DepthEditingEdgeHeal
                                 && root.imageEditor.editorMode !== ImageEdit.DepthEditingSurfHeal
                        icon.source: "qrc:/controls/images/eyeDropper.png"
                        icon.color: "transparent"
                        checkable: true
                        checked: root.imageEditor.pickerMode === ImageEdit.Reference
                        ToolTip.visible: hovered
                        ToolTip.text: qsTr("select depth")
                        onClicked: root.imageEditor.pickerMode = ImageEdit.Reference
                    }
                    RoundButton {
                        text: qsTr("reset")
                        onClicked: root.imageEditor.resetDepthEdit()
                    }
                    RoundButton {
                        objectName: "applyDepth"
                        text: qsTr("apply")
                        enabled: root.imageEditor.hasClosedEditArea && root.imageEditor.hasReferencePoint
                        onClicked: root.imageEditor.applyDepthEdit()
                    }
                    RoundButton {
                        icon.source: "qrc:/controls/images/help.png"
                        icon.color: "transparent"
                        onClicked: toolbar.openTutorial(
                                       root.imageEditor.editorMode === ImageEdit.DepthEditingEdgeHeal ? "refineEdge"
                                     : root.imageEditor.editorMode === ImageEdit.DepthEditingSurfHeal ? "blendArea"
                                     : "matchDepth")
                    }
                }
            }

            // How far the picture is processed, with what that means.
            Image {
                id: quality
                objectName: "imageQuality"
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                anchors.margins: 10
                readonly property bool processing: root.imageEditor.imageQuality === ImageEditItem.Loading
                source: processing ? "qrc:/images/StatusBar/ImageQualityProcessing.png"
                                   : "qrc:/images/StatusBar/ImageQualityGood.svg"
                sourceSize: Qt.size(24, 24)
                RotationAnimation on rotation {
                    running: quality.processing
                    loops: Animation.Infinite
                    from: 0
                    to: 360
                    duration: 1200
                    onStopped: quality.rotation = 0
                }
                HoverHandler {
                    id: qualityHover
                }
                ToolTip.visible: qualityHover.hovered
                ToolTip.text: [qsTr("We process your photos real-time to maximize speed."), " ",
                    qsTr("You may notice that the image will become sharper as you zoom in."),
                    qsTr("That’s because we process super-resolution (using all 10+ cameras) as your resolution increases."),
                    qsTr("Exported images will always use the full available resolution.")].join("\n")
            }

            DropArea {
                anchors.fill: parent
                onDropped: {
                    if (drop.hasUrls) {
                        drop.accept(Qt.CopyAction)
                        root.filesDropped(drop.urls)
                    }
                }
            }
        }

        Rectangle {
            width: 280
            Layout.minimumWidth: 200
            color: "#262626"
            Flickable {
                id: tuningPanelFlicker
                objectName: "tuningPanelFlicker"
                anchors.fill: parent
                contentHeight: tuningPanel.implicitHeight
                clip: true
                ScrollBar.vertical: ScrollBar {}
                ViewTuningBar {
                    id: tuningPanel
                    width: tuningPanelFlicker.width - 8
                    imageEditor: root.imageEditor
                }
            }
        }
    }

    // The bottom bar: back, the picture's name, rating, adjustments, export and removal,
    // the filmstrip's toggle; the zoom slider on the right.
    ItemBottomBar {
        id: bottomBar
        Layout.fillWidth: true
        Layout.preferredHeight: implicitHeight
        minZoom: root.imageEditor.minZoomLogLevel
        maxZoom: root.imageEditor.maxZoomLogLevel
        zoom: root.imageEditor.zoomLogLevel
        defaultZoom: 0
        onZoomMoved: root.imageEditor.zoomLogLevel = zoom
        ToolButton {
            objectName: "backButton"
            icon.source: "qrc:/images/toolbar/transferBack.png"
            icon.color: "transparent"
            onClicked: root.leave()
        }
        // The picture's name takes the room the actions leave, shortened in its middle.
        Label {
            objectName: "editorFileName"
            Layout.fillWidth: true
            Layout.minimumWidth: 40
            text: root.imageEditor.fileName
            elide: Text.ElideMiddle
            color: StyleConstants.mainText
        }
        Row {
            objectName: "faveRating"
            Repeater {
                model: 5
                ToolButton {
                    required property int index
                    // Narrow: five of them share the bar with the actions and the zoom.
                    implicitWidth: 28
                    text: index < root.imageEditor.rating ? "\u2605" : "\u2606"
                    enabled: root.imageEditor.captureKnown
                    onClicked: root.imageEditor.rating = (root.imageEditor.rating === index + 1 ? 0 : index + 1)
                }
            }
        }
        ToolButton {
            objectName: "menuItemCopyAdjustments"
            text: qsTr("copy adjustments")
            enabled: root.imageEditor.captureKnown
            onClicked: root.copyAdjustments()
        }
        ToolButton {
            objectName: "menuItemPasteAdjustments"
            text: qsTr("paste adjustments")
            enabled: root.imageEditor.captureKnown && root.copiedAdjustments !== null
            onClicked: root.pasteAdjustments()
        }
        ToolButton {
            text: qsTr("presets")
            onClicked: canvasView.managePresets()
        }
        ToolButton {
            text: root.locator.exportProgress.active ? qsTr("cancel export") + " " + root.locator.exportProgress.percentage + "%"
                                                     : qsTr("export")
            enabled: root.imageEditor.captureKnown || root.locator.exportProgress.active
            onClicked: {
                if (root.locator.exportProgress.active) {
                    root.locator.cancelExport()
                    return
                }
                root.imageEditor.serializeCurrentFile()
                exportDialog.openFor([root.location], "")
            }
        }
        ToolButton {
            text: qsTr("remove")
            enabled: root.imageEditor.location !== ""
            onClicked: root.confirmDelete()
        }
        ToolButton {
            text: qsTr("fit")
            onClicked: root.fitInWindow()
        }
        CheckBox {
            id: filmstripToggle
            objectName: "filmstripToggle"
            checked: true
            visible: root.gallery !== null
            indicator: Image {
                anchors.verticalCenter: parent.verticalCenter
                source: "qrc:/controls/images/filmstrip_down_arrow.png"
                rotation: filmstripToggle.checked ? 0 : 180
            }
        }
    }

    Rectangle {
        id: filmstripFrame
        Layout.fillWidth: true
        Layout.preferredHeight: visible ? 96 : 0
        visible: root.gallery !== null && filmstripToggle.checked
        color: "#181818"
        ListView {
            id: filmstrip
            objectName: "filmstrip"
            anchors.fill: parent
            orientation: ListView.Horizontal
            clip: true
            spacing: 2
            model: root.gallery
            currentIndex: root.currentRow
            delegate: GalleryItem {
                required property int index
                required property var model
                width: 128
                height: filmstrip.height
                locator: root.locator
                location: model.filePath
                imageMatrix: model.matrix
                imageCrop: model.crop
                realWidth: model.realWidth
                realHeight: model.realHeight
                invalid: model.invalid
                incompatible: model.incompatible
                problem: model.problem || ""
                current: index === root.currentRow
                // Cells beyond the strip's visible part hold no textures.
                offscreen: x + width <= filmstrip.contentX || x >= filmstrip.contentX + filmstrip.width
                onClicked: root.openRow(index)
            }
        }
    }
}
