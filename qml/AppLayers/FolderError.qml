import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0

// A session's folder could not be opened: try again once it is back, or give the
// session up.
Dialog {
    id: dialog

    property QtObject router: null
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    property QtObject logger: null
    property url target
    property QtObject history: null
    property var sessUuid
    property bool moreToDo: false
    property bool openedNow: false
    readonly property QtObject pipeline: logger ? logger : router

    title: qsTr("Folder error")
    modal: true
    anchors.centerIn: parent

    // A retry waits for the folder to be read again (off the GUI thread).
    property bool retrying: false

    TargetFolder {
        id: folder
        url: dialog.target
        volumes: dialog.volumes
        onAttributesRead: {
            if (dialog.retrying)
                dialog.retried()
        }
    }

    function retry() {
        retrying = true
        folder.queryAttributes()
    }

    // Offers the session's files again once its folder is there.
    function retried() {
        retrying = false
        if (!folder.exists)
            return
        if (history && pipeline)
            history.offerAll(pipeline.files(sessUuid), false)
        openedNow = true
        accept()
    }

    onClosed: retrying = false

    ColumnLayout {
        Label {
            text: qsTr("Can't open folder:")
        }
        Label {
            objectName: "folderPath"
            text: folder.path
            font.bold: true
        }
        RowLayout {
            Button {
                objectName: "cancel"
                text: qsTr("Cancel")
                onClicked: dialog.reject()
            }
            Button {
                objectName: "retry"
                text: qsTr("Retry")
                onClicked: dialog.retry()
            }
            Button {
                objectName: "dismissSession"
                text: qsTr("Dismiss session")
                onClicked: {
                    if (dialog.pipeline)
                        dialog.pipeline.dismiss(dialog.sessUuid)
                    dialog.accept()
                }
            }
        }
    }
}
