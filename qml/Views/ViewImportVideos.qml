import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../AppLayers"
import "../Items"
import "../Utils"

// A camera's videos: chosen all, rated or one by one, downloaded one after another into
// the video import folder; a file already there is skipped or overwritten as the user says.
ColumnLayout {
    id: view

    property CaptureModel captureModel: null
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    property VideosModel videos: captureModel ? captureModel.videosModel : null
    property string selectionText: ""
    property int selectedCount: 0
    property real selectedSize: 0
    property int ratedCount: 0
    readonly property ProgressHandler progressHandler: videos ? videos.downloadingHandler : null
    readonly property bool metadataLoaded: videos ? videos.metadataLoaded : false
    property bool invertSort: false
    property string sortByField: "timestamp"
    // The videos in the order shown, and the ones the user picked by hand (by name).
    property var entries: []
    property var picked: ({})
    // Opens a downloaded video.
    signal playRequested(string path)

    // A size as people read it ("12 KB", "1.5 GB").
    function megabytes(bytes) {
        return Utils.sizeText(bytes)
    }
    function isSelected(video) {
        if (!videos)
            return false
        switch (videos.autoSelectionType) {
        case VideosModel.All:
            return true
        case VideosModel.Rated:
            return video.rating > 0
        case VideosModel.Custom:
            return picked[video.name] === true
        }
        return false
    }
    function selectedNames() {
        var names = []
        for (var i = 0; i < entries.length; ++i)
            if (isSelected(entries[i]))
                names.push(entries[i].name)
        return names
    }
    function updateSelectionText() {
        var count = 0, size = 0, rated = 0
        for (var i = 0; i < entries.length; ++i) {
            if (entries[i].rating > 0)
                ++rated
            if (isSelected(entries[i])) {
                ++count
                size += entries[i].size
            }
        }
        selectedCount = count
        selectedSize = size
        ratedCount = rated
        selectionText = Utils.countText(count, qsTr("item selected"), qsTr("items selected")) + " (" + megabytes(size) + ")"
    }
    function selectAll() {
        videos.autoSelectionType = VideosModel.All
    }
    // One click: the current choice becomes the user's own, then the video flips.
    function toggle(video) {
        var now = {}
        for (var i = 0; i < entries.length; ++i)
            now[entries[i].name] = isSelected(entries[i])
        now[video.name] = !now[video.name]
        picked = now
        if (videos.autoSelectionType === VideosModel.Custom)
            updateSelectionText()
        else
            videos.autoSelectionType = VideosModel.Custom
    }
    function removeSelectedItems() {
        videos.removeVideos(selectedNames())
    }
    function sortKey(video) {
        if (sortByField === "rating")
            return video.rating
        if (sortByField === "size")
            return video.size
        if (sortByField === "name")
            return video.name.toLowerCase()
        return video.timestampCreated.getTime()
    }
    function sort() {
        var list = entries.slice()
        list.sort(function(a, b) {
            var ka = sortKey(a), kb = sortKey(b)
            var c = ka < kb ? -1 : ka > kb ? 1 : a.name < b.name ? -1 : a.name > b.name ? 1 : 0
            return invertSort ? -c : c
        })
        entries = list
        updateSelectionText()
    }
    function pushVideo(video) {
        if (entries.indexOf(video) >= 0)
            return
        var list = entries.slice()
        list.push(video)
        entries = list
        timerSortUpdate.restart()
    }
    function reload() {
        entries = videos ? videos.videos.slice() : []
        timerSortUpdate.restart()
    }

    // The names still to check against the folder, what is kept, and the answer that
    // holds for all.
    property var pendingNames: []
    property var chosenNames: []
    property string answerForAll: ""
    property bool removeAfterwardPending: false
    // The names of pendingNames the folder holds, and the question that reads them (off
    // the GUI thread; 0 when none is awaited).
    property var existingNames: []
    property int existingQuestion: 0
    // The video double-clicked, and the question whether the folder holds it.
    property string playName: ""
    property int playQuestion: 0
    function folderPath() {
        return AppSettings ? AppSettings.importVideoFolder : ""
    }
    // Reads which of the chosen names the folder holds, then goes through them.
    function resolveNames(names) {
        pendingNames = names
        existingNames = []
        existingQuestion = Utils.askFilesExist(folderPath(), names)
    }
    function play(name) {
        playName = name
        playQuestion = Utils.askFilesExist(folderPath(), [name])
    }
    function resolveNext() {
        while (pendingNames.length > 0) {
            var name = pendingNames[0]
            if (existingNames.indexOf(name) < 0 || answerForAll === "overwrite") {
                chosenNames.push(name)
            } else if (answerForAll !== "skip") {
                nameResolution.name = name
                nameResolution.folder = Utils.fileUrl(folderPath())
                nameResolution.open()
                return
            }
            pendingNames.shift()
        }
        if (chosenNames.length > 0)
            videos.importVideos(chosenNames, removeAfterwardPending)
        chosenNames = []
    }

    spacing: 0
    onSortByFieldChanged: timerSortUpdate.restart()
    onInvertSortChanged: timerSortUpdate.restart()
    onMetadataLoadedChanged: timerSortUpdate.restart()
    onVideosChanged: reload()

    Timer {
        id: timerSortUpdate
        interval: 100
        onTriggered: view.sort()
    }
    Connections {
        target: Utils
        function onFilesExistKnown(question, existing) {
            if (question === view.existingQuestion) {
                view.existingQuestion = 0
                view.existingNames = existing
                view.resolveNext()
            } else if (question === view.playQuestion) {
                view.playQuestion = 0
                if (existing.length > 0)
                    view.playRequested(view.folderPath() + "/" + view.playName)
                else
                    NotificationsManager.show(qsTr("%1 is still on the camera: import it first (\"import files\"), then it plays here.")
                                              .arg(view.playName))
            }
        }
    }
    Connections {
        target: view.videos
        function onVideoAdded(video) {
            view.pushVideo(video)
        }
        function onVideosChanged() {
            view.reload()
        }
        function onAutoSelectionTypeChanged() {
            view.updateSelectionText()
        }
        function onDownloadingFinished(name, error) {
            if (error === VideosModel.CannotWrite)
                NotificationsManager.show(qsTr("Cannot save ") + name + ". " + qsTr("Is chosen folder read-only?"))
            else if (error === VideosModel.NoDiskSpace)
                NotificationsManager.show(qsTr("There is no space left on chosen disk for ") + name + ".")
            else if (error === VideosModel.AnotherExists)
                NotificationsManager.show(name + " " + qsTr("was not saved: another video of that name came into the folder meanwhile. It stays on the camera."))
        }
    }

    Collar {
        Layout.fillWidth: true
        OstraTitle {
            Layout.fillWidth: true
            text: qsTr("Select items to import")
        }
        ItemRoundButton {
            objectName: "importVideos"
            primary: true
            text: qsTr("import files")
            enabled: view.selectedCount > 0
            onClicked: {
                dialogImport.folderPath = view.folderPath()
                dialogImport.labelStats = view.selectionText
                dialogImport.openFor(view.selectedSize)
            }
        }
    }
    Collar {
        Layout.fillWidth: true
        padding: 6
        ButtonGroup {
            id: selectionGroup
        }
        ItemRoundButton {
            objectName: "selectAllVideos"
            checkable: true
            primary: checked
            checked: view.videos && view.videos.autoSelectionType === VideosModel.All
            ButtonGroup.group: selectionGroup
            text: qsTr("select all") + " (" + view.entries.length + ")"
            onClicked: view.selectAll()
        }
        ItemRoundButton {
            checkable: true
            primary: checked
            checked: view.videos && view.videos.autoSelectionType === VideosModel.Rated
            ButtonGroup.group: selectionGroup
            text: qsTr("select rated") + " (" + view.ratedCount + ")"
            onClicked: view.videos.autoSelectionType = VideosModel.Rated
        }
        ItemRoundButton {
            checkable: true
            primary: checked
            checked: view.videos && view.videos.autoSelectionType === VideosModel.None
            ButtonGroup.group: selectionGroup
            text: qsTr("select none")
            onClicked: view.videos.autoSelectionType = VideosModel.None
        }
        Item {
            Layout.fillWidth: true
        }
        // The order of the sort, said in words beside its arrow.
        ItemRoundButton {
            objectName: "videoSortOrder"
            text: view.invertSort ? "\u2193 " + qsTr("descending") : "\u2191 " + qsTr("ascending")
            onClicked: view.invertSort = !view.invertSort
        }
        // What the videos are sorted by, in words (the fields are the view's own).
        ComboBox {
            objectName: "videoSort"
            readonly property var fields: ["timestamp", "rating", "name", "size"]
            model: [qsTr("date"), qsTr("rating"), qsTr("name"), qsTr("size")]
            currentIndex: Math.max(0, fields.indexOf(view.sortByField))
            onActivated: view.sortByField = fields[index]
        }
        ItemLabel {
            objectName: "videoSelectionText"
            text: view.selectionText
        }
    }
    ProgressBar {
        Layout.fillWidth: true
        visible: view.progressHandler && view.progressHandler.isInProgress
        from: 0
        to: view.progressHandler ? Math.max(1, view.progressHandler.maximumProgress) : 1
        value: view.progressHandler ? view.progressHandler.progress : 0
    }

    Flickable {
        Layout.fillWidth: true
        Layout.fillHeight: true
        contentHeight: flow.height + 8
        clip: true
        Flow {
            id: flow
            width: parent.width
            padding: 4
            spacing: 4
            Repeater {
                model: view.entries
                delegate: Rectangle {
                    id: cell
                    objectName: "videoCell"
                    required property var modelData
                    readonly property var video: modelData
                    readonly property bool selected: view.videos !== null && view.isSelected(video)
                    width: AppSettings ? AppSettings.captureVideoCellSize * 10 : 200
                    height: width * 9 / 16 + 44
                    color: StyleConstants.dialogAccent
                    border.width: selected ? 3 : 0
                    border.color: StyleConstants.mainButton
                    Image {
                        id: preview
                        x: 3
                        y: 3
                        width: parent.width - 6
                        height: width * 9 / 16
                        fillMode: Image.PreserveAspectCrop
                        asynchronous: true
                        source: cell.video.thumbnailPath !== "" ? Utils.fileUrl(cell.video.thumbnailPath)
                                                                : "qrc:/images/DevicePage/VideoDummy.png"
                    }
                    Rating {
                        anchors.left: preview.left
                        anchors.bottom: preview.bottom
                        anchors.margins: 4
                        rating: cell.video.rating
                    }
                    Text {
                        anchors.top: preview.bottom
                        anchors.left: preview.left
                        anchors.margins: 4
                        color: StyleConstants.mainText
                        font.pixelSize: StyleConstants.fontSizeSmall
                        text: Qt.formatDate(cell.video.timestampCreated, "MMM d, yyyy") + "  "
                            + Qt.formatTime(cell.video.timestampCreated, "hh:mm") + "\n"
                            + cell.video.duration + " s  " + view.megabytes(cell.video.size)
                    }
                    MouseArea {
                        anchors.fill: parent
                        onClicked: view.toggle(cell.video)
                        onDoubleClicked: view.play(cell.video.name)
                    }
                }
            }
        }
    }

    DialogImport {
        id: dialogImport
        objectName: "dialogImport"
        model: view.videos
        volumes: view.volumes
        onImportSelected: {
            if (AppSettings)
                AppSettings.importVideoFolder = folderPath.replace(/\\/g, "/")
            view.removeAfterwardPending = removeAfterward
            view.answerForAll = ""
            view.chosenNames = []
            view.resolveNames(view.selectedNames())
        }
    }
    DialogNameResolution {
        id: nameResolution
        objectName: "nameResolution"
        parent: Overlay.overlay
        onAccepted: {
            if (applyToAll)
                view.answerForAll = overwrite ? "overwrite" : "skip"
            if (overwrite)
                view.chosenNames.push(view.pendingNames[0])
            view.pendingNames.shift()
            view.resolveNext()
        }
        onRejected: {
            view.pendingNames = []
            view.chosenNames = []
        }
    }
}
