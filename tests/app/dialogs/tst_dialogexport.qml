import QtQuick 2.15
import QtTest 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../../../qml/AppLayers"
import "../../../qml/Utils"

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

    // The keys of the dialog, which has no frame: Return exports as the button does (and
    // does nothing while the name cannot be used), Escape closes without exporting.
    function test_keys_data() {
        return [
            { tag: "return", key: Qt.Key_Return, name: "", written: ["IMG.7.jpg"] },
            { tag: "enter with a name", key: Qt.Key_Enter, name: "kept", written: ["kept.jpg"] },
            { tag: "escape", key: Qt.Key_Escape, name: "", written: [] },
            { tag: "return with an unusable name", key: Qt.Key_Return, name: "..", written: [] }
        ]
    }
    function test_keys(data) {
        var folder = exportFixture.folder("keys " + data.tag)
        dialog.folder = folder
        dialog.formatIndex = 0
        dialog.openFor([exportFixture.first], "")
        tryVerify(function() { return dialog.visible })
        findChild(dialog, "fileName").text = data.name
        // An empty name shows the one the export keeps.
        compare(findChild(dialog, "fileName").placeholderText, "IMG.7")
        if (data.name === "") {
            // Read with the keyboard in the field (drawn light) and elsewhere (dark).
            findChild(dialog, "fileName").forceActiveFocus()
            waitForRendering(dialog.contentItem)
            compare(screenChecks.faults(dialog, ["folderPath"]), [])
            findChild(dialog, "format").forceActiveFocus()
            waitForRendering(dialog.contentItem)
            compare(screenChecks.faults(dialog, ["folderPath"]), [])
        }
        verify(screenChecks.keyClick(dialog, data.key))
        if (data.written.length > 0) {
            tryVerify(function() { return !dialog.visible })
            tryVerify(function() { return exportFixture.written(folder).length === data.written.length }, 60000)
            compare(exportFixture.written(folder), data.written)
            tryVerify(function() { return !dialog.exporting }, 60000)
        } else if (data.key === Qt.Key_Escape) {
            tryVerify(function() { return !dialog.visible })
        } else {
            wait(200)
            verify(dialog.visible)
            verify(!dialog.exporting)
            dialog.close()
        }
        compare(exportFixture.written(folder), data.written)
        dialog.folder = ""
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
        // Its end is told with the folder.
        tryCompare(NotificationsManager, "lastText", "Export completed: 2 pictures in " + dialog.exportedTo, 60000)
        verify(dialog.exportedTo.indexOf("several") > 0)
        verify(!dialog.exporting)
    }

    // A folder that cannot be made (a file stands in its way) ends the export with a word,
    // once the worker that makes it has tried.
    function test_folderThatCannotBeMade() {
        dialog.folder = exportFixture.first.toString() + "/sub"
        dialog.openFor([exportFixture.first], "")
        dialog.accept()
        verify(dialog.exporting) // not ended before the folder was tried
        tryCompare(NotificationsManager, "lastText",
                   "Export ended: 1 file of 1 picture could not be written to " + dialog.exportedTo, 60000)
        verify(!dialog.exporting)
        dialog.folder = ""
    }

    // Without a folder of its caller's, the dialog offers the dated export folder; it shows
    // over its window, says why "export" cannot be pressed, tells the space asked for and
    // free, and reads whole.
    function test_defaultsAndReasons() {
        dialog.folder = ""
        dialog.openFor([exportFixture.first], "")
        tryVerify(function() { return dialog.visible })
        compare(findChild(dialog, "folderPath").text, AppSettings.defaultExport())
        // Centred over its window, as far as the screen allows.
        var owner = dialog.owner
        verify(owner !== null)
        var expectedX = Math.max(0, Math.min(owner.x + owner.width / 2 - dialog.width / 2,
                                             Screen.desktopAvailableWidth - dialog.width))
        var expectedY = Math.max(0, Math.min(owner.y + owner.height / 2 - dialog.height / 2,
                                             Screen.desktopAvailableHeight - dialog.height))
        verify(Math.abs(dialog.x - expectedX) <= 1 && Math.abs(dialog.y - expectedY) <= 1,
               dialog.x + "," + dialog.y + " for " + expectedX + "," + expectedY)
        var exportButton = findChild(dialog, "export")
        verify(exportButton.enabled)
        verify(!findChild(dialog, "blockedReason").visible)
        findChild(dialog, "fileName").text = "."
        verify(!exportButton.enabled)
        verify(findChild(dialog, "blockedReason").visible)
        compare(findChild(dialog, "blockedReason").text, dialog.blockedReason)
        verify(dialog.blockedReason.length > 0)
        verify(/^[0-9.]+ (MB|KB|GB) \/ [0-9.]+ (KB|MB|GB|TB)$/.test(findChild(dialog, "spaceText").text),
               findChild(dialog, "spaceText").text)
        waitForRendering(dialog.contentItem)
        compare(screenChecks.faults(dialog, ["folderPath"]), [])
        // Whole on the smaller screen people use (1280x800, less the desktop's panels).
        verify(dialog.width <= 1280 && dialog.height <= 740, dialog.width + "x" + dialog.height)
        findChild(dialog, "fileName").text = ""
        dialog.close()
    }
}
