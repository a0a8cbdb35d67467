import QtQuick 2.15
import QtTest 1.15
import com.quelt.ostra 2.0
import "../../../qml/AppLayers"

TestCase {
    name: "DialogExport"
    when: windowShown

    ImageLocator {
        id: service
    }
    DialogExport {
        id: dialog
        locator: service
    }

    // Several pictures keep their own names, told apart when they are the same.
    function test_several() {
        var folder = exportFixture.folder("several")
        dialog.folder = folder
        dialog.openFor([exportFixture.first, exportFixture.second], "2 pictures")
        verify(!findChild(dialog, "fileName").visible)
        compare(findChild(dialog, "summary").text, "2 pictures")
        dialog.formatIndex = 0
        dialog.accept()
        tryVerify(function() { return exportFixture.written(folder).length === 2 }, 60000)
        compare(exportFixture.written(folder), ["IMG.7 (2).jpg", "IMG.7.jpg"])
    }
}
