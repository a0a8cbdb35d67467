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
        router: fixture.router
        logger: recorder
    }
    DialogNameResolution {
        id: names
    }
    PipelineStatus {
        id: status
        router: fixture.router
        logger: recorder
    }
    FolderError {
        id: folderError
        router: fixture.router
        logger: recorder
    }

    readonly property var buttonNames: ["holdOff", "gotIt", "remove", "retry", "createFolder", "skip", "overwrite", "update"]

    function child(name) {
        var found = findChild(dialog.contentItem, name)
        verify(found !== null, name)
        return found
    }

    function init() {
        fixture.clear()
        recorder.clear()
        dialog.applyToSameSet.checked = false
        dialog.applyToAllSets.checked = false
    }

    // Which answers each error offers; the ticket's size or the free space is shown.
    function test_buttons_data() {
        return [
            { tag: "Present", error: TicketsRecord.Present, buttons: ["remove", "skip", "overwrite", "update"] },
            { tag: "CantDel", error: TicketsRecord.CantDel, buttons: ["remove", "retry", "skip", "overwrite", "update"] },
            { tag: "Content", error: TicketsRecord.Content, buttons: ["gotIt", "remove"] },
            { tag: "NoSpace", error: TicketsRecord.NoSpace, buttons: ["holdOff", "retry"] },
            { tag: "DirLost", error: TicketsRecord.DirLost, buttons: ["holdOff", "remove", "createFolder"] },
            { tag: "NoWrite", error: TicketsRecord.NoWrite, buttons: ["holdOff", "retry"] },
            { tag: "NoDrive", error: TicketsRecord.NoDrive, buttons: ["holdOff", "retry"] },
            { tag: "IOError", error: TicketsRecord.IOError, buttons: ["holdOff", "retry"] },
            { tag: "IOPause", error: TicketsRecord.IOPause, buttons: ["gotIt"] },
            { tag: "SrcLost", error: TicketsRecord.SrcLost, buttons: ["gotIt", "remove"] }
        ]
    }

    function test_buttons(data) {
        verify(!dialog.visible)
        fixture.file(data.error, "/lib/import/a.vrx", 1)
        verify(dialog.visible)
        compare(dialog.errorType, data.tag)
        for (var i = 0; i < buttonNames.length; ++i)
            compare(child(buttonNames[i]).visible, data.buttons.indexOf(buttonNames[i]) >= 0, buttonNames[i])
        if (data.error === TicketsRecord.NoSpace)
            verify(child("freeSpace").text.indexOf("bytes free") > 0)
        else
            compare(child("sourceSize").text, "~1234 bytes")
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
        fixture.file(data.error || TicketsRecord.Present, "/lib/import/a.vrx", 1)
        fixture.file(TicketsRecord.NoSpace, "/lib/import/b.vrx", 1)
        child(data.button).clicked()
        compare(recorder.calls, data.call === "" ? ["touch"] : [data.call, "touch"])
        // The next ticket shows.
        compare(dialog.errorType, "NoSpace")
        child("retry").clicked()
        compare(recorder.calls[recorder.calls.length - 2], "revive scope 4")
        verify(!dialog.visible)
    }

    function test_sameSessionTakesItsDuplicates() {
        fixture.file(TicketsRecord.Present, "/lib/import/a.vrx", 1)
        fixture.file(TicketsRecord.Present, "/lib/import/b.vrx", 1)
        fixture.file(TicketsRecord.Present, "/lib/import/c.vrx", 2)
        dialog.applyToSameSet.checked = true
        child("skip").clicked()
        compare(recorder.calls[0], "setPolicy 1 0 scope 6")
        compare(fixture.router.tickets.count, 1)
        dialog.applyToAllSets.checked = true
        child("overwrite").clicked()
        compare(recorder.calls[2], "setPolicy 0 1 scope 8")
        verify(!dialog.visible)
    }

    function test_nameResolution() {
        names.name = "a.vrx"
        names.folder = "file:///lib/import"
        names.open()
        tryCompare(names, "opened", true)
        var detail = findChild(names.contentItem, "detail")
        verify(detail.text.indexOf("a.vrx already exists in the") === 0)
        verify(detail.text.indexOf(">import</a> folder.") > 0)
        findChild(names.contentItem, "overwrite").clicked()
        verify(!names.skip && names.overwrite)
        tryCompare(names, "visible", false)
    }

    function test_folderError() {
        folderError.target = "file:///nowhere/at/all"
        folderError.sessUuid = "{00000000-0000-4000-8000-000000000003}"
        folderError.open()
        tryCompare(folderError, "opened", true)
        compare(findChild(folderError.contentItem, "folderPath").text, "/nowhere/at/all")
        findChild(folderError.contentItem, "retry").clicked()
        verify(folderError.visible)
        verify(!folderError.openedNow)
        findChild(folderError.contentItem, "dismissSession").clicked()
        compare(recorder.calls, ["dismiss {00000000-0000-4000-8000-000000000003}"])
    }

    // The visible session rows of the status popup, newest first.
    function sessionRows(item) {
        var rows = []
        for (var i = 0; i < item.children.length; ++i) {
            var c = item.children[i]
            if (c.objectName === "sessionRow" && c.isClient)
                rows.push(c)
            rows = rows.concat(sessionRows(c))
        }
        return rows
    }

    function test_statusRows() {
        verify(fixture.put(1, "/lib/2026-12-06/a.vrx", 100))
        verify(fixture.put(1, "/lib/2026-12-06/b.vrx", 100))
        verify(fixture.put(2, "/lib/2026-12-07/c.vrx", 100))
        compare(status.sequenceCount, 2)
        status.sessionsPopup.open()
        tryCompare(status.sessionsPopup, "opened", true)
        var rows = sessionRows(status.sessionsPopup.contentItem)
        compare(rows.length, 2)
        compare(findChild(rows[1], "rootName").text, "2026-12-06")
        compare(findChild(rows[1], "stateText").text, "Importing item 1 of 2")
        fixture.router.pauseAll()
        compare(findChild(rows[0], "stateText").text, "Waiting to import 1 items")
        fixture.block("/lib/2026-12-07/c.vrx", TicketsRecord.NoSpace)
        compare(String(findChild(rows[0], "rootName").color), "#ff0000")
        verify(findChild(rows[0], "retry").visible)
        findChild(rows[1], "cancel").clicked()
        compare(recorder.calls, ["dismiss {00000000-0000-4000-8000-000000000001}"])
        status.sessionsPopup.close()
        fixture.clear()
    }
}
