import QtQuick 2.15
import QtQuick.Controls 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../AppLayers"
import "../Utils"

// The gallery of the open session in nested sections (by day, rating or folder), each
// with its header and its pictures in justified rows. Click selects, Ctrl-click toggles,
// Shift-click extends; a double click or Enter asks for the current picture to be opened.
FocusScope {
    id: gallery

    // The gallery model and the image service that draws its cells.
    required property ActiveSession model
    required property ImageLocator locator
    property real baseRowHeight: 220
    // The listed pictures.
    property int count: 0
    readonly property int currentIndex: model && model.currentIndex.valid ? model.currentIndex.row : -1
    // Bumped on every selection change, so the cells read their state again.
    property int selectionTick: 0

    // Adjustments copied in the editor (a patch document), pasted onto the selection;
    // null until something is copied.
    property var copiedAdjustments: null
    // Where exports go unless the user chooses another folder.
    property url exportFolder
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    readonly property bool canPaste: copiedAdjustments !== null && model !== null && model.selectionSize > 0

    signal openRequested(url location)
    signal closeRequested(url folder)

    // QItemSelectionModel flags.
    readonly property int selectFlag: 0x0002
    readonly property int deselectFlag: 0x0004
    readonly property int toggleFlag: 0x0008
    readonly property int clearAndSelectFlag: 0x0003

    function openCurrent() {
        var location = model.urlAt(currentIndex)
        // A file that cannot be shown is not opened either; its cell says why.
        if (currentIndex >= 0 && location.toString() !== "" && !model.valueAt(currentIndex, "invalid"))
            gallery.openRequested(location)
    }

    function moveCurrent(step) {
        var row = Math.max(0, Math.min(count - 1, currentIndex < 0 ? 0 : currentIndex + step))
        if (row >= 0 && row < count)
            model.currentIndex = model.index(row, 0)
    }

    function clickRow(row, modifiers) {
        var index = model.index(row, 0)
        if (modifiers & Qt.ShiftModifier) {
            model.shiftIndex = index
            return
        }
        model.selectionModel.select(index, (modifiers & Qt.ControlModifier) ? toggleFlag : clearAndSelectFlag)
        model.currentIndex = index
        collection.forceActiveFocus()
    }

    function titleFor(path) {
        if (!path || path.length === 0)
            return ""
        var field = model.sortField
        if (field === "timestamp") {
            if (path.length === 1)
                return String(path[0])
            if (path.length === 2)
                return Qt.locale().standaloneMonthName(path[1] - 1) + " " + path[0]
            return new Date(path[0], path[1] - 1, path[2]).toLocaleDateString(Qt.locale(), Locale.LongFormat)
        }
        if (field === "rating")
            return qsTr("Rating")
        if (field === "filePath")
            return path.length > 1 ? path.join("/") : "/"
        return qsTr("All pictures")
    }

    function exportSelection() {
        var files = model.selectedFiles()
        if (files.length === 0 && currentIndex >= 0)
            files = [model.urlAt(currentIndex)]
        if (files.length === 0)
            return
        exportDialog.openFor(files, files.length === 1 ? "" : qsTr("%1 pictures").arg(files.length))
    }

    // The service copies the patch at once; the object made here goes right after. False
    // when nothing was started (then said at once).
    function pasteAdjustments() {
        if (!canPaste)
            return false
        var patch = patchMaker.createObject(gallery)
        var started = patch.loadPatch(copiedAdjustments) && patch.hasPatch()
                      && locator.applyProperties(model.selectedFiles(), patch, true)
        patch.destroy()
        if (!started)
            NotificationsManager.show(qsTr("No settings were applied."))
        return started
    }

    // A tuning preset applied to the selected pictures; said once the batch has ended.
    function applyPreset(preset) {
        var files = model.selectedFiles()
        if (files.length === 0)
            return
        // Set before the batch starts: a short batch may end before applyProperties returns.
        batchNote = files.length === 1 ? qsTr("Preset was applied to") + " " + Utils.fileNameFromUrl(files[0])
                                       : qsTr("Applying preset completed!")
        if (!preset.hasPatch() || !locator.applyProperties(files, preset, true)) {
            batchNote = ""
            NotificationsManager.show(qsTr("No settings were applied."))
        }
    }
    property string batchNote: ""
    Connections {
        target: gallery.locator ? gallery.locator.patchProgressHandler : null
        function onInProgressChanged() {
            if (!gallery.locator.patchProgressHandler.isInProgress && gallery.batchNote !== "") {
                NotificationsManager.show(Utils.batchNote(gallery.batchNote, gallery.locator.patchFailures()))
                gallery.batchNote = ""
            }
        }
    }

    Component {
        id: patchMaker
        ImageProperties {}
    }

    // The bulk undo and its dismissal cannot be taken back: both ask first.
    function undoPaste() {
        if (locator.patchUndoCount > 0)
            confirmUndo.open()
    }
    function dismissUndo() {
        if (locator.patchUndoCount > 0)
            confirmDismiss.open()
    }
    DialogNotice {
        id: confirmUndo
        objectName: "confirmUndo"
        heading: qsTr("Confirm undo?")
        message: qsTr("You won't be able to undo this operation. Do you want to proceed?")
        rejectText: qsTr("Cancel")
        acceptText: qsTr("Undo")
        onAccepted: gallery.locator.undoPatch()
    }
    DialogNotice {
        id: confirmDismiss
        objectName: "confirmDismiss"
        heading: qsTr("Confirm dismiss?")
        message: qsTr("You won't be able to bulk undo the bulk edits if you dismiss. Do you want to dismiss?")
        rejectText: qsTr("Cancel")
        acceptText: qsTr("Dismiss")
        onAccepted: gallery.locator.clearPatchUndoStack()
    }

    // Home and End: the first or the last picture becomes the current one, in view;
    // PageUp and PageDown scroll by a screen.
    function navigationKey(event) {
        var c = collection
        if (event.key === Qt.Key_Home) {
            if (count > 0)
                model.currentIndex = model.index(0, 0)
            c.scrollToStart()
        } else if (event.key === Qt.Key_End) {
            if (count > 0)
                model.currentIndex = model.index(count - 1, 0)
            c.scrollToEnd()
        } else if (event.key === Qt.Key_PageDown) {
            c.keepAtEnd = false
            c.contentY = Math.min(Math.max(0, c.contentHeight - c.height), c.contentY + c.height * 0.9)
        } else if (event.key === Qt.Key_PageUp) {
            c.keepAtEnd = false
            c.contentY = Math.max(0, c.contentY - c.height * 0.9)
        } else {
            return
        }
        event.accepted = true
    }

    function recount() {
        count = model ? model.rowCount() : 0
    }

    Component.onCompleted: recount()

    Connections {
        target: gallery.model
        function onRowsInserted() { gallery.recount() }
        function onRowsRemoved() { gallery.recount() }
        function onModelReset() { gallery.recount() }
        function onLayoutChanged() { gallery.recount() }
    }
    Connections {
        target: gallery.model ? gallery.model.selectionModel : null
        function onSelectionChanged() { gallery.selectionTick++ }
    }

    Rectangle {
        anchors.fill: parent
        color: "#0E0E0E"
    }

    ProgressBar {
        id: progress
        objectName: "indexProgress"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        height: visible ? 4 : 0
        visible: gallery.model && gallery.model.indexProgress.value < 1 && gallery.model.grossCount > 0
        value: gallery.model ? gallery.model.indexProgress.value : 0
    }

    // How the pictures are grouped and ordered.
    Row {
        id: sortBar
        anchors.right: parent.right
        anchors.rightMargin: 8
        anchors.top: progress.bottom
        anchors.topMargin: 4
        height: 26
        spacing: 4
        Text {
            anchors.verticalCenter: parent.verticalCenter
            color: "#9a9a9a"
            font.pixelSize: 12
            text: qsTr("Sort by")
        }
        Repeater {
            model: [
                { field: "timestamp", label: qsTr("Date") },
                { field: "rating", label: qsTr("Rating") },
                { field: "filePath", label: qsTr("Folder") }
            ]
            SectionButton {
                required property var modelData
                objectName: "sortBy_" + modelData.field
                text: modelData.label
                color: gallery.model.sortField === modelData.field ? "#3d5a66" : "#262626"
                onClicked: gallery.model.sortField = modelData.field
            }
        }
    }

    // The folders and files open in the session (its rows), and whether a folder among
    // them is open without its subfolders.
    readonly property QtObject session: model ? model.source : null
    Instantiator {
        id: openRoots
        model: gallery.session
        delegate: QtObject {
            required property url folder
            required property var fileNames
            required property bool recursive
            required property bool fixedList
            readonly property bool flatFolder: !recursive && !fixedList
        }
    }
    // Whether the folders open that show nothing are gone from the disk (moved, renamed,
    // unplugged), asked off the GUI thread once they are read: the questions awaited, and
    // how many of the folders asked about were not found.
    property var folderQuestions: []
    property int foldersAsked: 0
    property int foldersMissing: 0
    readonly property bool foldersGone: foldersAsked > 0 && foldersMissing === foldersAsked
    readonly property bool foldersChecked: foldersAsked === folderQuestions.length
    function checkFolders() {
        folderQuestions = []
        foldersAsked = 0
        foldersMissing = 0
        if (!emptyHint.visible || !emptyHint.opened || emptyHint.reading)
            return
        var questions = []
        for (var i = 0; i < openRoots.count; ++i) {
            var root = openRoots.objectAt(i)
            if (!root)
                continue
            // Files opened by name (or a folder missing when it was opened): their names.
            if (root.fixedList) {
                var names = Array.prototype.slice.call(root.fileNames || [])
                if (names.length > 0)
                    questions.push(Utils.askFilesExist(Utils.urlToFilePath(root.folder), names))
                continue
            }
            var path = Utils.urlToFilePath(root.folder).replace(/\/+$/, "")
            var cut = path.lastIndexOf("/")
            if (cut < 0 || cut === path.length - 1)
                continue
            questions.push(Utils.askFilesExist(cut === 0 ? "/" : path.substring(0, cut), [path.substring(cut + 1)]))
        }
        folderQuestions = questions
    }
    Connections {
        target: Utils
        function onFilesExistKnown(question, existing) {
            if (gallery.folderQuestions.indexOf(question) < 0)
                return
            gallery.foldersAsked++
            if (existing.length === 0)
                gallery.foldersMissing++
        }
    }
    readonly property bool hasFlatFolder: {
        for (var i = 0; i < openRoots.count; ++i) {
            var root = openRoots.objectAt(i)
            if (root && root.flatFolder)
                return true
        }
        return false
    }

    // An empty gallery says how pictures come in; one with folders open that hold no
    // pictures says so (and where their subfolders' pictures are), once they are read.
    Column {
        id: emptyHint
        objectName: "emptyHint"
        anchors.centerIn: parent
        width: Math.min(parent.width - 40, 460)
        spacing: 10
        visible: gallery.count === 0 && (!gallery.model || gallery.model.grossCount === 0)
        readonly property bool opened: openRoots.count > 0
        readonly property bool reading: gallery.session !== null && gallery.session.reading
        onVisibleChanged: gallery.checkFolders()
        onOpenedChanged: gallery.checkFolders()
        onReadingChanged: gallery.checkFolders()
        Text {
            objectName: "emptyTitle"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            color: "#dfdfdf"
            font.pixelSize: 18
            text: !parent.opened ? qsTr("No pictures open")
                : parent.reading ? qsTr("Looking for pictures...")
                : gallery.foldersGone ? qsTr("Not found")
                : qsTr("No pictures here")
        }
        Text {
            objectName: "emptyText"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            color: "#9a9a9a"
            font.pixelSize: 13
            visible: text !== ""
            text: !parent.opened
                ? qsTr("Open pictures with File > Open files... (Ctrl+O) or a whole folder with File > Open folder... (Shift+Ctrl+O), or drop them on this window.")
                : parent.reading || !gallery.foldersChecked ? ""
                : gallery.foldersGone
                ? qsTr("What is open is not there any more: moved, renamed, or on a drive that was unplugged. Open it again from where it is now, or plug its drive in again.")
                : gallery.hasFlatFolder
                ? qsTr("The folder open holds no pictures of its own. The pictures of its subfolders are shown when \"Open every image in the folder and its subfolders\" is on in File > Preferences (Ctrl+,) and the folder is opened again.")
                : qsTr("The folder open holds no pictures. Open another with File > Open folder... (Shift+Ctrl+O).")
        }
    }

    FairCollection {
        id: collection
        objectName: "galleryCollection"
        anchors.fill: parent
        anchors.topMargin: progress.height + sortBar.height + 8
        anchors.leftMargin: 4
        anchors.rightMargin: 4
        focus: true

        Keys.onReturnPressed: gallery.openCurrent()
        Keys.onPressed: {
            if (!(event.modifiers & Qt.ControlModifier)) {
                gallery.navigationKey(event)
                return
            }
            if (event.key === Qt.Key_E)
                gallery.exportSelection()
            else if (event.key === Qt.Key_V)
                gallery.pasteAdjustments()
            else if (event.key === Qt.Key_Z)
                gallery.undoPaste()
            else
                return
            event.accepted = true
        }
        Keys.onEnterPressed: gallery.openCurrent()
        Keys.onRightPressed: gallery.moveCurrent(1)
        Keys.onLeftPressed: gallery.moveCurrent(-1)

        Repeater {
            model: BranchFilter {
                id: branches
                filterField: "rangePath"
                sourceModel: gallery.model ? gallery.model.outlineModel : null
            }

            delegate: Column {
                id: sectionView
                required property var rangePath
                required property int itemsIncl
                required property int itemsExcl
                required property int innerExcl
                property bool flattened: false
                property bool collapsed: false

                width: collection.availableWidth
                spacing: 2

                SpineSection {
                    id: section
                    source: gallery.model
                    branch: sectionView.rangePath
                    flatten: sectionView.flattened
                }
                InvertibleModel {
                    id: mirror
                    sourceModel: section
                }

                SectionHeader {
                    width: parent.width
                    depth: gallery.model.sortField === "filePath" ? 1 : sectionView.rangePath.length
                    titleText: gallery.titleFor(sectionView.rangePath)
                    stars: gallery.model.sortField === "rating" ? Number(sectionView.rangePath[0]) : -1
                    ownItemCount: sectionView.flattened ? sectionView.itemsIncl : sectionView.itemsExcl
                    ownChildCount: sectionView.innerExcl
                    subtitleText: ownItemCount === 1 ? qsTr("1 picture") : ownItemCount > 1 ? qsTr("%1 pictures").arg(ownItemCount) : ""
                    flattened: sectionView.flattened
                    collapsed: sectionView.collapsed
                    closable: gallery.model.sortField === "filePath"
                    // Sections without pictures of their own only head their subsections: a
                    // day's month and year, but not the levels of a folder's path, which its
                    // own header names whole. A section whose pictures all went (closed, or
                    // handed over to another session) shows nothing.
                    visible: sectionView.itemsIncl > 0
                             && (ownItemCount > 0 || (ownChildCount > 0 && gallery.model.sortField !== "filePath"))
                    onSelectClicked: gallery.model.selectionModel.select(section.asItemSelection(), gallery.selectFlag)
                    onDeselectClicked: gallery.model.selectionModel.select(section.asItemSelection(), gallery.deselectFlag)
                    onFlattenClicked: {
                        sectionView.flattened = !sectionView.flattened
                        branches.flatten(sectionView.rangePath, sectionView.flattened)
                    }
                    onCollapseClicked: sectionView.collapsed = !sectionView.collapsed
                    onCloseClicked: gallery.closeRequested(Utils.fileUrl(sectionView.rangePath.join("/")))
                }

                FairSection {
                    id: body
                    width: parent.width
                    height: !visible ? 0 : implicitHeight
                    visible: !sectionView.collapsed && section.rangeSz > 0
                    model: mirror
                    baseRowHeight: gallery.baseRowHeight
                    spacing: 4
                    // Every section takes the height of its rows, laid out from the model
                    // alone; cells exist only for the rows within a screen of the visible
                    // area (none while collapsed).
                    viewTop: collection.contentY - collection.height - sectionView.y - y
                    viewBottom: visible ? collection.contentY + 2 * collection.height - sectionView.y - y : -1

                    delegate: GalleryItem {
                        id: cell
                        required property int index
                        required property var model
                        readonly property int row: section.sourceItemRow(body.first + index, section.rangeSz, section.baseRow, mirror.invert)

                        locator: gallery.locator
                        location: model.filePath
                        imageMatrix: model.matrix
                        imageCrop: model.crop
                        realWidth: model.realWidth
                        realHeight: model.realHeight
                        invalid: model.invalid
                        incompatible: model.incompatible
                        problem: model.problem || ""
                        rating: model.rating === undefined ? 0 : model.rating
                        current: gallery.currentIndex === row
                        selected: gallery.selectionTick >= 0
                            && gallery.model.selectionModel.isSelected(gallery.model.index(row, 0))
                        // Cells beyond the visible area hold no textures.
                        readonly property real cellTop: sectionView.y + body.y + y
                        offscreen: cellTop + height <= collection.contentY || cellTop >= collection.contentY + collection.height
                        onClicked: gallery.clickRow(row, modifiers)
                        onContextRequested: {
                            if (!gallery.model.selectionModel.isSelected(gallery.model.index(row, 0)))
                                gallery.clickRow(row, 0)
                            contextMenu.popup()
                        }
                        onDoubleClicked: {
                            gallery.model.currentIndex = gallery.model.index(row, 0)
                            if (!invalid)
                                gallery.openRequested(location)
                        }
                        onRated: gallery.locator.rate(location, stars)
                    }
                }
            }
        }
    }

    Menu {
        id: contextMenu
        objectName: "galleryMenu"
        // The grid takes its keys again.
        onClosed: collection.forceActiveFocus()
        MenuItem {
            objectName: "menuExport"
            text: qsTr("Export...")
            onTriggered: gallery.exportSelection()
        }
        MenuItem {
            objectName: "menuPaste"
            text: qsTr("Paste adjustments")
            enabled: gallery.canPaste
            onTriggered: gallery.pasteAdjustments()
        }
        MenuItem {
            objectName: "menuUndoPaste"
            text: qsTr("Undo paste")
            enabled: gallery.locator && gallery.locator.patchUndoCount > 0
            onTriggered: gallery.undoPaste()
        }
        MenuItem {
            objectName: "menuDismissUndo"
            text: qsTr("Dismiss bulk undo")
            enabled: gallery.locator && gallery.locator.patchUndoCount > 0
            onTriggered: gallery.dismissUndo()
        }
        Menu {
            id: presetMenu
            objectName: "menuApplyPreset"
            title: qsTr("Apply preset")
            enabled: gallery.model !== null && gallery.model.selectionSize > 0 && presetItems.count > 0
            Instantiator {
                id: presetItems
                model: AppSettings ? AppSettings.presets : []
                delegate: MenuItem {
                    required property var modelData
                    objectName: "applyPreset_" + modelData.name
                    text: modelData.name
                    onTriggered: gallery.applyPreset(modelData)
                }
                onObjectAdded: presetMenu.insertItem(index, object)
                onObjectRemoved: presetMenu.removeItem(object)
            }
        }
    }

    DialogExport {
        id: exportDialog
        locator: gallery.locator
        folder: gallery.exportFolder
        volumes: gallery.volumes
    }

    // The export under way: how far it has come, and a way to stop it.
    Rectangle {
        objectName: "exportStatus"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 12
        width: exportRow.implicitWidth + 24
        height: exportRow.implicitHeight + 16
        radius: 4
        color: "#181818"
        border.color: "#2B2B2B"
        visible: exportDialog.exporting
        z: 2
        Row {
            id: exportRow
            anchors.centerIn: parent
            spacing: 10
            Text {
                objectName: "exportStatusText"
                anchors.verticalCenter: parent.verticalCenter
                // A long folder is shortened in its middle rather than run past the window.
                width: Math.min(implicitWidth, gallery.width - 300)
                elide: Text.ElideMiddle
                color: "#dfdfdf"
                font.pixelSize: 12
                text: qsTr("Exporting %1 to %2: %3%").arg(gallery.exportCountText).arg(exportDialog.exportedTo)
                      .arg(gallery.locator ? gallery.locator.exportProgress.percentage : 0)
            }
            ProgressBar {
                anchors.verticalCenter: parent.verticalCenter
                width: 120
                from: 0
                to: 1
                value: gallery.locator ? gallery.locator.exportProgress.value : 0
            }
            Button {
                objectName: "cancelExport"
                anchors.verticalCenter: parent.verticalCenter
                text: qsTr("cancel")
                onClicked: exportDialog.cancelExport()
            }
        }
    }
    readonly property string exportCountText: Utils.countText(exportDialog.exportedCount, qsTr("picture"), qsTr("pictures"))

    // An export that failed: which file and why.
    Dialog {
        id: exportFailure
        objectName: "exportFailure"
        property string message: ""
        title: qsTr("Export failed")
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok
        width: Math.min(560, gallery.width - 40)
        Label {
            objectName: "exportFailureText"
            width: exportFailure.availableWidth
            wrapMode: Text.Wrap
            text: exportFailure.message
        }
        // Return takes the button.
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: exportFailure.opened
            onActivated: exportFailure.accept()
        }
    }
    Connections {
        target: gallery.locator
        function onExportFailed(path, reason) {
            var line = qsTr("%1 could not be written: %2").arg(path).arg(reason)
            exportFailure.message = exportFailure.visible ? exportFailure.message + "\n" + line : line
            exportFailure.open()
        }
    }
}
