import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// Where the chosen camera items go and what happens after: the folder (created when
// needed), the space they need against the space free there, whether they leave the
// camera and whether they open in the gallery once imported.
DialogWindow {
    id: dialog

    // The folder the items go to (native path).
    property string folderPath: ""
    // Bytes the chosen items need.
    property real estimatedSpace: 0
    // What is imported (the capture model or the videos' view); given by the opener.
    property var model: null
    readonly property alias folder: target
    property QtObject history: null
    // The mounted volumes (Volumes) the destination folder is looked up among.
    property QtObject volumes: null
    // A line that tells what is imported ("12 items selected").
    property string labelStats: ""
    readonly property bool openedNow: visible
    // Free bytes where the folder is (or will be); -1 unknown.
    property real spaceFree: -1
    // Whether the folder (or the nearest folder above it that exists) may be written, as
    // last read off the GUI thread; taken as writable until read.
    property bool folderWritable: true
    // The folder being made before the import starts; "" when none is.
    property string creating: ""
    // The items were found not to fit and the user is asked whether to start all the same.
    property bool askedSpace: false

    signal deselectAll
    signal importSelected(bool removeAfterward, bool showFiles)

    title: qsTr("Import items")
    width: 460
    height: content.implicitHeight + 2 * StyleConstants.margin * 2

    // Shows the dialog for items that need `space` bytes.
    function openFor(space) {
        estimatedSpace = space
        askedSpace = false
        if (folderPath === "" && AppSettings)
            folderPath = AppSettings.defaultImport()
        recheckSpace()
        showOverOwner()
    }

    // The answer comes later (the volume is read off the GUI thread); until then the
    // figure last known stands.
    function recheckSpace() {
        if (folderPath === "")
            spaceFree = -1
        else
            Utils.askSpaceFree(folderPath, volumes)
    }

    function chooseFolder() {
        var chosen = Utils.openFolder(qsTr("Choose folder"), folderPath)
        if (chosen !== "")
            folderPath = chosen
    }

    // Makes the folder when it is missing (off the GUI thread); once it is there, the
    // options are handed over.
    function startImport() {
        creating = folderPath
        Utils.askCreatePath(folderPath)
    }

    function folderCreated(created) {
        creating = ""
        if (!created) {
            NotificationsManager.show(qsTr("Cannot create specified path."))
            return
        }
        target.queryAttributes()
        askedSpace = false
        close()
        importSelected(deleteAfterTransfer.checked, openImmediately.checked)
        deselectAll()
    }

    // What does not fit is said first; a second click starts the import all the same.
    function confirmImport() {
        recheckSpace()
        if (!spaceBar.fits && !askedSpace)
            askedSpace = true
        else
            startImport()
    }

    onFolderPathChanged: {
        askedSpace = false
        spaceFree = -1
        folderWritable = true
        creating = ""
        recheckSpace()
        if (folderPath !== "")
            Utils.askDirWritable(folderPath)
    }
    // A folder still being made when the dialog closes, or another is chosen, is not
    // imported into.
    onVisibleChanged: creating = ""

    Connections {
        target: Utils
        function onSpaceFreeKnown(path, bytes) {
            if (path === dialog.folderPath)
                dialog.spaceFree = bytes
        }
        function onDirWritableKnown(path, writable) {
            if (path === dialog.folderPath)
                dialog.folderWritable = writable
        }
        function onPathCreated(path, created) {
            if (dialog.creating !== "" && path === dialog.creating)
                dialog.folderCreated(created)
        }
    }

    // The keys of a dialog without a frame: Escape cancels, Return starts the import as
    // the button does.
    Shortcut {
        sequences: ["Escape", "Ctrl+W"]
        enabled: dialog.visible
        onActivated: dialog.close()
    }
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: dialog.visible && startButton.enabled
        onActivated: dialog.confirmImport()
    }

    TargetFolder {
        id: target
        path: dialog.folderPath
        volumes: dialog.volumes
        onFreeSpaceChanged: dialog.recheckSpace()
    }

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.margins: StyleConstants.margin * 2
        spacing: StyleConstants.spacing * 2

        OstraTitle {
            text: qsTr("import")
        }
        ItemLabel {
            visible: dialog.labelStats !== ""
            text: dialog.labelStats
            dim: true
        }
        ColumnLayout {
            spacing: 4
            ItemLabel {
                text: qsTr("save to")
                dim: true
            }
            Text {
                id: folderName
                objectName: "folderName"
                Layout.fillWidth: true
                text: dialog.folderPath
                elide: Text.ElideLeft
                color: folderArea.containsMouse ? StyleConstants.mainButtonHover : StyleConstants.mainText
                font.family: StyleConstants.fontRegular
                font.pixelSize: StyleConstants.fontSizeNormal
                ToolTip.visible: folderArea.containsMouse
                ToolTip.text: qsTr("Choose folder")
                MouseArea {
                    id: folderArea
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: dialog.chooseFolder()
                }
            }
            ItemLabel {
                objectName: "notWritable"
                Layout.fillWidth: true
                visible: !dialog.folderWritable
                text: qsTr("Apparently, the chosen folder might not be writable")
                color: "#e04040"
            }
        }
        ColumnLayout {
            spacing: 4
            ItemLabel {
                text: qsTr("disk space")
                dim: true
            }
            SpaceBar {
                id: spaceBar
                objectName: "spaceBar"
                Layout.fillWidth: true
                requested: dialog.estimatedSpace
                available: dialog.spaceFree
            }
            ItemLabel {
                objectName: "doesNotFit"
                Layout.fillWidth: true
                visible: dialog.askedSpace
                wrapMode: Text.Wrap
                text: qsTr("The selected items do not fit in the space free there. Start the import anyway?")
                color: "#e04040"
            }
        }
        ItemCheckBox {
            id: deleteAfterTransfer
            objectName: "deleteAfterTransfer"
            Layout.fillWidth: true
            text: qsTr("delete items from camera after import")
        }
        ItemCheckBox {
            id: openImmediately
            objectName: "openImmediately"
            Layout.fillWidth: true
            text: qsTr("open imported items immediately")
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: StyleConstants.spacing
            ItemRoundButton {
                objectName: "cancel"
                text: qsTr("cancel")
                onClicked: dialog.close()
            }
            ItemRoundButton {
                id: startButton
                objectName: "startImport"
                primary: true
                text: dialog.askedSpace ? qsTr("import anyway") : qsTr("start import")
                enabled: dialog.folderPath !== "" && dialog.creating === ""
                onClicked: dialog.confirmImport()
            }
        }
        NotificationsView {
            Layout.fillWidth: true
            Layout.preferredHeight: contentHeight
        }
    }
}
