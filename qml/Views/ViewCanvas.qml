import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0

// One picture filling the window: wheel zooms, dragging pans, the bar crops, turns,
// mirrors and rates it; the strip above the bar holds the depth tools. Escape leaves a
// tool, then goes back.
FocusScope {
    id: view

    required property string location
    required property ImageLocator locator
    signal closed()

    Keys.onEscapePressed: {
        if (canvas.editorMode !== ImageEdit.None) {
            canvas.editorMode = ImageEdit.None
            return
        }
        view.closed()
    }

    Rectangle {
        anchors.fill: parent
        color: "#202020"
    }

    ImageEditItem {
        id: canvas
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: depthTools.top
        focus: true
        locator: view.locator
        location: view.location
    }

    // A file that cannot be opened as a picture: nothing to edit, and the reason.
    Text {
        anchors.centerIn: canvas
        visible: canvas.location !== "" && !canvas.captureKnown
        color: "#dfdfdf"
        font.pixelSize: 14
        text: qsTr("Ostra cannot open %1 as a picture.").arg(canvas.filePath)
    }

    ViewDepthTools {
        id: depthTools
        canvas: canvas
        enabled: canvas.captureKnown
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: bar.top
        height: implicitHeight
    }

    Rectangle {
        id: bar
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: 44
        color: "#2b2b2b"

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 8
            anchors.rightMargin: 8
            spacing: 6

            ToolButton {
                text: qsTr("back")
                onClicked: view.closed()
            }
            ToolButton {
                text: qsTr("crop")
                enabled: canvas.captureKnown
                checkable: true
                checked: canvas.editorMode === ImageEdit.Crop
                onClicked: {
                    if (checked) {
                        canvas.editorMode = ImageEdit.Crop
                    } else {
                        canvas.geometryEdits.applyCrop()
                        canvas.editorMode = ImageEdit.None
                    }
                }
            }
            ComboBox {
                id: ratio
                visible: canvas.editorMode === ImageEdit.Crop
                model: [qsTr("free"), "4:3", "3:4", "16:9", "9:16", "3:2", "2:3", "2:1", "1:2", "1:1"]
                onActivated: canvas.geometryEdits.setCropMode(index)
                Connections {
                    target: canvas.geometryEdits
                    function onResetCropMode() { ratio.currentIndex = 0 }
                }
            }
            ToolButton {
                text: qsTr("rotate left")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.rotateLeft()
            }
            ToolButton {
                text: qsTr("rotate right")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.rotateRight()
            }
            ToolButton {
                text: qsTr("flip horizontal")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.mirrorHorizontal()
            }
            ToolButton {
                text: qsTr("flip vertical")
                enabled: canvas.captureKnown
                onClicked: canvas.geometryEdits.mirrorVertical()
            }
            ToolButton {
                text: qsTr("reset")
                enabled: canvas.captureKnown && canvas.geometryEdits.hasEdits
                onClicked: canvas.resetGeometry()
            }
            Item {
                Layout.fillWidth: true
            }
            Repeater {
                model: 5
                ToolButton {
                    text: index < canvas.rating ? "\u2605" : "\u2606"
                    enabled: canvas.captureKnown
                    onClicked: canvas.rating = (canvas.rating === index + 1 ? 0 : index + 1)
                }
            }
            Label {
                text: canvas.fileName
                color: "white"
            }
        }
    }
}
