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

    // The dialog has no frame: Escape closes it, as "cancel" does, and sends nothing.
    function test_escapeCloses() {
        findChild(dialog, "summary").text = "left unsent"
        verify(screenChecks.keyClick(dialog, Qt.Key_Escape))
        tryVerify(function() { return !dialog.visible })
        verify(!dialog.feedbackUploaded)
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

    // What the dialog declares reaches the report objects, and its check boxes drive
    // what the harvester puts into the next report.
    function test_settingsReachTheReportObjects() {
        var harvester = findChild(dialog, "infoHarvester")
        var uploader = findChild(dialog, "infoUploader")
        var amazon = findChild(dialog, "amazonBackend")
        var zendesk = findChild(dialog, "zendeskBackend")
        compare(harvester.bugReportPrefix, "BugReport_")
        compare(uploader.autoRemove, true)
        verify(uploader !== null)
        compare(findChild(dialog, "digestBackend").master, uploader)
        compare(amazon.master, uploader)
        compare(zendesk.master, uploader)
        compare([amazon.bucket, amazon.region, amazon.partMb], ["ostra-reports", "us-west-2", 5])
        compare(zendesk.author, "Anonymous customer")

        var shot = findChild(dialog, "addScrShot")
        var logs = findChild(dialog, "addAppData")
        compare(harvester.needScrShot, true)
        compare(harvester.needAppData, false)
        mouseClick(shot)
        compare(harvester.needScrShot, false)
        mouseClick(shot)
        compare(harvester.needScrShot, true)
        mouseClick(logs)
        compare(harvester.needAppData, true)
        var no = findChild(dialog, "sensitiveNo")
        tryVerify(function() { return no.visible })
        mouseClick(no)
        compare(logs.checked, false)
        compare(harvester.needAppData, false)
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
