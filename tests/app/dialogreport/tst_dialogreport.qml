import QtQuick 2.15
import QtTest 1.15
import "../../../qml/AppLayers"

TestCase {
    id: testCase
    name: "DialogReport"
    when: windowShown

    DialogReport {
        id: dialog
    }

    function init() {
        dialog.openDialog()
        tryVerify(function() { return dialog.visible })
    }

    function test_email_data() {
        return [
            { tag: "address", text: "jane.doe+ostra@mail.example.org", acceptable: true },
            { tag: "no host", text: "jane@", acceptable: false },
            { tag: "no domain", text: "jane@example", acceptable: false },
            { tag: "empty", text: "", acceptable: true }
        ]
    }
    function test_email(data) {
        var contact = findChild(dialog, "contact")
        contact.text = data.text
        compare(findChild(dialog, "send").enabled, data.acceptable)
        contact.text = ""
    }

    function test_sensitiveLogs() {
        var box = findChild(dialog, "addAppData")
        var pane = findChild(dialog, "sensitiveStats")
        verify(!pane.visible)
        waitForRendering(box)
        mouseClick(box)
        tryVerify(function() { return box.checked })
        tryVerify(function() { return pane.visible })
        var no = findChild(dialog, "sensitiveNo")
        waitForRendering(no)
        mouseClick(no)
        verify(!box.checked)
        verify(!pane.visible)
        mouseClick(box)
        tryVerify(function() { return pane.visible })
        var yes = findChild(dialog, "sensitiveYes")
        waitForRendering(yes)
        mouseClick(yes)
        verify(box.checked)
        verify(!pane.visible)
    }

    function test_oversizedFile() {
        var harvester = findChild(dialog, "infoHarvester")
        harvester.sizeLimitMb = 1
        harvester.userFile = bigFile
        var popup = findChild(dialog, "oversizedFile")
        tryVerify(function() { return popup.visible })
        compare(popup.message, "File size (3 Mb) exceeds the allowed size limit (1 Mb)")
        compare(harvester.files.length, 0)
        popup.close()
    }
}
