import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Pages"
import "../Views"

ApplicationWindow {
    id: window
    visible: true
    width: 1280
    height: 800
    title: Qt.application.displayName

    AutomationHost {
        id: automationHost
        onLocations: {
            for (var i = 0; i < locations.length; ++i)
                console.log("Open:", locations[i])
            // What a second start hands over comes to the front.
            if (window.visibility === Window.Minimized)
                window.showNormal()
            window.raise()
            window.requestActivate()
            window.offerLocations(locations)
            // A single picture is opened as well.
            if (locations.length === 1 && /\.vrx$/i.test(locations[0].toString()))
                window.editorLocation = locations[0].toString()
        }
        onSuicide: Qt.quit()
    }

    ImageLocator {
        id: imageLocator
        channelOrder: glChannelOrder
        metahistory: metahistory
        // Background renders and compression follow the user's setting.
        backgroundProcessing: AppSettings ? AppSettings.backgroundIndex : true
        Component.onCompleted: {
            if (AppSettings && AppSettings.thumbnailBudgetMb > 0)
                thumbnailBudgetMb = AppSettings.thumbnailBudgetMb
        }
    }

    // Each camera's calibration (hot pixels), found on the camera during imports and
    // applied whenever one of its pictures is rendered.
    Metahistory {
        id: metahistory
    }

    // The pictures imported before, by camera and picture.
    HasBeenModel {
        id: hasBeenModel
    }

    // The mounted volumes: cameras connected as USB storage and the import targets.
    Volumes {
        id: volumes
    }

    // The import: the cameras (devicesModel, made by the application over its device
    // managers) hand their files to the journal in front of the transfer scheduler.
    readonly property QtObject devices: typeof devicesModel !== "undefined" ? devicesModel : null
    readonly property QtObject importRouter: typeof pipelineRouter !== "undefined" ? pipelineRouter : null
    readonly property QtObject importLogger: typeof pipelineLogger !== "undefined" ? pipelineLogger : null
    function wireImport() {
        if (devices) {
            devices.volMonitor.marker = "queltcal"
            devices.volMonitor.naming = "%1 #%2"
            devices.volMonitor.volumes = volumes
            devices.bailiff = imageLocator.bailiff
            devices.filePerm = imageLocator.filePerm
        }
        if (importRouter) {
            importRouter.bailiff = imageLocator.bailiff
            importRouter.filePerm = imageLocator.filePerm
            importRouter.mounted = volumes.mounted
        }
    }
    Connections {
        target: volumes
        function onMountedChanged(mounted, leap) {
            if (window.importRouter)
                window.importRouter.mounted = mounted
        }
    }
    // Calibration files that reach a camera's data folder go into the store.
    Connections {
        target: window.devices
        function onNotifyReserved(specialName, specialFile) {
            metahistory.offer(specialName, specialFile)
        }
    }
    // A copied picture is accepted once the image service has read it; its camera and
    // picture are then marked as imported.
    Connections {
        target: window.importLogger
        function onNeedValidate(target, recipe) {
            imageLocator.requestMetadata(target)
        }
    }
    Connections {
        target: imageLocator
        function onNotifyFileIndexedSignal(metadata) {
            if (window.importLogger)
                window.importLogger.onGoodFromMetadata(metadata)
            hasBeenModel.markBeenFromMetadata(metadata)
        }
    }

    // The sessions the user opened, kept across starts; the active one is the gallery's.
    SessionLogger {
        id: sessionLogger
        resolver: imageLocator
        dbConnString: AppSettings && AppSettings.sessionDatabase !== "" ? AppSettings.sessionDatabase : ":memory:"
        Component.onCompleted: depth = 5
    }

    // The gallery of the open session: files and folders named on the command line,
    // handed over by a second start or dropped on the window are offered to it.
    ActiveSession {
        id: activeSession
        resolver: imageLocator
        sortField: "timestamp"
        source: sessionLogger.session(sessionLogger.activeId)
    }

    // A new session for each batch unless several may be open at once.
    function offerLocations(urls) {
        if (!urls || urls.length === 0)
            return
        var closeFirst = AppSettings ? AppSettings.closeOnNewFiles : true
        var recursive = AppSettings ? AppSettings.recurseIntoDirs : false
        if (closeFirst)
            sessionLogger.reset()
        sessionLogger.offerAll(urls, recursive)
    }

    PageMain {
        id: mainGallery
        objectName: "pageMain"
        anchors.fill: parent
        focus: true
        gallery: activeSession
        locator: imageLocator
        history: sessionLogger
        copiedAdjustments: window.copiedAdjustments
        devices: window.devices
        pipeline: window.importLogger
        beenModel: hasBeenModel
        onOpenRequested: window.editorLocation = location.toString()
        onImportQueued: {
            if (showFiles)
                window.openWhenImported(files)
        }
    }

    // Imports whose pictures open in the gallery once they are complete: their files.
    property var importsToOpen: []
    function openWhenImported(files) {
        var pictures = []
        for (var i = 0; i < files.length; ++i)
            if (/\.vrx$/i.test(files[i].toString()))
                pictures.push(files[i])
        if (pictures.length > 0)
            importsToOpen = importsToOpen.concat([pictures])
    }
    Connections {
        target: window.importRouter
        function onSessionCompleted(session, path) {
            if (window.importsToOpen.length === 0 || !window.importLogger)
                return
            var done = window.importLogger.files(session)
            var names = done.map(function(url) { return url.toString() })
            var waiting = window.importsToOpen.slice()
            for (var i = 0; i < waiting.length; ++i) {
                if (names.indexOf(waiting[i][0].toString()) >= 0) {
                    waiting.splice(i, 1)
                    window.importsToOpen = waiting
                    window.offerLocations(done.filter(function(url) { return /\.vrx$/i.test(url.toString()) }))
                    return
                }
            }
        }
    }

    // How the imports are doing; its list offers finished imports to the gallery.
    PipelineStatus {
        id: pipelineStatus
        objectName: "pipelineStatus"
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.margins: 8
        z: 1
        router: window.importRouter
        logger: window.importLogger
        history: sessionLogger
    }
    // A finished import whose folder is gone when the user opens it.
    FolderError {
        id: folderError
        router: window.importRouter
        logger: window.importLogger
        history: sessionLogger
        target: pipelineStatus.folderUrl
        sessUuid: pipelineStatus.sessUuid
        moreToDo: pipelineStatus.moreToDo
        onClosed: pipelineStatus.failedDir = false
    }
    Connections {
        target: pipelineStatus
        function onFailedDirChanged() {
            if (pipelineStatus.failedDir)
                folderError.open()
        }
    }
    // The transfer problems (tickets) waiting for the user's decision.
    DialogPipelineError {
        router: window.importRouter
        logger: window.importLogger
    }

    // Only local files and folders are taken, and always as a copy: the source keeps
    // what was dragged. Anything else is refused.
    function localFiles(urls) {
        var files = []
        for (var i = 0; i < urls.length; ++i) {
            if (urls[i].toString().indexOf("file:") === 0)
                files.push(urls[i])
        }
        return files
    }

    // Copy, else link: never move.
    function dropAction(supported) {
        return (supported & Qt.CopyAction) ? Qt.CopyAction : (supported & Qt.LinkAction) ? Qt.LinkAction : Qt.IgnoreAction
    }

    DropArea {
        anchors.fill: parent
        onEntered: {
            var action = window.dropAction(drag.supportedActions)
            if (!drag.hasUrls || window.localFiles(drag.urls).length === 0 || action === Qt.IgnoreAction) {
                drag.accepted = false
                return
            }
            drag.accept(action)
        }
        onDropped: {
            var files = drop.hasUrls ? window.localFiles(drop.urls) : []
            var action = window.dropAction(drop.supportedActions)
            if (files.length === 0 || action === Qt.IgnoreAction) {
                drop.accepted = false
                return
            }
            drop.accept(action)
            window.offerLocations(files)
        }
    }

    // The picture being edited fills the window above everything else; empty: none.
    property string editorLocation: ""
    // The adjustments last copied in the editor (a patch document), for the next paste.
    property var copiedAdjustments: null
    onEditorLocationChanged: {
        if (editorLocation === "")
            mainGallery.forceActiveFocus()
    }

    Loader {
        id: editorView
        anchors.fill: parent
        active: window.editorLocation !== ""
        sourceComponent: ViewCanvas {
            locator: imageLocator
            location: window.editorLocation
            copiedAdjustments: window.copiedAdjustments
            focus: true
            onClosed: window.editorLocation = ""
            onAdjustmentsCopied: window.copiedAdjustments = patch
        }
        onLoaded: item.forceActiveFocus()
    }

    // Until the window has its menus, the report dialog opens from a key and from the
    // "--report" option of the command line.
    function openReport() {
        reportLoader.active = true
        reportLoader.item.windowToRip = window.contentItem
        reportLoader.item.openDialog()
    }
    Shortcut {
        sequence: "Ctrl+Shift+F"
        context: Qt.ApplicationShortcut
        onActivated: window.openReport()
    }
    Loader {
        id: reportLoader
        active: false
        source: "DialogReport.qml"
    }

    // Checks the update feed at start, once a day.
    Uppdate {
        id: updater
        repoHead: "Updates.xml"
        forceUpdate: typeof cpForceUpdate !== "undefined" && !!cpForceUpdate
        onVersionAvailable: {
            updateOffer.version = version
            updateOffer.open()
        }
    }
    Dialog {
        id: updateOffer
        property string version: ""
        anchors.centerIn: parent
        modal: true
        title: qsTr("A new version of") + " " + Qt.application.displayName + " " + qsTr("is available:") + " " + version
        standardButtons: Dialog.Yes | Dialog.No
        Label {
            text: updater.hasTool ? qsTr("Do you want to update now?")
                                  : qsTr("Maintenance tool not found.") + " " + Qt.application.displayName + " "
                                    + qsTr("might not have been installed properly.")
        }
        onAccepted: {
            if (updater.hasTool)
                updater.retrieveUpdates()
        }
    }

    Component.onCompleted: {
        wireImport()
        if (typeof cpQueltUpdate !== "undefined" && cpQueltUpdate !== "")
            updater.channel = cpQueltUpdate
        var today = new Date()
        if (AppSettings && updater.hasChannel() && AppSettings.otherUpdateDate(today)) {
            AppSettings.checkUpdateDate = today
            updater.checkForUpdates(false)
        }
        reportPending = typeof cpOpenReport !== "undefined" && !!cpOpenReport
    }
    // The report asked for on the command line opens over the first frame, which its
    // screenshot shows.
    property bool reportPending: false
    onFrameSwapped: {
        if (reportPending) {
            reportPending = false
            openReport()
        }
    }
}
