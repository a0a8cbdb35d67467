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
