import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Dialogs 1.3 as Dialogs
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// The user's way to send feedback: collects the fields, attachments and a screenshot,
// commits the report and uploads every archive the harvester announces.
Window {
    id: reportDialog
    objectName: "reportDialog"
    flags: Qt.Dialog | Qt.FramelessWindowHint
    modality: Qt.ApplicationModal
    width: 560
    height: column.implicitHeight + 32
    title: qsTr("Send Quelt feedback")

    property ProgressModel progress: infoUploader.progress
    // The item whose window the screenshot and the GUI facts come from.
    property Item windowToRip: null
    property bool warnOnSensitive: true
    property bool feedbackUploaded: false
    property url trace
    property url screenshot
    readonly property bool contactValid: contact.text.length === 0 || contact.acceptableInput
    // What the user was last told about a report that did not go out.
    property string failureNote: ""
    // The reports whose failure the user has been told about (each once).
    property var failuresTold: ({})

    // Opens the dialog over the window behind it, with a fresh screenshot of that window.
    function openDialog() {
        feedbackUploaded = false
        screenshot = windowToRip ? infoHarvester.captureWindow(windowToRip, "main") : ""
        infoHarvester.listReports()
        var host = windowToRip ? windowToRip.Window.window : null
        if (host) {
            transientParent = host
            x = host.x + Math.max(0, (host.width - width) / 2)
            y = host.y + Math.max(0, (host.height - height) / 2)
        }
        show()
        raise()
        requestActivate()
    }

    // A dialog without a frame: Escape closes it, as "cancel" does (an open list of
    // categories takes it first).
    Shortcut {
        sequences: ["Escape", "Ctrl+W"]
        enabled: reportDialog.visible && !category.popup.visible
        onActivated: reportDialog.close()
    }

    // Closed, it hands the keyboard back to the window behind it, whose keys work again
    // at once (a desktop without a window manager would leave no window active).
    onVisibleChanged: {
        if (!visible && transientParent)
            transientParent.requestActivate()
    }

    // A report that could not be sent stays in the report folder; its steps are tried
    // again after a growing wait, and every time the dialog opens.
    function noteFailure(report, reason) {
        var key = report.toString()
        if (failuresTold[key])
            return
        failuresTold[key] = true
        failureNote = qsTr("Sending your feedback report failed (%1). The report is kept and will be sent later.")
                          .arg(reason)
        NotificationsManager.show(failureNote)
    }

    function send() {
        infoHarvester.addFeedback("category", category.currentText)
        infoHarvester.addFeedback("summary", summary.text)
        infoHarvester.addFeedback("contact", contact.text)
        if (windowToRip)
            infoHarvester.screen = windowToRip
        infoHarvester.commit()
        close()
    }

    InfoUploader {
        id: infoUploader
        objectName: "infoUploader"
        autoRemove: true
        onUploaded: {
            reportDialog.trace = trace
            reportDialog.feedbackUploaded = true
            delete reportDialog.failuresTold[trace.toString()]
        }
        onFailed: reportDialog.noteFailure(trace, reason)
    }
    DigestBackend {
        id: digestBackend
        objectName: "digestBackend"
        master: infoUploader
    }
    AmazonBackend {
        id: amazonBackend
        objectName: "amazonBackend"
        master: infoUploader
        domain: "s3.us-west-2.amazonaws.com"
        bucket: "ostra-reports"
        region: "us-west-2"
        partMb: 5
        backoff: { "stepMs": 1000, "factor": 2, "ceilMs": 300000 }
    }
    ZendeskBackend {
        id: zendeskBackend
        objectName: "zendeskBackend"
        master: infoUploader
        domain: "quelt.zendesk.com"
        ours: ["cb4d86340035380541688fc5e5a5baf8", "811be32baf1e419843ccb990b37d2ffb"]
        header: "Feedback: Type ${category} Version: ${appVersion} Platform: ${osPlatform}"
        author: "Anonymous customer"
        // A ticket only for feedback with something to read.
        enabled: summary.text.trim().length > 0
        backoff: { "stepMs": 1000, "factor": 2, "ceilMs": 300000 }
    }
    InfoHarvester {
        id: infoHarvester
        objectName: "infoHarvester"
        bugReportPrefix: "BugReport_"
        needScrShot: addScrShot.checked
        needAppData: addAppData.checked
        decimalKilo: 1024
        needAddenda: addAddenda.checked
        addVrxState: true
        sizeLimitMb: 20
        onNotifyOversized: {
            oversizedFile.sizeMb = size
            oversizedFile.limitMb = sizeLimit
            oversizedFile.open()
        }
        onNewReport: infoUploader.upload(report)
    }

    color: StyleConstants.dialogBackground
    Rectangle {
        anchors.fill: parent
        color: StyleConstants.dialogBackground
        border.color: StyleConstants.footerLine
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 6

        Label {
            objectName: "reportTitle"
            Layout.fillWidth: true
            text: reportDialog.title
            color: StyleConstants.mainTextHover
            font.family: StyleConstants.fontSemiBold
            font.pixelSize: StyleConstants.fontSizeTitle
            elide: Text.ElideRight
        }
        Label {
            Layout.fillWidth: true
            text: qsTr("What would you like to comment on?")
            color: StyleConstants.mainText
            font.pixelSize: StyleConstants.fontSizeNormal
            wrapMode: Text.Wrap
        }
        ComboBox {
            id: category
            objectName: "category"
            Layout.fillWidth: true
            model: [qsTr("Overall impression"), qsTr("Design"), qsTr("Image quality"), qsTr("Missing features"),
                qsTr("Speed and performance"), qsTr("Stability and reliability"), qsTr("Other")]
        }
        ScrollView {
            Layout.fillWidth: true
            Layout.preferredHeight: 96
            TextArea {
                id: summary
                objectName: "summary"
                placeholderText: qsTr("How can we make your experience better?")
                placeholderTextColor: StyleConstants.secondaryButtonHover
                color: StyleConstants.mainText
                selectionColor: StyleConstants.mainButtonPressed
                selectedTextColor: StyleConstants.mainTextHover
                wrapMode: TextEdit.Wrap
                background: Rectangle {
                    color: StyleConstants.dialogAccent
                    border.color: summary.activeFocus ? StyleConstants.mainButton : StyleConstants.footerLine
                }
            }
        }
        TextField {
            id: contact
            objectName: "contact"
            Layout.fillWidth: true
            placeholderText: qsTr("How can we contact you?")
            placeholderTextColor: StyleConstants.secondaryButtonHover
            color: StyleConstants.mainText
            selectionColor: StyleConstants.mainButtonPressed
            selectedTextColor: StyleConstants.mainTextHover
            validator: RegularExpressionValidator {
                regularExpression: /\w+([-+.']\w+)*@\w+([-.]\w+)*\.\w+([-.]\w+)*/
            }
            background: Rectangle {
                implicitHeight: 32
                color: StyleConstants.dialogAccent
                border.color: contact.activeFocus ? StyleConstants.mainButton : StyleConstants.footerLine
            }
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font.pixelSize: StyleConstants.fontSizeSmall
            color: StyleConstants.mainText
            text: qsTr("All information you share is confidential and will only be used by Quelt to improve your product experience.")
        }
        ItemCheckBox {
            id: addAppData
            objectName: "addAppData"
            Layout.fillWidth: true
            text: qsTr("include application logs")
            onToggled: sensitiveStats.visible = checked && reportDialog.warnOnSensitive
        }
        Pane {
            id: sensitiveStats
            objectName: "sensitiveStats"
            visible: false
            Layout.fillWidth: true
            padding: 10
            background: Rectangle {
                color: StyleConstants.dialogAccent
            }
            ColumnLayout {
                anchors.fill: parent
                spacing: 6
                Label {
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    color: StyleConstants.mainText
                    font.pixelSize: StyleConstants.fontSizeNormal
                    text: qsTr("Application logs may include sensitive data about the history of your Ostra use, such as file paths, dates and times, and your Quelt camera serial number. They do NOT include your images or any graphic info. Include logs?")
                }
                RowLayout {
                    DialogReportButton {
                        objectName: "sensitiveNo"
                        text: qsTr("No")
                        onClicked: {
                            addAppData.checked = false
                            sensitiveStats.visible = false
                        }
                    }
                    DialogReportButton {
                        objectName: "sensitiveYes"
                        primary: true
                        text: qsTr("Yes please")
                        onClicked: sensitiveStats.visible = false
                    }
                }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            ItemCheckBox {
                id: addScrShot
                objectName: "addScrShot"
                Layout.fillWidth: true
                text: qsTr("attach screenshot")
                checked: true
            }
            Image {
                id: screenFrame
                objectName: "screenFrame"
                Layout.preferredWidth: 80
                Layout.preferredHeight: 60
                fillMode: Image.PreserveAspectFit
                source: addScrShot.checked && reportDialog.screenshot.toString().length > 0
                    ? reportDialog.screenshot : "qrc:/logos/images/gray_4_3.png"
            }
        }
        ItemCheckBox {
            id: addAddenda
            objectName: "addAddenda"
            Layout.fillWidth: true
            text: qsTr("attach additional file")
        }
        RowLayout {
            Layout.fillWidth: true
            enabled: addAddenda.checked
            Label {
                text: qsTr("Attach file:")
                font.pixelSize: StyleConstants.fontSizeNormal
                color: enabled ? StyleConstants.mainText : StyleConstants.disabledText
            }
            DialogReportButton {
                text: qsTr("browse")
                onClicked: fileChooser.open()
            }
            Label {
                objectName: "attached"
                Layout.fillWidth: true
                elide: Text.ElideMiddle
                font.pixelSize: StyleConstants.fontSizeNormal
                color: StyleConstants.mainText
                text: infoHarvester.files.join(", ")
            }
            DialogReportButton {
                text: qsTr("remove")
                visible: infoHarvester.hasFiles
                onClicked: {
                    infoHarvester.needAddenda = false
                    infoHarvester.needAddenda = Qt.binding(function() { return addAddenda.checked })
                }
            }
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            DialogReportButton {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: reportDialog.close()
            }
            DialogReportButton {
                objectName: "send"
                primary: true
                text: qsTr("send")
                enabled: reportDialog.contactValid
                onClicked: reportDialog.send()
            }
        }
    }

    Dialogs.FileDialog {
        id: fileChooser
        title: qsTr("Attachment")
        folder: shortcuts.home
        onAccepted: infoHarvester.userFile = fileUrl
    }

    Dialog {
        id: oversizedFile
        objectName: "oversizedFile"
        property int sizeMb: 0
        property int limitMb: 0
        readonly property string message: qsTr("File size (%1 Mb) exceeds the allowed size limit (%2 Mb)").arg(sizeMb).arg(limitMb)
        title: qsTr("Can't attach")
        anchors.centerIn: parent
        width: Math.min(420, reportDialog.width - 40)
        modal: true
        standardButtons: Dialog.Ok
        Label {
            width: oversizedFile.availableWidth
            wrapMode: Text.Wrap
            text: oversizedFile.message
        }
    }
}
