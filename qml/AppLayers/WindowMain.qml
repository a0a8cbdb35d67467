import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Pages"
import "../Views"
import "../Utils"

ApplicationWindow {
    id: window
    visible: true
    width: 1280
    height: 800
    title: Qt.application.displayName
    color: StyleConstants.windowBackground
    font.family: StyleConstants.fontRegular

    menuBar: WindowMainMenu {
        id: mainMenu
        objectName: "mainMenu"
        shell: window
    }

    // What the window is doing, for its menus and dialogs.
    readonly property bool hasPendingOps: pendingOperations.length > 0
    // A newer version was found and not installed yet.
    property bool hasPendingUpdates: false
    // A modal dialog of the window waits for the user.
    readonly property bool isWindowBlocked: quitGuard.visible || preferences.visible || about.visible
                                            || openFailure.visible || updateOffer.visible || updateResult.visible
                                            || newerFormat.visible || systemRequirements.visible
                                            || htmlPage.visible
    readonly property bool isDepthEdited: editorView !== null && editorView.hasDepthEdits === true
    readonly property bool isCanvasLoaded: editorView !== null
    readonly property bool isImageSelected: activeSession.selectionSize === 1
    readonly property bool isImagesSelected: activeSession.selectionSize > 0
    // The editor says whether its picture has any edit; without an answer, its depth edits do.
    readonly property bool isImageOriginal: editorView !== null && editorView.isOriginal !== undefined
                                            ? editorView.isOriginal === true : !isDepthEdited
    readonly property int imageCount: activeSession.grossCount
    readonly property bool canPaste: copiedAdjustments !== null && (isCanvasLoaded ? editorCan("pasteAdjustments")
                                                                                 : isImagesSelected)
    // The editor shown, whose functions the menus call (see editorCan).
    readonly property Item editorView: editorLoader.item

    // The support site of the Help menu; the licence and the privacy policy are pages of
    // the application's own (showLicense, showPrivacy).
    readonly property url supportUrl: "https://www.quelt.com/support"

    // The background work that a quit waits for, by name.
    readonly property var pendingOperations: {
        var operations = []
        if (imageLocator.exportProgress.active || imageLocator.patchProgressHandler.isInProgress)
            operations.push(qsTr("Background image processing"))
        if (importRouter && importRouter.activityCount > 0)
            operations.push(importRouter.activityCount === 1 ? qsTr("Import from a camera")
                            : qsTr("%1 imports from cameras").arg(importRouter.activityCount))
        return operations
    }

    // Whether the editor shown offers `name` now: it has a function of that name and, when
    // it has a function can(name), that function agrees.
    function editorCan(name) {
        var editor = editorView
        if (editor === null || typeof editor[name] !== "function")
            return false
        return typeof editor.can !== "function" || editor.can(name) === true
    }

    function editorDo(name) {
        if (editorCan(name))
            editorView[name]()
    }

    function chooseFiles() {
        var files = Utils.openFiles(qsTr("Choose a file"), qsTr("Z40 camera pictures") + " (*.vrx *.VRX)")
        if (files.length > 0)
            offerLocations(files)
    }

    function chooseFolder() {
        var folder = Utils.openFolderUrl(qsTr("Choose a folder"))
        if (folder.toString() !== "")
            offerLocations([folder])
    }

    function closeAll() {
        editorLocation = ""
        sessionLogger.reset()
    }

    function selectAll() {
        if (isCanvasLoaded)
            return
        // A camera's tab chooses among the camera's pictures.
        if (!mainGallery.selectAllImports())
            activeSession.selectAll()
    }

    // The editor's picture, else the gallery's selection.
    function exportPictures() {
        if (isCanvasLoaded) {
            editorDo("save")
            editorExport.openFor([editorLocation], "")
        } else {
            mainGallery.galleryView.exportSelection()
        }
    }

    function pasteAdjustments() {
        if (isCanvasLoaded) {
            editorDo("pasteAdjustments")
        } else if (canPaste) {
            batchNote = qsTr("Pasting image properties completed!")
            if (!mainGallery.galleryView.pasteAdjustments())
                batchNote = ""
        }
    }
    // A batch edit started from the menu runs in the background; this is said once it has
    // ended.
    property string batchNote: ""

    function revertToOriginal() {
        if (isCanvasLoaded) {
            editorDo("revertToOriginal")
            return
        }
        var files = activeSession.selectedFiles()
        if (files.length === 0)
            return
        batchNote = files.length === 1 ? qsTr("Image has been successfully reverted to original.")
                                       : files.length + qsTr(" images have been successfully reverted to original.")
        imageLocator.revertToOriginal(files)
    }

    function openPreferences() {
        preferences.open()
    }

    function openAbout() {
        about.open()
    }

    // Asked from the menu: the answer is shown whatever it is.
    function checkForUpdates() {
        manualUpdateCheck = true
        if (!updater.hasChannel()) {
            manualUpdateCheck = false
            updateResult.show(Qt.application.displayName + " " + qsTr("has been unable to check for updates. Try later!"))
            return
        }
        updater.checkForUpdates(true)
    }

    // Closing asks first while work runs; the window then closes once the work has ended,
    // unless the user goes back to it.
    property bool quitWhenIdle: false
    onClosing: {
        if (hasPendingOps) {
            close.accepted = false
            quitWhenIdle = true
            quitGuard.open()
        }
    }
    onHasPendingOpsChanged: {
        if (!hasPendingOps && quitWhenIdle) {
            quitWhenIdle = false
            quitGuard.close()
            window.close()
        }
    }

    function toFront() {
        if (window.visibility === Window.Minimized)
            window.showNormal()
        window.raise()
        window.requestActivate()
    }

    AutomationHost {
        id: automationHost
        // A second start brings the window to the front, with files or without.
        onCommand: {
            if (args.length === 0 || args[0] !== "--preempt")
                window.toFront()
        }
        onLocations: {
            for (var i = 0; i < locations.length; ++i)
                console.log("Open:", locations[i])
            // Files handed over while a quit waits for the work to end: the window is wanted
            // after all, and does not close on them.
            if (window.quitWhenIdle) {
                window.quitWhenIdle = false
                quitGuard.close()
            }
            window.toFront()
            // Later slices of one hand-off join the session its first slice opened.
            window.offerLocations(locations, automationHost.continuesHandOff())
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
        // A background render leaves this much free on a picture's volume; the reason is
        // what the system is told while exports keep it awake.
        lowSpaceMb: 1024
        reasonForPowerRequest: qsTr("Ostra is exporting and processing pictures")
        Component.onCompleted: {
            if (AppSettings && AppSettings.memoryBudgetMb > 0)
                memoryBudgetMb = AppSettings.memoryBudgetMb
            if (AppSettings && AppSettings.thumbnailBudgetMb > 0)
                thumbnailBudgetMb = AppSettings.thumbnailBudgetMb
        }
    }

    // Compressions that failed (a file busy, a disk full) are tried again now and then.
    Timer {
        objectName: "compressionRetry"
        interval: 600000
        repeat: true
        running: true
        onTriggered: imageLocator.retryOptimize()
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
        id: mountedVolumes
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
            devices.volMonitor.volumes = mountedVolumes
            devices.bailiff = imageLocator.bailiff
            devices.filePerm = imageLocator.filePerm
        }
        if (importRouter) {
            importRouter.bailiff = imageLocator.bailiff
            importRouter.filePerm = imageLocator.filePerm
            // The scheduler waits for the first read of the mount table.
            if (mountedVolumes.ready)
                importRouter.mounted = mountedVolumes.mounted
        }
    }
    Connections {
        target: mountedVolumes
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
            hasBeenModel.expectValidation(target)
            imageLocator.requestMetadata(target)
        }
    }
    Connections {
        target: imageLocator
        function onNotifyFileIndexedSignal(metadata) {
            if (window.importLogger)
                window.importLogger.onGoodFromMetadata(metadata)
            // Only the copies the import asked to verify: a picture browsed is not imported.
            hasBeenModel.markValidated(metadata)
            // The picture open in the editor may turn out to be of a newer format.
            window.checkNewerFormat()
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
    // What the image service keeps for a file goes when no session shows it any more.
    Connections {
        target: activeSession
        function onFileClosed(url) {
            imageLocator.forgetFile(url)
        }
    }

    // A new session for each batch unless several may be open at once; `more` adds to the
    // batch before.
    function offerLocations(urls, more) {
        if (!urls || urls.length === 0)
            return
        var closeFirst = AppSettings ? AppSettings.closeOnNewFiles : true
        var recursive = AppSettings ? AppSettings.recurseIntoDirs : false
        if (closeFirst && !more)
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
        volumes: mountedVolumes
        // The import ring sits at the top right.
        rightInset: pipelineStatus.width + 2 * pipelineStatus.anchors.margins
        onOpenRequested: window.editorLocation = location.toString()
        onDeviceLost: console.log("Device lost:", deviceId)
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
            // The folder the imported files share, from its components ("" first: absolute).
            NotificationsManager.show(qsTr("Import completed:") + " " + (path.join("/") || "/"))
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
        // The editor's own columns reach the window's top right.
        visible: window.editorLocation === ""
        router: window.importRouter
        logger: window.importLogger
        history: sessionLogger
        volumes: mountedVolumes
    }
    // A finished import whose folder is gone when the user opens it.
    FolderError {
        id: folderError
        volumes: mountedVolumes
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
        else
            checkNewerFormat()
    }

    Loader {
        id: editorLoader
        anchors.fill: parent
        active: window.editorLocation !== ""
        sourceComponent: PageImageEditor {
            locator: imageLocator
            gallery: activeSession
            location: window.editorLocation
            copiedAdjustments: window.copiedAdjustments
            exportFolder: mainGallery.galleryView.exportFolder
            volumes: mountedVolumes
            focus: true
            // The filmstrip moves to other pictures of the session.
            onLocationChanged: window.editorLocation = location
            onClosed: window.editorLocation = ""
            onAdjustmentsCopied: window.copiedAdjustments = patch
            onFilesDropped: window.offerLocations(window.localFiles(urls))
        }
        onLoaded: item.imageEditor.forceActiveFocus()
    }
    // A picture handed over while the editor is open replaces the one it shows.
    Connections {
        target: window
        function onEditorLocationChanged() {
            if (editorLoader.item && window.editorLocation !== "")
                editorLoader.item.location = window.editorLocation
        }
    }

    // The report dialog opens from the Help menu, a key and the "--report" option of the
    // command line.
    function openReport() {
        reportLoader.active = true
        reportLoader.item.windowToRip = window.contentItem
        reportLoader.item.openDialog()
    }
    // The window's own keys, silent while one of its dialogs waits.
    KeyHost {
        id: keyHost
        active: !window.isWindowBlocked
        KeyDelegate {
            objectName: "keyReport"
            sequence: "Ctrl+Shift+F"
            onActivated: window.openReport()
        }
    }
    Loader {
        id: reportLoader
        active: false
        source: "DialogReport.qml"
    }
    Connections {
        target: reportLoader.item
        ignoreUnknownSignals: true
        function onFeedbackUploadedChanged() {
            if (reportLoader.item.feedbackUploaded)
                NotificationsManager.show(qsTr("Your feedback report has been uploaded."))
        }
    }

    // Checks the update feed at start, once a day.
    Uppdate {
        id: updater
        repoHead: "Updates.xml"
        forceUpdate: typeof cpForceUpdate !== "undefined" && !!cpForceUpdate
        onVersionAvailable: {
            window.hasPendingUpdates = true
            updateOffer.version = version
            updateOffer.open()
        }
        onNothingAvailable: {
            if (window.manualUpdateCheck)
                updateResult.show(qsTr("You are running the most current version of") + " "
                                  + Qt.application.displayName + qsTr(". Stay tuned!"))
            window.manualUpdateCheck = false
        }
        onCheckUpdateError: {
            if (window.manualUpdateCheck)
                updateResult.show(Qt.application.displayName + " "
                                  + qsTr("has been unable to check for updates. Try later!")
                                  + (reason !== "" ? "<br>" + reason : ""))
            window.manualUpdateCheck = false
        }
    }
    // Whether the check running was asked for from the menu (a check at start stays quiet
    // unless it finds something).
    property bool manualUpdateCheck: false
    DialogNotice {
        id: updateResult
        objectName: "updateResult"
        function show(text) {
            message = text
            open()
        }
    }
    Dialog {
        id: updateOffer
        objectName: "updateOffer"
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
        console.log("Channel order: " + glChannelOrder)
        wireImport()
        if (!imageLocator.cpuSupported)
            systemRequirements.open()
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

    // Mains power and the user's activity.
    PowerStats {
        id: powerStats
        anchor: mainGallery
        onStateChanged: console.log("AC state:", plugged ? "plugged" : "battery",
                                    state === PowerStats.Ok ? "registered" : "not registered")
        onPluggedChanged: console.log("AC state:", plugged ? "plugged" : "battery")
    }
    // Whether the user did something in the last ten minutes, watched while background
    // work runs.
    SnoozeTimer {
        id: snoozeTimer
        timeoutMs: 600000
        sleepy: window.hasPendingOps
        onSleepsChanged: console.log(sleeps ? "User active while background work runs" : "User idle")
    }

    // The editor's picture exported from the File menu.
    DialogExport {
        id: editorExport
        locator: imageLocator
        volumes: mountedVolumes
        folder: AppSettings ? Utils.fileUrl(AppSettings.defaultExport()) : ""
    }

    DialogPreferences {
        id: preferences
    }

    // The licence and the privacy policy, from the application's resources.
    HtmlPage {
        id: htmlPage
        objectName: "htmlPage"
    }
    function showLicense() { htmlPage.show(":/pages/license.html") }
    function showPrivacy() { htmlPage.show(":/pages/privacy.html") }

    // A batch edit in progress, which the user may stop.
    OverlayProgress {
        objectName: "overlayProgress"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: 12
        z: 5
        handler: imageLocator.patchProgressHandler
        onCancelRequested: {
            // A stopped batch is not announced as done.
            window.batchNote = ""
            mainGallery.galleryView.batchNote = ""
            imageLocator.cancelPatch()
        }
    }

    DialogQuitGuard {
        id: quitGuard
        operations: window.pendingOperations
        onReturnRequested: window.quitWhenIdle = false
        onStopRequested: {
            imageLocator.cancelExport()
            imageLocator.cancelPatch()
            if (window.importRouter)
                window.importRouter.pauseAll()
        }
    }

    DialogNotice {
        id: about
        objectName: "about"
        heading: qsTr("About") + " " + Qt.application.displayName
        message: Qt.application.displayName + " " + Qt.application.version
    }

    // A picture opened in the editor that cannot be read.
    DialogNotice {
        id: openFailure
        objectName: "openFailure"
        heading: qsTr("There seems to be a problem.")
        message: qsTr("Ostra failed to open this image. It might be damaged, truncated during import or not be a Quelt Raw Image at all.")
                 + "<br><a href=\"" + window.supportUrl + "\">" + window.supportUrl + "</a>"
    }
    // A writer (an import overwriting it, the recycle bin) takes a file: the editor lets go
    // of it, saving its edits first, so the writer is not kept waiting.
    Connections {
        target: imageLocator
        function onNotifyFileEvictedSignal(location) {
            if (window.editorLocation !== "" && imageLocator.sameFile(location, window.editorLocation)) {
                console.log("Closed for a writer:", location)
                window.editorLocation = ""
            }
        }
        function onNotifyFileUpdatedSignal(location) {
            console.log("Updated:", location)
        }
    }
    Connections {
        target: imageLocator
        function onNotifyFileInvalidSignal(location) {
            if (window.editorLocation !== "" && location.toString() === window.editorLocation)
                openFailure.open()
        }
    }

    // Edits that could not be written to a picture's state file (a full or read-only
    // disk): the picture's file keeps the edits saved before; each picture is named once.
    DialogNotice {
        id: editsNotSaved
        objectName: "editsNotSaved"
        heading: qsTr("Edits not saved")
        onClosed: message = ""
    }
    Connections {
        target: imageLocator
        function onEditsNotSaved(path, reason) {
            var line = qsTr("The edits of %1 could not be saved: %2")
                .arg(Utils.escapedText(path)).arg(Utils.escapedText(reason))
            if (editsNotSaved.message.indexOf(line) >= 0)
                return
            editsNotSaved.message = editsNotSaved.message === "" ? line : editsNotSaved.message + "<br>" + line
            editsNotSaved.open()
        }
    }

    // A preset made or renamed that could not be written to its file.
    Connections {
        target: AppSettings
        function onPresetNotSaved(name, reason) {
            NotificationsManager.show(qsTr("The preset \"%1\" could not be saved: %2. It is tried again while Ostra runs.")
                                      .arg(name).arg(reason))
        }
    }

    // A picture made by a newer camera firmware than this version reads.
    DialogNotice {
        id: newerFormat
        objectName: "newerFormat"
        message: qsTr("This image needs a newer version of Ostra to display properly. Do you want to check for updates?")
        rejectText: qsTr("Maybe later")
        acceptText: qsTr("Close and update")
        onAccepted: {
            window.editorLocation = ""
            window.checkForUpdates()
        }
    }
    // Asked once per picture opened.
    property string newerFormatAsked: ""
    function checkNewerFormat() {
        if (editorLocation === "" || newerFormatAsked === editorLocation)
            return
        if (imageLocator.isIncompatible(editorLocation)) {
            newerFormatAsked = editorLocation
            newerFormat.open()
        }
    }

    DialogNotice {
        id: systemRequirements
        objectName: "systemRequirements"
        message: qsTr("Your computer does not have the system requirements necessary to run Ostra. ")
                 + qsTr("To learn more about which operating systems can support our software, please visit:")
                 + "<br><a href=\"" + window.supportUrl + "\">" + window.supportUrl + "</a>"
    }

    // The end of a batch edit started from the menu.
    Connections {
        target: imageLocator.patchProgressHandler
        function onInProgressChanged() {
            if (!imageLocator.patchProgressHandler.isInProgress && window.batchNote !== "") {
                NotificationsManager.show(Utils.batchNote(window.batchNote, imageLocator.patchFailures()))
                window.batchNote = ""
            }
        }
    }

    NotificationsView {
        objectName: "notifications"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        // Over the editor, above its bottom bar and filmstrip rather than over them.
        anchors.bottomMargin: editorView !== null && editorView.bottomReserve !== undefined
                              ? editorView.bottomReserve + 16 : 60
        width: Math.min(480, parent.width - 40)
        height: contentHeight
        z: 10
    }
}
