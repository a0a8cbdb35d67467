import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0

// The depth tools of a canvas: refocus, brush, edge and surface heal, quick select and
// lasso, the brush size, the depth of field, apply, undo, redo and reset.
Rectangle {
    id: strip

    required property ImageEditItem canvas

    implicitHeight: 40
    color: "#262626"

    function chooseTool(mode) {
        strip.canvas.editorMode = (strip.canvas.editorMode === mode ? ImageEdit.None : mode)
        if (strip.canvas.editorMode === ImageEdit.Refocus)
            strip.canvas.renderMode = ImageEdit.RefocusPoint
        else if (strip.canvas.editorMode === ImageEdit.DepthEditingQuickSelect)
            strip.canvas.renderMode = ImageEdit.QuickSelect
        if (strip.canvas.hasPanel)
            strip.canvas.pickerMode = (mode === ImageEdit.DepthEditingLasso ? ImageEdit.Segmented
                                                                           : ImageEdit.Trajectory)
    }

    Shortcut {
        sequences: [StandardKey.Undo]
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.canvas.undoDepthEdit()
    }
    Shortcut {
        sequences: [StandardKey.Redo, "Ctrl+Y"]
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.canvas.redoDepthEdit()
    }
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: strip.canvas.hasClosedEditArea && strip.canvas.hasReferencePoint
        onActivated: strip.canvas.applyDepthEdit()
    }
    Shortcut {
        sequence: "["
        enabled: strip.canvas.hasPanel
        onActivated: strip.canvas.brushSize = strip.canvas.brushSize - 1
    }
    Shortcut {
        sequence: "]"
        enabled: strip.canvas.hasPanel
        onActivated: strip.canvas.brushSize = strip.canvas.brushSize + 1
    }
    Shortcut {
        sequence: "F"
        enabled: strip.canvas.hasDepth
        onActivated: strip.chooseTool(ImageEdit.Refocus)
    }
    Shortcut {
        sequence: "B"
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.chooseTool(ImageEdit.DepthEditingBrush)
    }
    Shortcut {
        sequence: "E"
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.chooseTool(ImageEdit.DepthEditingEdgeHeal)
    }
    Shortcut {
        sequence: "S"
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.chooseTool(ImageEdit.DepthEditingSurfHeal)
    }
    Shortcut {
        sequence: "Q"
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.chooseTool(ImageEdit.DepthEditingQuickSelect)
    }
    Shortcut {
        sequence: "L"
        enabled: strip.canvas.hasDepthTools
        onActivated: strip.chooseTool(ImageEdit.DepthEditingLasso)
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        spacing: 4

        Repeater {
            model: [
                { mode: ImageEdit.Refocus, text: qsTr("refocus (F)") },
                { mode: ImageEdit.DepthEditingBrush, text: qsTr("brush (B)") },
                { mode: ImageEdit.DepthEditingEdgeHeal, text: qsTr("edge heal (E)") },
                { mode: ImageEdit.DepthEditingSurfHeal, text: qsTr("surface heal (S)") },
                { mode: ImageEdit.DepthEditingQuickSelect, text: qsTr("quick select (Q)") },
                { mode: ImageEdit.DepthEditingLasso, text: qsTr("lasso (L)") }
            ]
            ToolButton {
                required property var modelData
                text: modelData.text
                checkable: true
                enabled: modelData.mode === ImageEdit.Refocus ? strip.canvas.hasDepth
                                                              : strip.canvas.hasDepthTools
                checked: strip.canvas.editorMode === modelData.mode
                onClicked: strip.chooseTool(modelData.mode)
            }
        }
        ToolButton {
            text: qsTr("pick depth")
            visible: strip.canvas.hasPanel && strip.canvas.editorMode !== ImageEdit.DepthEditingEdgeHeal
                     && strip.canvas.editorMode !== ImageEdit.DepthEditingSurfHeal
            checkable: true
            checked: strip.canvas.pickerMode === ImageEdit.Reference
            onClicked: strip.canvas.pickerMode = checked ? ImageEdit.Reference
                                                         : (strip.canvas.hasLasso ? ImageEdit.Segmented
                                                                                  : ImageEdit.Trajectory)
        }
        ToolButton {
            text: qsTr("add")
            visible: strip.canvas.editorMode === ImageEdit.DepthEditingQuickSelect
            checkable: true
            checked: strip.canvas.quickAdd
            onClicked: strip.canvas.quickAdd = checked
        }
        ToolButton {
            text: qsTr("apply")
            visible: strip.canvas.hasPanel
            enabled: strip.canvas.hasClosedEditArea && strip.canvas.hasReferencePoint
            onClicked: strip.canvas.applyDepthEdit()
        }
        Label {
            text: qsTr("size")
            color: "white"
            visible: strip.canvas.hasPanel
        }
        Slider {
            visible: strip.canvas.hasPanel
            from: strip.canvas.minBrushSize
            to: strip.canvas.maxBrushSize
            value: strip.canvas.brushSize
            onMoved: strip.canvas.brushSize = value
            Layout.preferredWidth: 120
        }
        Label {
            text: qsTr("depth of field")
            color: "white"
            visible: strip.canvas.hasDepthRange
        }
        Slider {
            visible: strip.canvas.hasDepthRange
            from: strip.canvas.minDOF
            to: strip.canvas.maxDOF
            value: strip.canvas.dof
            onMoved: strip.canvas.dof = value
            Layout.preferredWidth: 160
        }
        BusyIndicator {
            running: strip.canvas.updatingDepth
            visible: running
            Layout.preferredHeight: 28
        }
        Item {
            Layout.fillWidth: true
        }
        ToolButton {
            text: qsTr("undo")
            enabled: strip.canvas.hasDepthTools
            onClicked: strip.canvas.undoDepthEdit()
        }
        ToolButton {
            text: qsTr("redo")
            enabled: strip.canvas.hasDepthTools
            onClicked: strip.canvas.redoDepthEdit()
        }
        ToolButton {
            text: qsTr("reset depth")
            enabled: strip.canvas.hasDepthTools && strip.canvas.hasDepthEdits
            onClicked: strip.canvas.resetDepthEdits()
        }
    }
}
