import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"

// The current transfer problem of the pipeline, shown while tickets are open. Each button
// takes the ticket out of the record (widened by the check boxes) and hands it to the
// pipeline, which decides for every request the ticket reaches.
DialogWindow {
    id: dialog

    property QtObject router: null
    property QtObject logger: null
    property TicketsRecord tickets: router ? router.tickets : null
    readonly property string errorType: tickets ? tickets.errorType : "NoError"
    readonly property int error: tickets ? tickets.error : 0
    property alias applyToSameSet: sameSet
    property alias applyToAllSets: allSets

    // Which buttons show for which errors.
    readonly property int flagsRetrial: TicketsRecord.CantDel | TicketsRecord.NoSpace | TicketsRecord.NoWrite
                                        | TicketsRecord.NoDrive | TicketsRecord.IOError
    readonly property int flagsHoldOff: TicketsRecord.NoSpace | TicketsRecord.DirLost | TicketsRecord.NoWrite
                                        | TicketsRecord.NoDrive | TicketsRecord.IOError
    readonly property int flagsDismiss: TicketsRecord.Present | TicketsRecord.CantDel | TicketsRecord.Content
                                        | TicketsRecord.DirLost | TicketsRecord.SrcLost
    readonly property int flagsAbandon: TicketsRecord.IOPause | TicketsRecord.Content | TicketsRecord.SrcLost
    readonly property int flagsGeneric: TicketsRecord.Present | TicketsRecord.CantDel

    // The outermost pipeline: decisions go through the journal when there is one.
    readonly property QtObject pipeline: logger ? logger : router

    title: qsTr("File error")
    visible: tickets !== null && tickets.count > 0
    width: 520
    height: column.implicitHeight + 32
    onVisibleChanged: {
        if (visible)
            placeOverOwner()
    }

    readonly property var titles: ({
        "NoError": qsTr("All is well!"),
        "IOPause": qsTr("Loading camera files..."),
        "Present": qsTr("File exists"),
        "CantDel": qsTr("Can't overwrite"),
        "Content": qsTr("Unexpected contents"),
        "NoSpace": qsTr("Out of space"),
        "DirLost": qsTr("Folder lost"),
        "NoWrite": qsTr("Folder not writable"),
        "NoDrive": qsTr("Drive lost"),
        "IOError": qsTr("Device disconnected"),
        "SrcLost": qsTr("Source lost")
    })
    readonly property var messages: ({
        "NoError": qsTr("There is no underlying error. The actual error is that you are seeing this message."),
        "IOPause": qsTr("Please wait a moment."),
        "Present": qsTr("The following file is already present in the target folder:"),
        "CantDel": qsTr("The following file could not be overwritten:"),
        "Content": qsTr("The content of the following file is different from expected:"),
        "NoSpace": qsTr("The target drive or partition is out of space."),
        "DirLost": qsTr("The target folder cannot be found. Create it?"),
        "NoWrite": qsTr("The target location cannot be written to."),
        "NoDrive": qsTr("The target drive or partition has been unmounted."),
        "IOError": qsTr("The source device or network resource has been disconnected."),
        "SrcLost": qsTr("The following file has been lost at its source:")
    })
    // The name of the folder that holds the ticket's folder.
    readonly property string parentName: {
        var path = tickets ? Utils.urlToFilePath(tickets.folder).replace(/[\/\\]+$/, "") : ""
        var parent = path.replace(/[\/\\][^\/\\]*$/, "")
        var name = parent.replace(/^.*[\/\\]/, "")
        return name !== "" ? name : parent !== "" ? parent : "/"
    }
    readonly property string detail: {
        if (!tickets)
            return ""
        switch (errorType) {
        case "Present": return tickets.targetName + " " + qsTr("already exists in the") + " " + tickets.folderName + " " + qsTr("folder.")
        case "CantDel": return tickets.targetName + " " + qsTr("might be in use or read-only.")
        case "Content": return tickets.targetName + " " + qsTr("has changed at its source.")
        case "SrcLost": return tickets.targetName + " " + qsTr("has been lost at its source.")
        case "DirLost": return tickets.folderName + " " + qsTr("cannot be found.")
        case "NoWrite": return tickets.folderExists ? tickets.folderName + " " + qsTr("is not writable.")
                                                    : tickets.folderName + " " + qsTr("cannot be created in the") + " "
                                                      + parentName + " " + qsTr("folder.")
        case "NoSpace": return tickets.volumeName + " " + qsTr("is out of space.")
        case "NoDrive": return tickets.volumeName + " " + qsTr("has been unmounted.")
        }
        return ""
    }
    readonly property string question: {
        switch (errorType) {
        case "Present": return qsTr("Do you want to replace the existing file?")
        case "CantDel": return qsTr("Please check the file permissions.")
        case "NoSpace": return qsTr("Free up some space and try again.")
        case "DirLost": return qsTr("Create it?")
        case "NoWrite": return qsTr("Please check the access permissions.")
        case "NoDrive": return qsTr("Please insert or mount it again.")
        }
        return ""
    }

    function shows(mask) {
        return (error & mask) !== 0
    }

    // Takes the ticket out and lets `decide` hand it to the pipeline.
    function answer(decide) {
        var ticket = tickets.resolve(sameSet.checked, allSets.checked)
        if (pipeline && decide)
            decide(ticket)
        if (pipeline)
            pipeline.touch()
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Label {
            objectName: "shortTitle"
            text: dialog.titles[dialog.errorType] || dialog.errorType
            font.bold: true
            font.pixelSize: 18
        }
        Label {
            objectName: "message"
            text: dialog.messages[dialog.errorType] || ""
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Label {
            objectName: "detail"
            visible: text !== ""
            text: dialog.detail
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        GridLayout {
            columns: 2
            Layout.fillWidth: true
            visible: dialog.tickets !== null && dialog.error !== 0
            Label { text: qsTr("Source file:"); visible: dialog.tickets && dialog.tickets.localScope }
            Label {
                objectName: "sourceSize"
                visible: dialog.tickets && dialog.tickets.localScope
                text: dialog.tickets ? (dialog.tickets.isEstimate ? "~" : "") + Utils.sizeText(dialog.tickets.recipeSize) : ""
            }
            Label { text: qsTr("Target file:"); visible: dialog.tickets && dialog.tickets.targetExists }
            Label {
                visible: dialog.tickets && dialog.tickets.targetExists
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: dialog.tickets ? dialog.tickets.targetName + ", " + Utils.sizeText(dialog.tickets.targetSize) : ""
            }
            Label { text: qsTr("Target folder:"); visible: dialog.tickets && !dialog.tickets.driveScope }
            Label {
                visible: dialog.tickets && !dialog.tickets.driveScope
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: dialog.tickets ? dialog.tickets.folderName : ""
            }
            Label { text: qsTr("Target drive"); visible: dialog.tickets && dialog.tickets.driveScope }
            Label {
                objectName: "freeSpace"
                visible: dialog.tickets && dialog.tickets.driveScope
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                text: dialog.tickets ? dialog.tickets.volumeName + ", " + Utils.sizeText(dialog.tickets.targetFree) + " "
                                       + qsTr("free") : ""
            }
        }
        Label {
            objectName: "question"
            visible: text !== ""
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: dialog.question
        }
        CheckBox {
            id: sameSet
            objectName: "applyToSameSet"
            text: qsTr("apply to current session")
        }
        CheckBox {
            id: allSets
            objectName: "applyToAllSets"
            text: qsTr("apply to all files")
        }
        Flow {
            Layout.fillWidth: true
            spacing: 6
            Button {
                objectName: "holdOff"
                text: qsTr("Hold off")
                visible: dialog.shows(dialog.flagsHoldOff)
                onClicked: dialog.answer(function (t) { dialog.pipeline.onHold(t) })
            }
            Button {
                objectName: "gotIt"
                text: qsTr("Got it")
                visible: dialog.error === 0 || dialog.shows(dialog.flagsAbandon)
                onClicked: dialog.answer(null)
            }
            Button {
                objectName: "remove"
                text: qsTr("Remove from session")
                visible: dialog.shows(dialog.flagsDismiss)
                onClicked: dialog.answer(function (t) { dialog.pipeline.recall(t) })
            }
            Button {
                objectName: "retry"
                text: qsTr("Retry")
                visible: dialog.shows(dialog.flagsRetrial)
                onClicked: dialog.answer(function (t) { dialog.pipeline.revive(t) })
            }
            Button {
                objectName: "createFolder"
                text: qsTr("Create folder now")
                visible: dialog.error === TicketsRecord.DirLost
                onClicked: {
                    dialog.tickets.mkdirs()
                    dialog.answer(function (t) { dialog.pipeline.revive(t) })
                }
            }
            Button {
                objectName: "skip"
                text: qsTr("Skip")
                visible: dialog.shows(dialog.flagsGeneric)
                onClicked: dialog.answer(function (t) { dialog.pipeline.setPolicy(t, true, false) })
            }
            Button {
                objectName: "overwrite"
                text: qsTr("Overwrite")
                visible: dialog.shows(dialog.flagsGeneric)
                onClicked: dialog.answer(function (t) { dialog.pipeline.setPolicy(t, false, true) })
            }
            Button {
                objectName: "update"
                text: qsTr("Update if needed")
                visible: dialog.shows(dialog.flagsGeneric)
                onClicked: dialog.answer(function (t) { dialog.pipeline.setPolicy(t, true, true) })
            }
        }
    }
}
