import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0

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
        }
        onSuicide: Qt.quit()
    }
}
