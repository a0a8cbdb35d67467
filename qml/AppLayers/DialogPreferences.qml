import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// The user's preferences: each box shows and writes one setting at once; "Revert all to
// default" puts every listed setting back to its default.
Dialog {
    id: preferences
    objectName: "preferences"

    // [key, label]; the fixes follow their introduction.
    readonly property var general: [
        ["RecurseIntoDirs", qsTr("Open every image in the folder and its subfolders")],
        ["CloseOnNewFiles", qsTr("Open one folder or image selection at a time.\nUnchecking will allow you to open multiple folders at once")],
        ["BackgroundIndex", qsTr("Quietly process images to speed up loading and save space.\nUncheck to only process images as they are edited or exported.")]
    ]
    readonly property var fixes: [
        ["FailSafeGpuConf", qsTr("Fix broken or black images")],
        ["FailSafeQsgConf", qsTr("Fix mouse pointer accuracy")],
        ["AvoidDrawPoints", qsTr("Fix brush stroke display in depth tools")],
        ["UseDefaultFonts", qsTr("Fix all unreadable text")]
    ]
    readonly property var hints: [
        ["FTU_DepthEffect", qsTr("Show how to use depth effect slider")],
        ["FTU_FocusPoint", qsTr("Show how to use focus tool")],
        ["FTU_RefineEdge", qsTr("Show how to use refine edge tool")],
        ["FTU_BlendArea", qsTr("Show how to use the blend area tool")],
        ["FTU_MatchDepth", qsTr("Show how to use match depth tool")]
    ]
    // Bumped when the settings change underneath the boxes.
    property int revision: 0

    function keys() {
        return general.concat(fixes, hints).map(function (entry) { return entry[0] })
    }

    function revertAll() {
        var all = keys()
        for (var i = 0; i < all.length; ++i)
            AppSettings.setFlag(all[i], AppSettings.defaultFlag(all[i]))
        revision += 1
    }

    modal: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(640, parent ? parent.width - 40 : 640)
    height: Math.min(implicitHeight, parent ? parent.height - 40 : implicitHeight)
    padding: 24
    onAboutToShow: revision += 1

    background: Rectangle {
        color: StyleConstants.dialogBackground
        border.color: StyleConstants.dialogAccent
        radius: 4
    }

    component SettingBox: ItemCheckBox {
        required property var modelData
        objectName: modelData[0]
        Layout.fillWidth: true
        text: modelData[1]
        checked: preferences.revision >= 0 && AppSettings.flag(modelData[0])
        onToggled: AppSettings.setFlag(modelData[0], checked)
    }

    contentItem: ColumnLayout {
        spacing: 10
        OstraTitle {
            text: qsTr("Preferences")
        }
        Flickable {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredHeight: boxes.implicitHeight
            contentHeight: boxes.implicitHeight
            clip: true
            ColumnLayout {
                id: boxes
                width: parent.width
                spacing: 6
                Repeater {
                    model: preferences.general
                    delegate: SettingBox {}
                }
                ItemLabel {
                    Layout.fillWidth: true
                    Layout.topMargin: 10
                    dim: true
                    text: qsTr("If you’re encountering an issue, check or uncheck the boxes below.\nRestart Ostra to apply.")
                }
                Repeater {
                    model: preferences.fixes
                    delegate: SettingBox {}
                }
                Item {
                    Layout.preferredHeight: 6
                }
                Repeater {
                    model: preferences.hints
                    delegate: SettingBox {}
                }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: StyleConstants.spacing
            ItemRoundButton {
                objectName: "revertAll"
                text: qsTr("Revert all to default")
                onClicked: preferences.revertAll()
            }
            Item {
                Layout.fillWidth: true
            }
            ItemRoundButton {
                objectName: "closeAndApply"
                primary: true
                text: qsTr("Close and apply")
                onClicked: preferences.close()
            }
        }
    }
}
