import QtQuick 2.15
import QtTest 1.15
import com.quelt.ostra 2.0
import "../../../qml/AppLayers"
import "../../../qml/Items"

TestCase {
    id: test
    name: "PipelineDialogs"
    when: windowShown
    width: 800
    height: 600

    DialogPipelineError {
        id: dialog
        router: routerFixture.router
        logger: recorder
    }
    DialogNameResolution {
        id: names
    }
    PipelineStatus {
        id: status
        // At the window's right edge, as in the main window.
        anchors.right: parent.right
        router: routerFixture.router
        history: historyFixture
    }
    Volumes {
        id: testVolumes
    }
    DialogImport {
        id: importDialog
        volumes: testVolumes
    }
    SignalSpy {
        id: writableAnswers
        target: Utils
        signalName: "dirWritableKnown"
    }
    SignalSpy {
        id: importStarted
        target: importDialog
        signalName: "importSelected"
    }

    // Items that do not fit where they go are not imported without a word: the dialog
    // says so and starts only when asked again.
    function test_importAsksWhenTheItemsDoNotFit_data() {
        return [
            { tag: "fits", space: 1, clicks: 1 },
            { tag: "does not fit", space: 1e18, clicks: 2 }
        ]
    }

    function test_importAsksWhenTheItemsDoNotFit(data) {
        // The free space is known once the mount table was read (off the GUI thread).
        tryVerify(function() { return testVolumes.ready })
        importStarted.clear()
        importDialog.folderPath = routerFixture.folder().toString().replace("file://", "") + "/import"
        importDialog.openFor(data.space)
        // The volume's answer comes from its worker.
        tryVerify(function() { return importDialog.spaceFree > 0 })
        var start = findChild(importDialog.contentItem, "startImport")
        var warning = findChild(importDialog.contentItem, "doesNotFit")
        mouseClick(start)
        // The folder is made off the GUI thread: the import starts once it is there.
        if (data.clicks === 1)
            tryCompare(importStarted, "count", 1)
        compare(importStarted.count, data.clicks === 1 ? 1 : 0)
        compare(warning.visible, data.clicks === 2)
        if (data.clicks === 2) {
            compare(start.text, "import anyway")
            mouseClick(start)
            tryCompare(importStarted, "count", 1)
        }
        verify(!importDialog.visible)
        verify(!warning.visible)
        // Asked afresh at the next opening.
        importDialog.openFor(data.space)
        verify(!warning.visible)
        importDialog.close()
    }

    // The import dialog has no frame: Escape closes it without importing, Return starts
    // the import as the button does.
    function test_importKeys_data() {
        return [
            { tag: "escape", key: Qt.Key_Escape, started: 0 },
            { tag: "return", key: Qt.Key_Return, started: 1 },
            { tag: "enter", key: Qt.Key_Enter, started: 1 }
        ]
    }
    function test_importKeys(data) {
        tryVerify(function() { return testVolumes.ready })
        importStarted.clear()
        importDialog.folderPath = routerFixture.folder().toString().replace("file://", "") + "/keys"
        importDialog.openFor(1)
        tryVerify(function() { return importDialog.visible && importDialog.spaceFree > 0 })
        verify(screenChecks.keyClick(importDialog, data.key))
        if (data.started > 0)
            tryCompare(importStarted, "count", data.started)
        tryVerify(function() { return !importDialog.visible })
        compare(importStarted.count, data.started)
    }

    // Whether the folder may be written is read off the GUI thread: the red note shows once
    // the answer for the folder chosen is in, and an answer for a folder chosen before does
    // not stand.
    function test_importFolderWritabilityIsReadOffTheLoop() {
        var writable = routerFixture.folder().toString().replace("file://", "") + "/new/import"
        writableAnswers.clear()
        importDialog.folderPath = "/proc/version/import" // under a file
        verify(importDialog.folderWritable) // not known yet
        tryCompare(importDialog, "folderWritable", false)
        importDialog.folderPath = "/proc/version/other"
        importDialog.folderPath = writable
        verify(importDialog.folderWritable)
        tryCompare(writableAnswers, "count", 3)
        // The answers come as the folders answer; the one for the folder left is not taken.
        var stale = writableAnswers.signalArguments.filter(function(a) { return a[0] === "/proc/version/other" })
        compare(stale.length, 1)
        compare(stale[0][1], false)
        verify(importDialog.folderWritable)
        importDialog.folderPath = ""
    }

    // An import under way tells its time left when there is one, and ends without a dangling
    // comma when less than a second is left (no words then) or the time is not known yet.
    function test_importingTellsItsTimeLeft_data() {
        return [
            { tag: "minutes left", left: "3 minutes", text: "Importing item 5 of 20, 3 minutes" },
            { tag: "under a second", left: "", text: "Importing item 5 of 20" }
        ]
    }

    function test_importingTellsItsTimeLeft(data) {
        compare(status.importingText(4, 20, data.left), data.text)
    }

    FolderError {
        id: folderError
        router: routerFixture.router
        history: historyFixture
    }

    // "open" on a finished import and "Retry" on a folder error hand the import's files
    // to the library.
    function test_openAndRetryOfferTheFiles() {
        historyFixture.clear()
        routerFixture.finishImport(7)
        status.sessionsPopup.open()
        tryCompare(status.sessionsPopup, "opened", true)
        // Opened from the window's right edge, the list stays inside the window.
        var shown = status.sessionsPopup.contentItem.mapToItem(test, 0, 0)
        verify(shown.x >= 0, "left edge " + shown.x)
        verify(shown.x + status.sessionsPopup.contentItem.width <= test.width,
               "right edge " + (shown.x + status.sessionsPopup.contentItem.width))
        var open = null
        tryVerify(function() {
            // The row of the import (the first one stands for files without import).
            var layout = findChild(status.sessionsPopup.contentItem, "dismissCompleted").parent
            for (var i = 0; i < layout.children.length; ++i) {
                var row = layout.children[i]
                if (row.objectName === "sessionRow" && row.isClient)
                    open = findChild(row, "reoffer")
            }
            return open !== null && open.visible
        })
        // A finished import tells its age in words.
        var age = findChild(open.parent.parent, "stateText")
        verify(age !== null)
        verify(/items imported, (just now|\d+ \w+ ago)$/.test(age.text), age.text)
        status.openedNow = false
        open.clicked()
        // The folder is read again off the GUI thread first.
        compare(historyFixture.offered, [])
        tryCompare(status, "openedNow", true)
        compare(historyFixture.offered.sort(), ["a.jpg", "b.jpg"])
        status.sessionsPopup.close()

        historyFixture.clear()
        folderError.target = routerFixture.folder()
        folderError.sessUuid = routerFixture.session(7)
        folderError.open()
        tryCompare(folderError, "opened", true)
        findChild(folderError.contentItem, "retry").clicked()
        compare(historyFixture.offered, [])
        tryCompare(folderError, "visible", false)
        compare(historyFixture.offered.sort(), ["a.jpg", "b.jpg"])
    }

    function child(name) {
        var found = findChild(dialog.contentItem, name)
        verify(found !== null, name)
        return found
    }

    function init() {
        routerFixture.clear()
        recorder.clear()
        dialog.applyToSameSet.checked = false
        dialog.applyToAllSets.checked = false
    }

    function test_answers_data() {
        return [
            { tag: "skip", button: "skip", call: "setPolicy 1 0 scope 1" },
            { tag: "overwrite", button: "overwrite", call: "setPolicy 0 1 scope 1" },
            { tag: "update", button: "update", call: "setPolicy 1 1 scope 1" },
            { tag: "remove", button: "remove", call: "recall scope 1" },
            { tag: "got it", button: "gotIt", call: "" , error: TicketsRecord.Content }
        ]
    }

    function test_answers(data) {
        routerFixture.file(data.error || TicketsRecord.Present, "/lib/import/a.vrx", 1)
        routerFixture.file(TicketsRecord.NoSpace, "/lib/import/b.vrx", 1)
        child(data.button).clicked()
        compare(recorder.calls, data.call === "" ? ["touch"] : [data.call, "touch"])
        // The next ticket shows.
        compare(dialog.errorType, "NoSpace")
        child("retry").clicked()
        compare(recorder.calls[recorder.calls.length - 2], "revive scope 4")
        verify(!dialog.visible)
    }

    // A folder that cannot be written: one missing could not be made in its parent.
    function test_folderNotWritable() {
        routerFixture.file(TicketsRecord.NoWrite, "/ostra-missing/import/a.vrx", 1)
        compare(dialog.detail, "import cannot be created in the ostra-missing folder.")
        child("gotIt").clicked()
        routerFixture.file(TicketsRecord.NoWrite, "/tmp/a.vrx", 1)
        // Whether the folder is there is read off the GUI thread.
        tryCompare(dialog, "detail", "tmp is not writable.")
        child("gotIt").clicked()
    }

    function test_sameSessionTakesItsDuplicates() {
        routerFixture.file(TicketsRecord.Present, "/lib/import/a.vrx", 1)
        routerFixture.file(TicketsRecord.Present, "/lib/import/b.vrx", 1)
        routerFixture.file(TicketsRecord.Present, "/lib/import/c.vrx", 2)
        dialog.applyToSameSet.checked = true
        child("skip").clicked()
        compare(recorder.calls[0], "setPolicy 1 0 scope 6")
        compare(routerFixture.router.tickets.count, 1)
        dialog.applyToAllSets.checked = true
        child("overwrite").clicked()
        compare(recorder.calls[2], "setPolicy 0 1 scope 8")
        verify(!dialog.visible)
    }

    // The question names the file and its folder and reads whole within the window, even
    // for a long name and folder (wrapped, never wider than the window).
    function test_nameResolution_data() {
        return [
            { tag: "short", name: "a.vrx", folder: "import" },
            { tag: "long", name: "VID_20240601_the_whole_afternoon_at_the_harbour_with_the_boats_coming_in_and_going_out_again.mp4",
              folder: "Holidays 2024 the long trip through the northern islands and fjords, day one" }
        ]
    }
    function test_nameResolution(data) {
        names.name = data.name
        names.folder = "file:///lib/" + data.folder
        names.open()
        tryCompare(names, "opened", true)
        verify(findChild(names.contentItem, "detail").text.indexOf(">" + data.folder + "</a> folder.") > 0)
        waitForRendering(names.contentItem)
        verify(names.width <= test.width, names.width + " in " + test.width)
        compare(screenChecks.popupFaults(names), [])
        findChild(names.contentItem, "overwrite").clicked()
        verify(!names.skip && names.overwrite)
        tryCompare(names, "visible", false)
    }

    // Each problem reads whole within the dialog, its sizes in units people read.
    function test_readable_data() {
        return [
            { tag: "out of space", error: TicketsRecord.NoSpace },
            { tag: "file exists", error: TicketsRecord.Present },
            { tag: "folder lost", error: TicketsRecord.DirLost },
            { tag: "device disconnected", error: TicketsRecord.IOError }
        ]
    }
    function test_readable(data) {
        routerFixture.file(data.error, "/lib/import/a long name of a picture taken on the mountain.vrx", 1)
        tryVerify(function() { return dialog.visible })
        waitForRendering(dialog.contentItem)
        compare(screenChecks.faults(dialog, []), [])
        // Whole on the smaller screen people use (1280x800, less the desktop's panels).
        verify(dialog.width <= 1280 && dialog.height <= 740, dialog.width + "x" + dialog.height)
        // A size in the unit that reads best: never a run of raw digits.
        if (data.error === TicketsRecord.NoSpace)
            verify(/^\/media\/u\/Z40, ([0-9]{1,3}(\.[0-9])? (byte|bytes|KB|MB|GB|TB)|unknown) free$/.test(child("freeSpace").text),
                   child("freeSpace").text)
        routerFixture.clear()
    }
}
