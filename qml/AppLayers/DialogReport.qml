import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Dialogs 1.3 as Dialogs
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0

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

    // Opens the dialog with a fresh screenshot of the window behind it.
    function openDialog() {
        feedbackUploaded = false
        screenshot = windowToRip ? infoHarvester.captureWindow(windowToRip, "main") : ""
        infoHarvester.listReports()
        show()
        raise()
        requestActivate()
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
        }
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

    SystemPalette {
        id: colors
    }
    Rectangle {
        anchors.fill: parent
        color: colors.window
        border.color: colors.mid
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Label {
            text: reportDialog.title
            font.bold: true
            font.pixelSize: 18
        }
        Label { text: qsTr("What would you like to comment on?") }
        ComboBox {
            id: category
            objectName: "category"
            Layout.fillWidth: true
            model: [qsTr("Overall impression"), qsTr("Design"), qsTr("Image quality"), qsTr("Missing features"),
                qsTr("Speed and performance"), qsTr("Stability and reliability"), qsTr("Other")]
        }
        ScrollView {
            Layout.fillWidth: true
            Layout.preferredHeight: 120
            TextArea {
                id: summary
                objectName: "summary"
                placeholderText: qsTr("How can we make your experience better?")
                wrapMode: TextEdit.Wrap
            }
        }
        TextField {
            id: contact
            objectName: "contact"
            Layout.fillWidth: true
            placeholderText: qsTr("How can we contact you?")
            validator: RegularExpressionValidator {
                regularExpression: /\w+([-+.']\w+)*@\w+([-.]\w+)*\.\w+([-.]\w+)*/
            }
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            font.pixelSize: 11
            text: qsTr("All information you share is confidential and will only be used by Quelt to improve your product experience.")
        }
        CheckBox {
            id: addAppData
            objectName: "addAppData"
            text: qsTr("include application logs")
            onToggled: sensitiveStats.visible = checked && reportDialog.warnOnSensitive
        }
        Pane {
            id: sensitiveStats
            objectName: "sensitiveStats"
            visible: false
            Layout.fillWidth: true
            ColumnLayout {
                anchors.fill: parent
                Label {
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    text: qsTr("Application logs may include sensitive data about the history of your Ostra use, such as file paths, dates and times, and your Quelt camera serial number. They do NOT include your images or any graphic info. Include logs?")
                }
                RowLayout {
                    Button {
                        objectName: "sensitiveNo"
                        text: qsTr("No")
                        onClicked: {
                            addAppData.checked = false
                            sensitiveStats.visible = false
                        }
                    }
                    Button {
                        objectName: "sensitiveYes"
                        text: qsTr("Yes please")
                        onClicked: sensitiveStats.visible = false
                    }
                }
            }
        }
        RowLayout {
            CheckBox {
                id: addScrShot
                objectName: "addScrShot"
                text: qsTr("attach screenshot")
                checked: true
            }
            Image {
                id: screenFrame
                objectName: "screenFrame"
                Layout.preferredWidth: 96
                Layout.preferredHeight: 72
                fillMode: Image.PreserveAspectFit
                source: addScrShot.checked && reportDialog.screenshot.toString().length > 0
                    ? reportDialog.screenshot : "qrc:/logos/images/gray_4_3.png"
            }
        }
        CheckBox {
            id: addAddenda
            objectName: "addAddenda"
            text: qsTr("attach additional file")
        }
        RowLayout {
            enabled: addAddenda.checked
            Label { text: qsTr("Attach file:") }
            Button {
                text: qsTr("browse")
                onClicked: fileChooser.open()
            }
            Label {
                objectName: "attached"
                Layout.fillWidth: true
                elide: Text.ElideMiddle
                text: infoHarvester.files.join(", ")
            }
            Button {
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
            Button {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: reportDialog.close()
            }
            Button {
                objectName: "send"
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
        modal: true
        standardButtons: Dialog.Ok
        Label {
            text: oversizedFile.message
        }
    }
}
