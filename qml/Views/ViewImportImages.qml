import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../AppLayers"
import "../Items"
import "../Utils"

// A camera's pictures: what to import (automatic choices, clicks and Shift ranges), its
// presets, the import dialog, and eject. The logic is the capture model's.
ColumnLayout {
    id: view

    property CaptureModel captureModel: null
    property QtObject devicesModel: null
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    property HasBeenModel beenModel: null
    // The bar under the view: its zoom sets the height of the pictures' rows.
    property ItemBottomBar bottomBar: null
    // The items queued by "start import" ask to be opened once imported.
    signal importQueued(var files, bool showFiles)

    readonly property int selectedCount: captureModel ? captureModel.spaceEstimate.estimated : 0
    readonly property string selectionText: Utils.countText(selectedCount, qsTr("item selected"), qsTr("items selected"))
    // Once the device's first pictures are in: the new ones are chosen, or all when none is new.
    property bool selectNewOrAll: true
    readonly property string loadingState: captureModel ? captureModel.loadingState : "preloading"
    // Presets on the device that the presets folder lacks.
    property bool newPresets: false

    // The user's own choice: the first choice is no longer made for them.
    function userChose() {
        timerDeviceFound.done = true
        timerDeviceFound.stop()
    }
    function setSelectionAll() {
        userChose()
        selectAllButton.checked = true
        captureModel.selectAll()
    }
    function setSelectionNone() {
        userChose()
        selectNoneButton.checked = true
        captureModel.selectNone()
    }
    // The user chooses: no automatic choice is shown as taken.
    function setSelectionCustom() {
        userChose()
        if (selectionGroup.checkedButton)
            selectionGroup.checkedButton.checked = false
        captureModel.toManualMode()
    }
    function updatePresets() {
        newPresets = captureModel ? captureModel.hasNewPresets() : false
    }
    function importPresets() {
        if (!captureModel.isPipelineEmpty()) {
            NotificationsManager.show(qsTr("Presets cannot be synced while images are queued for import."))
            return
        }
        captureModel.syncPresets()
        NotificationsManager.show(qsTr("Presets have been imported!"))
    }
    function importFiles() {
        setSelectionCustom()
        captureDialog.labelStats = selectionText
        captureDialog.openFor(captureModel.spaceEstimate.elapsed)
    }
    // A click on a cell; with Shift the range from the last click.
    function clickCell(row, selected, shift) {
        setSelectionCustom()
        captureModel.selectManual(row, !selected, shift)
    }
    function selectAllCells() {
        if (captureModel.count === 0)
            return
        setSelectionCustom()
        // Anchored at the first cell without choosing it: a queued first picture is not refused.
        captureModel.selectManual(0, false, false)
        captureModel.selectManual(captureModel.count - 1, true, true)
    }

    spacing: 0
    Component.onCompleted: updatePresets()

    Connections {
        target: view.captureModel
        function onPresetFilenamesChanged() {
            view.updatePresets()
        }
        function onQueuedNotSelected(range) {
            NotificationsManager.show(range
                ? qsTr("Some images weren't selected: cannot select queued images for import or removing.")
                : qsTr("Image is queued: cannot be selected for import or removing."))
        }
        function onDeviceFound() {
            timerDeviceFound.restart()
        }
        function onCountChanged() {
            if (view.captureModel.count > 0 && !timerDeviceFound.done)
                timerDeviceFound.restart()
        }
    }
    Binding {
        target: view.bottomBar
        when: view.bottomBar !== null && AppSettings !== null
        property: "zoom"
        value: AppSettings ? AppSettings.captureCellSize : 160
    }
    Connections {
        target: view.bottomBar
        function onZoomMoved(zoom) {
            AppSettings.captureCellSize = Math.round(zoom)
        }
    }
    Connections {
        target: AppSettings
        function onPresetsChanged() {
            view.updatePresets()
        }
    }

    // Waits for the device's first pictures to settle, then makes the first choice.
    Timer {
        id: timerDeviceFound
        property bool done: false
        interval: 300
        onTriggered: {
            if (done || !view.captureModel || view.captureModel.count === 0)
                return
            done = true
            if (!view.selectNewOrAll || view.captureModel.autoselect || view.selectedCount > 0)
                return
            if (view.captureModel.freshImagesCount > 0) {
                selectNewButton.checked = true
                view.captureModel.selectNew()
            } else {
                view.setSelectionAll()
            }
        }
    }

    Collar {
        Layout.fillWidth: true
        OstraTitle {
            Layout.fillWidth: true
            text: qsTr("Select items to import")
        }
        ItemLabel {
            objectName: "listingProgress"
            visible: view.loadingState === "loading" && view.captureModel && !view.captureModel.enumerated
            dim: true
            text: qsTr("listing, %1 objects found").arg(view.captureModel ? view.captureModel.deviceItemCount : 0)
        }
        ItemLabel {
            objectName: "ejectResult"
            readonly property string ejectState: view.captureModel ? view.captureModel.ejectState : ""
            visible: ejectState !== ""
            dim: ejectState !== "failed" && ejectState !== "busy"
            text: ejectState === "ejecting" ? qsTr("Ejecting…")
                : ejectState === "failed" ? qsTr("The camera could not be ejected. Close what uses it and try again.")
                : ejectState === "busy" ? qsTr("An import still copies from the camera. Eject it once the import has ended.")
                : qsTr("The camera can be unplugged now.")
        }
        ItemCircleButton {
            objectName: "ejectDevice"
            visible: view.captureModel && view.captureModel.canEject
            iconSource: "qrc:/controls/images/eject.png"
            toolTipText: qsTr("eject device")
            onClicked: view.captureModel.eject()
        }
        ItemRoundButton {
            objectName: "importPresets"
            text: qsTr("import presets")
            enabled: view.newPresets
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: view.newPresets ? qsTr("Copy your Z40 presets to Ostra.")
                                          : qsTr("There're no new presets on Z40.")
            onClicked: view.importPresets()
        }
        ItemRoundButton {
            objectName: "importFiles"
            primary: true
            text: qsTr("import files")
            enabled: view.selectedCount > 0
            onClicked: view.importFiles()
        }
    }

    Collar {
        Layout.fillWidth: true
        padding: 6
        ButtonGroup {
            id: selectionGroup
            exclusive: true
        }
        ItemRoundButton {
            id: selectAllButton
            objectName: "selectAll"
            checkable: true
            primary: checked
            ButtonGroup.group: selectionGroup
            text: qsTr("select all") + " (" + (view.captureModel ? view.captureModel.count : 0) + ")"
            onClicked: {
                view.userChose()
                view.captureModel.selectAll()
            }
        }
        ItemRoundButton {
            objectName: "selectRated"
            checkable: true
            primary: checked
            ButtonGroup.group: selectionGroup
            text: qsTr("select rated") + " (" + (view.captureModel ? view.captureModel.ratedImagesCount : 0) + ")"
            onClicked: {
                view.userChose()
                view.captureModel.selectRated()
            }
        }
        ItemRoundButton {
            id: selectNewButton
            objectName: "selectNew"
            checkable: true
            primary: checked
            ButtonGroup.group: selectionGroup
            text: qsTr("select new") + " (" + (view.captureModel ? view.captureModel.freshImagesCount : 0) + ")"
            onClicked: {
                view.userChose()
                view.captureModel.selectNew()
            }
        }
        ItemRoundButton {
            id: selectNoneButton
            objectName: "selectNone"
            checkable: true
            primary: checked
            ButtonGroup.group: selectionGroup
            text: qsTr("select none")
            onClicked: {
                view.userChose()
                view.captureModel.selectNone()
            }
        }
        Item {
            Layout.fillWidth: true
        }
        ItemLabel {
            objectName: "selectionText"
            text: view.selectionText
        }
    }

    Item {
        Layout.fillWidth: true
        Layout.fillHeight: true

        Rectangle {
            anchors.fill: parent
            color: StyleConstants.imagesBackground
        }

        FairCollection {
            id: collection
            objectName: "importCollection"
            anchors.fill: parent
            anchors.margins: 4
            visible: view.loadingState !== "failed" && view.captureModel && view.captureModel.count > 0
            focus: true
            // Pictures keep arriving, sorted, while the camera is listed: what the user
            // looks at stays in place.
            holdView: true
            readonly property real rowBase: AppSettings ? AppSettings.captureCellSize : 160
            Keys.onPressed: {
                if (event.matches(StandardKey.SelectAll)) {
                    view.selectAllCells()
                    event.accepted = true
                }
            }

            FairSection {
                id: importSection
                width: collection.availableWidth
                model: view.captureModel
                // Cells for a screen above and below the visible part.
                viewTop: collection.contentY - collection.height
                viewBottom: collection.contentY + 2 * collection.height
                baseRowHeight: AppSettings ? AppSettings.captureCellSize : 160
                spacing: 4

                delegate: Item {
                    id: cell
                    objectName: "importCell"
                    required property int index
                    required property var model
                    readonly property bool selected: model.selected === true
                    readonly property bool queued: model.transferring === true
                    readonly property bool imported: model.transferred === true
                    readonly property bool hasBeen: been.hasBeen
                    clip: true

                    // The height the preview is decoded at: one of a few steps (about 1.4
                    // times apart), at least the cell's, and kept until the cell outgrows
                    // it or shrinks below its half. The small reflows while pictures
                    // arrive, and the pictures that move to other cells as they are
                    // sorted, find the preview decoded already.
                    property real decodedHeight: 0
                    onHeightChanged: {
                        if (height > 0 && (height > decodedHeight || height < decodedHeight / 2))
                            decodedHeight = Math.round(collection.rowBase * Math.pow(Math.SQRT2,
                                Math.ceil(2 * Math.log(height / collection.rowBase) / Math.LN2 - 0.01)))
                    }

                    // The model counts the new pictures from its rows; a cell only shows.
                    HasBeenInfo {
                        id: been
                        model: view.beenModel
                        imgUuid: cell.model.imageUUID
                    }

                    Image {
                        anchors.fill: parent
                        source: cell.model.location
                        autoTransform: true
                        asynchronous: true
                        fillMode: Image.PreserveAspectCrop
                        sourceSize.height: cell.decodedHeight
                        opacity: cell.queued ? 0.6 : 1.0
                    }
                    BorderImage {
                        anchors.fill: parent
                        visible: cell.selected
                        source: "qrc:/controls/images/shadow_select.png"
                        border { left: 3; top: 3; right: 3; bottom: 3 }
                    }
                    Rating {
                        anchors.left: parent.left
                        anchors.bottom: parent.bottom
                        anchors.margins: 6
                        rating: cell.model.rating || 0
                    }
                    StickyNote {
                        objectName: "stickyNote"
                        anchors.right: parent.right
                        anchors.top: parent.top
                        anchors.margins: 6
                        text: cell.imported ? qsTr("imported") : cell.queued ? qsTr("queued") : ""
                    }
                    // Imported before: a mark on a dark plate, read on any picture.
                    Rectangle {
                        objectName: "importedBefore"
                        anchors.right: parent.right
                        anchors.bottom: parent.bottom
                        anchors.margins: 6
                        visible: cell.hasBeen && !cell.imported
                        width: beenMark.implicitWidth + 8
                        height: beenMark.implicitHeight + 2
                        radius: 3
                        color: Qt.rgba(0, 0, 0, 0.85)
                        Text {
                            id: beenMark
                            anchors.centerIn: parent
                            text: "\u2713"
                            color: StyleConstants.mainButton
                            font.pixelSize: StyleConstants.fontSizeNormal
                        }
                    }
                    MouseArea {
                        anchors.fill: parent
                        onClicked: {
                            collection.forceActiveFocus()
                            view.clickCell(importSection.first + cell.index, cell.selected, (mouse.modifiers & Qt.ShiftModifier) !== 0)
                        }
                    }
                }
            }
        }

        ColumnLayout {
            objectName: "loadingIndicator"
            anchors.centerIn: parent
            visible: (view.loadingState === "loading" || view.loadingState === "preloading")
                && !collection.visible
            AnimatedImage {
                Layout.alignment: Qt.AlignHCenter
                source: "qrc:/images/DevicePage/AnimationLoading.gif"
                playing: parent.visible
            }
            OstraEmboss {
                Layout.alignment: Qt.AlignHCenter
                text: qsTr("Loading")
            }
        }
        OstraEmboss {
            objectName: "noFiles"
            anchors.centerIn: parent
            visible: view.loadingState === "loaded" && view.captureModel.count === 0
            text: qsTr("No Files Found")
        }
        ColumnLayout {
            objectName: "loadFailure"
            anchors.centerIn: parent
            width: Math.min(parent.width - 40, 560)
            visible: view.loadingState === "failed"
            OstraEmboss {
                Layout.fillWidth: true
                text: qsTr("Make sure your device is unlocked.")
            }
            ItemLabel {
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                dim: true
                text: qsTr("Try to unplug and plug in your device again, and make sure it is unlocked.")
            }
        }
    }

    // Files whose names another import (another camera) is writing into the folder.
    Connections {
        target: view.captureModel
        function onFilesNotQueued(count) {
            NotificationsManager.show(qsTr("%1 not imported: another import writes files of the same names into the folder.")
                                      .arg(Utils.countText(count, qsTr("file"), qsTr("files"))))
        }
    }

    DialogImport {
        id: captureDialog
        objectName: "captureDialog"
        model: view.captureModel
        volumes: view.volumes
        // What was queued cannot be chosen again.
        onDeselectAll: view.setSelectionNone()
        onImportSelected: {
            view.captureModel.importFolder = folder.url
            if (AppSettings)
                view.captureModel.lowResFolder = AppSettings.lowResSubFolder
            view.importQueued(view.captureModel.transfer(removeAfterward), showFiles)
        }
    }
}
