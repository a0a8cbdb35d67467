import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
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
            for (var i = 0; i < locations.length; ++i) {
                console.log("Open:", locations[i])
                window.editorLocation = locations[i].toString()
            }
        }
        onSuicide: Qt.quit()
    }

    ImageLocator {
        id: imageLocator
    }

    // The picture being edited fills the window above everything else; empty: none.
    property string editorLocation: ""

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
