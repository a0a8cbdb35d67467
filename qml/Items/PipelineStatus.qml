import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0

// The window's import indicator: a ring that fills as the imports progress, and on a
// click the list of import sessions with their progress, age and actions.
Item {
    id: status

    property QtObject router: null
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    property QtObject logger: null
    property QtObject history: null
    property bool openedNow: false
    property bool failedDir: false
    property url folderUrl
    property var sessUuid
    property bool moreToDo: false
    readonly property QtObject pipeline: logger ? logger : router
    readonly property ProgressModel overall: router ? router.progressModel : null
    readonly property real prettyProgress: overall ? overall.value : 0
    property int itemsOut: 0
    property int itemsAll: 0
    readonly property bool isActive: router ? router.activityCount > 0 : false
    readonly property int sequenceCount: router ? router.sequenceCount : 0
    property date now: new Date()
    readonly property alias sessionsPopup: popup
    // The words and radices of the ages and times left: the largest unit only.
    readonly property var timeUnits: [qsTr("second"), qsTr("minute"), qsTr("hour"), qsTr("day")]
    readonly property var timePlurals: [qsTr("seconds"), qsTr("minutes"), qsTr("hours"), qsTr("days")]
    readonly property var timeRadices: [1000, 60, 60, 24]
    readonly property var timeScales: [0, 1, 2, 3]

    implicitWidth: 32
    implicitHeight: 32

    // The line of an import under way; the time left only once there is one to tell (under a
    // second it has no words).
    function importingText(itemsOut, itemsAll, timeLeft) {
        return qsTr("Importing item") + " " + (itemsOut + 1) + " " + qsTr("of") + " " + itemsAll
            + (timeLeft ? ", " + timeLeft : "")
    }

    Timer {
        interval: 30000
        repeat: true
        running: popup.visible
        onTriggered: status.now = new Date()
    }

    Canvas {
        id: ring
        anchors.fill: parent
        property real value: status.prettyProgress
        property color arcColor: status.isActive ? "steelblue" : "gray"
        onValueChanged: requestPaint()
        onArcColorChanged: requestPaint()
        onPaint: {
            var ctx = getContext("2d")
            var r = Math.min(width, height) / 2 - 3
            ctx.reset()
            ctx.lineWidth = 3
            ctx.strokeStyle = "#404040"
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, r, 0, 2 * Math.PI)
            ctx.stroke()
            ctx.strokeStyle = arcColor
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, r, -Math.PI / 2, -Math.PI / 2 + 2 * Math.PI * value)
            ctx.stroke()
        }
    }
    Rectangle {
        width: 8
        height: 8
        radius: 4
        anchors.centerIn: parent
        color: status.isActive ? "steelblue" : "transparent"
    }
    MouseArea {
        anchors.fill: parent
        onClicked: popup.open()
    }

    Popup {
        id: popup
        objectName: "sessionsPopup"
        // Below the indicator, its right edge at the indicator's (which stands at the
        // window's right edge), and kept inside the window.
        x: status.width - width
        y: status.height
        margins: 4
        width: 420
        padding: 8

        ColumnLayout {
            width: parent.width
            Button {
                objectName: "dismissCompleted"
                text: qsTr("dismiss all completed")
                flat: true
                onClicked: {
                    var done = []
                    for (var i = 0; i < rows.count; ++i) {
                        var row = rows.itemAt(i)
                        if (row && row.isClient && row.filesOut === row.filesAll)
                            done.push(row.sessUuid)
                    }
                    for (var j = 0; j < done.length; ++j)
                        status.pipeline.dismiss(done[j])
                }
            }
            Repeater {
                id: rows
                model: status.router ? status.router.model : null
                delegate: ColumnLayout {
                    id: row
                    objectName: "sessionRow"
                    readonly property var sessUuid: model.sessUuid
                    readonly property bool isClient: model.isClient
                    readonly property int filesOut: model.filesOut
                    readonly property int filesAll: model.filesAll
                    readonly property bool finished: model.filesOut === model.filesAll
                    readonly property color errorColor: (model.errFlags & TicketsRecord.NoSpace) ? "red"
                                                      : (model.errFlags & TicketsRecord.IOPause) ? "darkorange" : "white"
                    visible: isClient
                    Layout.fillWidth: true

                    // "open" waits for the folder to be read again (off the GUI thread).
                    property bool reoffering: false
                    function reoffer() {
                        reoffering = false
                        if (!folder.exists) {
                            status.failedDir = true
                            status.folderUrl = model.commRoot
                            status.sessUuid = row.sessUuid
                            status.moreToDo = !row.finished
                            return
                        }
                        status.history.offerAll(status.pipeline.files(row.sessUuid), false)
                        status.openedNow = true
                    }

                    TargetFolder {
                        id: folder
                        url: model.commRoot
                        volumes: status.volumes
                        onAttributesRead: {
                            if (row.reoffering)
                                row.reoffer()
                        }
                    }
                    TimeLeft {
                        id: left
                        progressModel: status.router && row.isClient ? status.router.footprint(row.sessUuid) : null
                        started: !row.finished
                        units: status.timeUnits
                        plurals: status.timePlurals
                        radices: status.timeRadices
                        scales: status.timeScales
                    }
                    TimeSince {
                        id: since
                        units: status.timeUnits
                        plurals: status.timePlurals
                        radices: status.timeRadices
                        scales: status.timeScales
                        startDate: model.dateTime
                        endDate: status.now
                    }
                    Label {
                        objectName: "rootName"
                        text: model.rootName
                        font.bold: true
                        elide: Text.ElideMiddle
                        color: row.errorColor
                        Layout.fillWidth: true
                        MouseArea {
                            anchors.fill: parent
                            onClicked: Qt.openUrlExternally(model.commRoot)
                        }
                    }
                    Label {
                        objectName: "stateText"
                        text: model.isCancel ? qsTr("cancelling...")
                            : row.finished ? model.itemsOut + " " + qsTr("items imported") + ", "
                                             + (!since.known ? qsTr("unknown time")
                                                : since.remaining === "" ? qsTr("just now")
                                                : since.remaining + " " + qsTr("ago"))
                            : !model.isActive ? qsTr("Waiting to import") + " " + model.itemsAll + " " + qsTr("items")
                            : model.itemsOut < model.itemsAll ? status.importingText(model.itemsOut, model.itemsAll, left.known ? left.remaining : "")
                            : qsTr("indexing content...")
                    }
                    ProgressBar {
                        from: 0
                        to: Math.max(1, model.bytesAll)
                        value: model.bytesOut
                        Layout.fillWidth: true
                    }
                    RowLayout {
                        Button {
                            objectName: "retry"
                            text: qsTr("retry")
                            flat: true
                            visible: !row.finished && model.errFlags !== 0
                            onClicked: status.pipeline.setLive(row.sessUuid, true)
                        }
                        Button {
                            objectName: "resume"
                            text: qsTr("resume")
                            flat: true
                            visible: !row.finished && !model.isActive && model.errFlags === 0
                            onClicked: status.pipeline.setLive(row.sessUuid, true)
                        }
                        Button {
                            objectName: "cancel"
                            text: row.finished ? qsTr("dismiss") : qsTr("cancel")
                            flat: true
                            visible: !model.isCancel
                            onClicked: status.pipeline.dismiss(row.sessUuid)
                        }
                        Button {
                            objectName: "reoffer"
                            text: qsTr("open")
                            flat: true
                            visible: row.finished && status.history !== null
                            onClicked: {
                                row.reoffering = true
                                folder.queryAttributes()
                            }
                        }
                    }
                }
            }
            Label {
                text: qsTr("Completed imports are kept for 30 days here")
                font.pixelSize: 10
                opacity: 0.7
            }
        }
    }
}
