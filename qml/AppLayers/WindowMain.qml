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
        onOpenRequested: window.editorLocation = location.toString()
    }

    DropArea {
        anchors.fill: parent
        onDropped: {
            if (drop.hasUrls) {
                window.offerLocations(drop.urls)
                drop.acceptProposedAction()
            }
        }
    }

    // The picture being edited fills the window above everything else; empty: none.
    property string editorLocation: ""
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
            focus: true
            onClosed: window.editorLocation = ""
        }
        onLoaded: item.forceActiveFocus()
    }
}
