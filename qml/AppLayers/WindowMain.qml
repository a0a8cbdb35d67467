import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
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
        // Background renders and compression follow the user's setting.
        backgroundProcessing: AppSettings ? AppSettings.backgroundIndex : true
        Component.onCompleted: {
            if (AppSettings && AppSettings.thumbnailBudgetMb > 0)
                thumbnailBudgetMb = AppSettings.thumbnailBudgetMb
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
        anchors.fill: parent
        focus: true
        gallery: activeSession
        locator: imageLocator
        history: sessionLogger
        copiedAdjustments: window.copiedAdjustments
        onOpenRequested: window.editorLocation = location.toString()
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
