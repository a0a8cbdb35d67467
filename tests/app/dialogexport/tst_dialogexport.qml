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

    function cleanup() {
        dialog.close()
    }

    function test_fileName_data() {
        return [
            { tag: "plain", text: "holiday 1", acceptable: true },
            { tag: "empty counts as none", text: "", acceptable: true },
            { tag: "a folder", text: "sub/name", acceptable: false },
            { tag: "ends in a dot", text: "name.", acceptable: false }
        ]
    }
    function test_fileName(data) {
        dialog.folder = fixture.folder("names")
        dialog.openFor([fixture.first], "")
        var name = findChild(dialog, "fileName")
        verify(name.visible)
        name.text = data.text
        compare(findChild(dialog, "export").enabled, data.acceptable)
    }

    // One picture under the name given, in both formats.
    function test_single() {
        var folder = fixture.folder("single")
        dialog.folder = folder
        dialog.openFor([fixture.first], "")
        findChild(dialog, "fileName").text = "chosen"
        dialog.formatIndex = 2
        dialog.highQuality = false
        var button = findChild(dialog, "export")
        waitForRendering(button)
        mouseClick(button)
        verify(!dialog.visible)
        tryCompare(service.exportProgress, "active", false, 60000)
        tryVerify(function() { return fixture.written(folder).length === 2 }, 60000)
        compare(fixture.written(folder), ["chosen.dng", "chosen.jpg"])
    }

    // Several pictures keep their own names, told apart when they are the same.
    function test_several() {
        var folder = fixture.folder("several")
        dialog.folder = folder
        dialog.openFor([fixture.first, fixture.second], "2 pictures")
        verify(!findChild(dialog, "fileName").visible)
        compare(findChild(dialog, "summary").text, "2 pictures")
        dialog.formatIndex = 0
        dialog.accept()
        tryVerify(function() { return fixture.written(folder).length === 2 }, 60000)
        compare(fixture.written(folder), ["IMG.7 (2).jpg", "IMG.7.jpg"])
    }
}
