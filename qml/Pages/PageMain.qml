import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"
import "../Views"

// The main page: the gallery tab with its count, the recent sessions beside it, and the
// confirmation before the selection is deleted.
FocusScope {
    id: page

    required property ActiveSession gallery
    required property ImageLocator locator
    required property SessionLogger history
    readonly property alias galleryView: galleryView
    // The adjustments last copied in the editor (a patch document), pasted onto a selection.
    property var copiedAdjustments: null
    // The import: the connected cameras (one tab each), the pipeline their pictures go to and
    // the marks of pictures imported before.
    property QtObject devices: null
    property QtObject pipeline: null
    // The mounted volumes (Volumes), for the import and export destinations.
    property QtObject volumes: null
    property HasBeenModel beenModel: null
    readonly property bool galleryShown: tabs.currentIndex === 0

    signal openRequested(url location)
    // Camera files were queued for import; `showFiles`: open them once imported.
    signal importQueued(var files, bool showFiles)
    // A camera went away (unplugged, switched off) while its tab existed.
    signal deviceLost(string deviceId)

    // Select All on a camera's tab: its pictures are chosen; false on the gallery's tab.
    function selectAllImports() {
        var shown = galleryShown ? null : devicePages.itemAt(tabs.currentIndex - 1)
        if (!shown)
            return false
        shown.imagesView.selectAllCells()
        return true
    }

    // Asks before the selected pictures go to the trash.
    function confirmDelete() {
        var files = gallery.selectedFiles()
        if (files.length === 0)
            return
        deleteConfirmation.count = files.length
        deleteConfirmation.what = files.length === 1 ? Utils.fileNameFromUrl(files[0])
                                                     : Utils.countText(files.length, qsTr("picture"), qsTr("pictures"))
        deleteConfirmation.open()
    }

    function deleteSelected() {
        var files = gallery.selectedFiles()
        for (var i = 0; i < files.length; ++i)
            recycleBin.recycleImage(files[i])
    }

    RecycleBin {
        id: recycleBin
        filePerm: page.locator.filePerm
        imageService: page.locator
        // Where imports put the pictures' low-resolution copies.
        lowResFolder: AppSettings ? AppSettings.lowResSubFolder : ""
        // A picture that stayed (a file held or refused) stays in the gallery, and is named.
        onRecycled: {
            if (!ok) {
                var kept = url.toString()
                NotificationsManager.show(qsTr("Can't delete") + " "
                                          + decodeURIComponent(kept.substring(kept.lastIndexOf("/") + 1)))
            }
        }
    }

    // The common rating of the selection.
    Aggregator {
        id: selectionRating
        model: page.gallery
        selectionModel: page.gallery.selectionModel
        roleName: "rating"
    }

    Rectangle {
        anchors.fill: parent
        color: "#0E0E0E"
    }

    TabBar {
        id: tabs
        anchors.left: parent.left
        anchors.top: parent.top
        ItemTabButton {
            objectName: "galleryTab"
            text: qsTr("Gallery") + " (" + page.gallery.grossCount + ")"
        }
        Repeater {
            model: page.devices
            delegate: ItemTabButton {
                objectName: "deviceTab"
                required property string name
                text: name
            }
        }
        // A camera that goes takes its tab: the gallery is shown when it was the current one.
        onCountChanged: {
            if (currentIndex < 0 || currentIndex >= count)
                currentIndex = 0
        }
    }

    Repeater {
        id: devicePages
        model: page.devices
        delegate: Item {
            id: devicePage
            objectName: "devicePage"
            required property int index
            required property string deviceId
            readonly property alias imagesView: imagesView
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: tabs.bottom
            anchors.bottom: parent.bottom
            visible: tabs.currentIndex === index + 1

            CaptureModel {
                id: capture
                deviceLocator: page.devices
                pipeline: page.pipeline
                beenModel: page.beenModel
                sortField: "timestamp"
                Component.onCompleted: setDeviceId(devicePage.deviceId)
                onNotifyDeviceLost: page.deviceLost(devicePage.deviceId)
            }
            // The pictures or the videos, and the size of the pictures' cells.
            ItemBottomBar {
                id: importBar
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                z: 1
                minZoom: 80
                maxZoom: 400
                defaultZoom: 160
                zoomVisible: kinds.currentIndex === 0
                TabBar {
                    id: kinds
                    visible: capture.videosModel.videosExists
                    ItemTabButton {
                        compact: true
                        text: qsTr("pictures")
                    }
                    ItemTabButton {
                        objectName: "videosTab"
                        compact: true
                        text: qsTr("videos")
                    }
                }
            }
            ViewImportImages {
                id: imagesView
                anchors.fill: parent
                anchors.bottomMargin: importBar.height
                visible: kinds.currentIndex === 0 || !kinds.visible
                captureModel: capture
                devicesModel: page.devices
                volumes: page.volumes
                bottomBar: importBar
                beenModel: page.beenModel
                onImportQueued: page.importQueued(files, showFiles)
            }
            ViewImportVideos {
                objectName: "videosView"
                anchors.fill: parent
                anchors.bottomMargin: importBar.height
                visible: !imagesView.visible
                captureModel: capture
                volumes: page.volumes
                onPlayRequested: videoPlayer.open(path)
            }
        }
    }

    ViewVideoPlayer {
        id: videoPlayer
        objectName: "videoPlayer"
        anchors.fill: parent
        z: 2
    }

    // Room the window keeps at the right of the tab row for its own indicators.
    property real rightInset: 0

    // What the gallery's selection is; a camera's tab tells its own.
    Text {
        objectName: "selectionSummary"
        visible: page.galleryShown
        anchors.right: parent.right
        anchors.rightMargin: 10 + page.rightInset
        anchors.verticalCenter: tabs.verticalCenter
        color: "#9a9a9a"
        font.pixelSize: 12
        text: page.gallery.selectionSize === 0 ? ""
            : qsTr("%1 selected").arg(page.gallery.selectionSize)
                + (selectionRating.defined ? "  " + "\u2605".repeat(Number(selectionRating.value)) : "")
    }

    ListView {
        id: recent
        objectName: "recentSessions"
        anchors.left: parent.left
        visible: count > 0 && page.galleryShown
        anchors.top: tabs.bottom
        anchors.bottom: parent.bottom
        width: count > 0 ? 230 : 0
        clip: true
        spacing: 6
        // A plain array: a view takes no list of integers from C++ as its model (it showed
        // no row at all).
        model: page.history ? Array.prototype.slice.call(page.history.sessions) : []

        header: Text {
            width: recent.width
            padding: 8
            color: "#9a9a9a"
            font.pixelSize: 12
            text: qsTr("Recent sessions")
        }

        delegate: Rectangle {
            id: entry
            required property int modelData
            readonly property var session: page.history.session(modelData)
            width: recent.width - 8
            x: 4
            height: roots.implicitHeight + 12
            radius: 3
            color: entryArea.containsMouse ? "#2a2a2a" : "#1a1a1a"

            Column {
                id: roots
                x: 8
                y: 6
                width: parent.width - 16
                Repeater {
                    model: entry.session
                    // The folder on a line of its own (a long one shortened in its
                    // middle), then what of it was opened.
                    delegate: Column {
                        required property url folder
                        required property var fileNames
                        required property bool fixedList
                        required property bool recursive
                        width: roots.width
                        Text {
                            objectName: "recentRoot"
                            width: parent.width
                            elide: Text.ElideMiddle
                            color: "#dfdfdf"
                            font.pixelSize: 12
                            text: Utils.urlToFilePath(folder)
                        }
                        Text {
                            objectName: "recentKind"
                            width: parent.width
                            elide: Text.ElideRight
                            color: "#9a9a9a"
                            font.pixelSize: 11
                            text: fixedList ? Utils.countText(fileNames.length, qsTr("file"), qsTr("files"))
                                : recursive ? qsTr("folder and subfolders") : qsTr("folder")
                        }
                    }
                }
            }

            MouseArea {
                id: entryArea
                anchors.fill: parent
                hoverEnabled: true
                onClicked: page.history.activeId = entry.modelData
            }
        }
    }

    ViewMainGallery {
        id: galleryView
        visible: page.galleryShown
        anchors.left: recent.right
        anchors.right: parent.right
        anchors.top: tabs.bottom
        anchors.bottom: parent.bottom
        focus: true
        model: page.gallery
        locator: page.locator
        copiedAdjustments: page.copiedAdjustments
        volumes: page.volumes
        onOpenRequested: page.openRequested(location)
        onCloseRequested: page.history.close(folder, true)
        Keys.onDeletePressed: page.confirmDelete()
    }

    Dialog {
        id: deleteConfirmation
        objectName: "deleteConfirmation"
        // What goes: the picture's name, or how many pictures.
        property string what: ""
        property int count: 0
        anchors.centerIn: parent
        modal: true
        width: Math.min(480, page.width - 40)
        title: qsTr("Delete %1?").arg(Utils.countText(count, qsTr("picture"), qsTr("pictures")))
        standardButtons: Dialog.Yes | Dialog.No
        // The pictures are on this computer: they go to the trash, not away for good.
        Label {
            objectName: "deleteText"
            width: deleteConfirmation.availableWidth
            wrapMode: Text.Wrap
            text: deleteConfirmation.count === 1
                ? qsTr("%1 will be moved to the trash with its edits, where it can be restored.").arg(deleteConfirmation.what)
                : qsTr("%1 will be moved to the trash with their edits, where they can be restored.").arg(deleteConfirmation.what)
        }
        // Return answers yes.
        Shortcut {
            sequences: ["Return", "Enter"]
            enabled: deleteConfirmation.opened
            onActivated: deleteConfirmation.accept()
        }
        onAccepted: page.deleteSelected()
    }
}
