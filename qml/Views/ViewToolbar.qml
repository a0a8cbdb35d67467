import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Items"

// The editor's left column: the depth effect and the depth tools with their first-use
// tutorials, and the tuning presets.
ColumnLayout {
    id: toolbar

    required property ImageEditItem imageEditor
    property GeometryEdits geometryEdits: null
    // The match-depth applicator: 0 lasso, 1 free lasso, 2 quick select.
    property int matchTool: 0

    // A text for the page's notifications.
    signal notify(string text)
    signal createPreset()

    spacing: 2

    readonly property var tutorials: ({
        depthEffect: {
            images: ["depthfocus-1-2x.jpg", "depthfocus-2-2x.jpg"],
            texts: [qsTr("Make your subject stand out. Move the slider to adjust f-stop and create an artistic blur."),
                qsTr("After you’ve applied depth effect, you’ll have access to other depth editing tools for further adjustments.")]
        },
        focusPoint: {
            images: ["depthfocus-3-2x.jpg", "depthfocus-4-2x.jpg", "depthfocus-5-2x.jpg", "depthfocus-6-2x.jpg",
                "depthfocus-7-2x.jpg"],
            texts: [qsTr("Sometimes, applying depth effect can make your subject appear blurry. Use this tool to adjust the focus of your subject and make a soft focal point sharp again."),
                qsTr("When you click the focus button, a gray mask may appear over parts of your image. The shaded area was not in focus when you captured and cannot be in focus with depth effect applied."),
                qsTr("The unshaded area represents the area you originally focused on when you took the photo. If your subject is shaded, that means that your subject was not in focus when you took the photo."),
                qsTr("Now click on a point you’d like to adjust to be in focus. Remember: you can only adjust the focus in unshaded regions. "),
                qsTr("Once you’ve chosen a new focal point, a white circle should appear, indicating your focus adjustment has been applied.")]
        },
        refineEdge: {
            images: ["refine_edge-1.jpg", "refine_edge-2.jpg", "refine_edge-3.jpg", "refine_edge-4.jpg"],
            texts: [qsTr("Adjusting depth effect can occasionally create inconsistent edges on larger, in-focus objects, like hair. Use this tool to make jagged boundaries smooth."),
                qsTr("First, zoom in on an inconsistent edge you’d like to repair. Choose a brush size to cover the inconsistent edge, as well as the object’s foreground and background."),
                qsTr("Then drag the brush over the area you’d like to fix."),
                qsTr("Once you let go of the cursor, your jagged edge will be smooth again.")]
        },
        blendArea: {
            images: ["blendarea-1-2x.jpg", "blendarea-2-2x.jpg", "blendarea-3-2x.jpg", "blendarea-4-2x.jpg"],
            texts: [qsTr("Sometimes, there may be inconsistent blur in your photos, especially those of roads, walls, or tables that stretch across multiple depths. Use this tool to smooth the transitions between depth gradients."),
                qsTr("Start by zooming in on the inconsistent area or object. Pick a brush size that’s big enough to cover both the inconsistent part and the surrounding region."),
                qsTr("Paint a boundary around the inconsistent blur and then fill it in. Our tool will pull depth gradients from both consistent and inconsistent areas and then average them together."),
                qsTr("When you let go of your cursor, the average depth gradient will be applied to the selected area, giving it a more fluid appearance.")]
        },
        matchDepth: {
            images: ["matchdepth-1-2x.jpg", "matchdepth-2-2x.jpg", "matchdepth-3-2x.jpg", "matchdepth-4-2x.jpg",
                "matchdepth-5-2x.jpg", "matchdepth-6-2x.jpg"],
            texts: [qsTr("This tool lets you apply the same level of depth to separate areas of your photo."),
                qsTr("Click the button on the left and choose which applicator you’d like to use. Then adjust its size by clicking the number next to the applicator tool."),
                qsTr("Then select or paint the area you’d like to change. After a few seconds, a pink mask should appear over your selected area."),
                qsTr("To remove parts of your selection, click the “-” tool and paint the area you’d like to take away."),
                qsTr("Once you’re finished refining your selected area, click on the eyedropper tool and choose a point in the image where you’d like to match the depth."),
                qsTr("The area should automatically be updated with the new depth. Try out different depths until you’ve found one you like. Then click the button to apply.")]
        }
    })

    function openTutorial(name) {
        // The first page before the new pages: a later page of the previous tutorial may
        // lie beyond the new one's pictures.
        tutorial.page = 0
        tutorial.pages = tutorials[name]
        tutorial.open()
    }

    // Shows a tool's tutorial the first time the tool is chosen.
    function firstUse(ftu, name) {
        if (AppSettings && AppSettings.displayNow(ftu))
            openTutorial(name)
    }

    // The match-depth tool as the applicator chooser sets it.
    function matchMode() {
        return matchTool === 2 ? ImageEdit.DepthEditingQuickSelect : ImageEdit.DepthEditingLasso
    }

    // Chooses a tool (or leaves it when it is chosen already); the other tools uncheck.
    function chooseTool(mode, picker) {
        var editor = toolbar.imageEditor
        if (editor.editorMode === mode) {
            editor.editorMode = ImageEdit.None
            editor.renderMode = ImageEdit.Normal
            return
        }
        editor.editorMode = mode
        editor.renderMode = mode === ImageEdit.Refocus && focalRegion.checked ? ImageEdit.RefocusPoint
                          : mode === ImageEdit.DepthEditingQuickSelect ? ImageEdit.QuickSelect : ImageEdit.Normal
        editor.pickerMode = picker
        uncheckUnmatching()
    }

    // A tool chosen from the window's menu, as a click on its button.
    function clickTool(name) {
        var rows = { focusAdjust: focusAdjust, refineEdge: refineEdge, blendArea: blendArea, matchDepth: matchDepth }
        var row = rows[name]
        if (row && row.enabled) {
            row.checked = !row.checked
            row.chosen()
        }
    }

    function toggleFocalRegion() {
        if (!focalRegion.enabled)
            return
        focalRegion.toggle()
        focalRegion.toggled()
    }

    function uncheckUnmatching() {
        var mode = toolbar.imageEditor.editorMode
        focusAdjust.checked = mode === ImageEdit.Refocus
        refineEdge.checked = mode === ImageEdit.DepthEditingEdgeHeal
        blendArea.checked = mode === ImageEdit.DepthEditingSurfHeal
        matchDepth.checked = mode === ImageEdit.DepthEditingLasso || mode === ImageEdit.DepthEditingQuickSelect
    }

    Connections {
        target: toolbar.imageEditor
        function onEditorModeChanged() { toolbar.uncheckUnmatching() }
    }

    // Applies a tuning preset to the open picture.
    function applyPreset(preset) {
        var properties = toolbar.imageEditor.properties
        if (!toolbar.imageEditor.captureKnown || !properties)
            return
        preset.cleanPatchProgress()
        properties.applyPatch(preset)
        toolbar.notify(preset.patchSkippedCropsCount() !== 0 ? qsTr("Preset applied. Crop property was skipped.")
                                                            : qsTr("Preset applied"))
    }

    component SectionTitle: RowLayout {
        id: title
        property string text
        property bool expanded: true
        property bool resettable: false
        property bool resetEnabled: true
        signal reset()
        Layout.fillWidth: true
        Layout.topMargin: 6
        ToolButton {
            Layout.fillWidth: true
            font.bold: true
            text: (title.expanded ? "\u25be " : "\u25b8 ") + title.text
            onClicked: title.expanded = !title.expanded
            contentItem: Text {
                text: parent.text
                font: parent.font
                color: "#dfdfdf"
            }
        }
        ToolButton {
            visible: title.resettable
            enabled: title.resetEnabled
            text: qsTr("reset")
            onClicked: title.reset()
        }
    }

    component ToolRow: RowLayout {
        id: tool
        property alias text: button.text
        property alias iconSource: button.icon.source
        property alias checked: button.checked
        property string tutorialName
        signal chosen()
        Layout.fillWidth: true
        Layout.leftMargin: 8
        ToolButton {
            id: button
            Layout.fillWidth: true
            checkable: true
            icon.color: "transparent"
            display: AbstractButton.TextBesideIcon
            onClicked: tool.chosen()
        }
        ToolButton {
            icon.source: "qrc:/controls/images/help.png"
            icon.color: "transparent"
            onClicked: toolbar.openTutorial(tool.tutorialName)
        }
    }

    SectionTitle {
        id: depthTitle
        text: qsTr("DEPTH")
        resettable: true
        resetEnabled: toolbar.imageEditor.hasDepthEdits
        onReset: toolbar.imageEditor.resetDepthEdits()
    }
    ColumnLayout {
        visible: depthTitle.expanded
        enabled: toolbar.imageEditor.captureKnown
        Layout.fillWidth: true
        RowLayout {
            Layout.leftMargin: 8
            Image {
                source: "qrc:/brushes/images/depthEffect.png"
                sourceSize: Qt.size(24, 24)
            }
            Text {
                text: qsTr("depth effect")
                color: "#dfdfdf"
                Layout.fillWidth: true
            }
            Text {
                text: qsTr("f/") + Math.round(toolbar.imageEditor.dof)
                color: "#dfdfdf"
            }
            ToolButton {
                objectName: "depthHelp"
                icon.source: "qrc:/controls/images/help.png"
                icon.color: "transparent"
                onClicked: toolbar.openTutorial("depthEffect")
            }
        }
        OstraSlider {
            id: depthSlider
            objectName: "depthSlider"
            Layout.fillWidth: true
            Layout.leftMargin: 8
            enabled: toolbar.imageEditor.hasDepthRange
            from: toolbar.imageEditor.minDOF
            to: toolbar.imageEditor.maxDOF
            onMoved: toolbar.imageEditor.dof = value
            Binding on value {
                value: toolbar.imageEditor.dof
            }
            onPressedChanged: {
                if (pressed)
                    toolbar.firstUse(AppSettings.FTU_DepthEffect, "depthEffect")
            }
        }
        ToolRow {
            id: focusAdjust
            objectName: "focusAdjust"
            text: qsTr("focus adjust")
            iconSource: "qrc:/brushes/images/focusAdjust.png"
            tutorialName: "focusPoint"
            enabled: toolbar.imageEditor.hasDepth
            onChosen: {
                toolbar.chooseTool(ImageEdit.Refocus, ImageEdit.Reference)
                if (checked)
                    toolbar.firstUse(AppSettings.FTU_FocusPoint, "focusPoint")
            }
        }
        CheckBox {
            id: focalRegion
            objectName: "showFocalRegion"
            Layout.leftMargin: 16
            text: qsTr("show focal region")
            checked: true
            enabled: focusAdjust.checked
            onToggled: toolbar.imageEditor.renderMode = checked ? ImageEdit.RefocusPoint : ImageEdit.Normal
        }
        ToolRow {
            id: refineEdge
            objectName: "refineEdge"
            text: qsTr("refine edge")
            iconSource: "qrc:/brushes/images/refineEdge.png"
            tutorialName: "refineEdge"
            enabled: toolbar.imageEditor.hasDepthTools
            onChosen: {
                toolbar.chooseTool(ImageEdit.DepthEditingEdgeHeal, ImageEdit.Trajectory)
                if (checked)
                    toolbar.firstUse(AppSettings.FTU_RefineEdge, "refineEdge")
            }
        }
        ToolRow {
            id: blendArea
            objectName: "blendArea"
            text: qsTr("blend area")
            iconSource: "qrc:/brushes/images/blendArea.png"
            tutorialName: "blendArea"
            enabled: toolbar.imageEditor.hasDepthTools
            onChosen: {
                toolbar.chooseTool(ImageEdit.DepthEditingSurfHeal, ImageEdit.Trajectory)
                if (checked)
                    toolbar.firstUse(AppSettings.FTU_BlendArea, "blendArea")
            }
        }
        ToolRow {
            id: matchDepth
            objectName: "matchDepth"
            text: qsTr("match depth")
            iconSource: "qrc:/brushes/images/matchDepth.png"
            tutorialName: "matchDepth"
            enabled: toolbar.imageEditor.hasDepthTools
            onChosen: {
                toolbar.chooseTool(toolbar.matchMode(),
                                   toolbar.matchTool === 0 ? ImageEdit.Segmented : ImageEdit.Trajectory)
                if (checked)
                    toolbar.firstUse(AppSettings.FTU_MatchDepth, "matchDepth")
            }
        }
    }

    SectionTitle {
        id: presetsTitle
        objectName: "presetsTitle"
        text: qsTr("PRESETS")
    }
    ColumnLayout {
        visible: presetsTitle.expanded
        Layout.fillWidth: true
        Layout.leftMargin: 8
        Repeater {
            model: AppSettings ? AppSettings.presets : []
            Button {
                required property var modelData
                objectName: "preset_" + modelData.name
                Layout.fillWidth: true
                text: modelData.name
                enabled: toolbar.imageEditor.captureKnown
                onClicked: toolbar.applyPreset(modelData)
            }
        }
        ToolButton {
            objectName: "createPreset"
            icon.source: "qrc:/images/toolbar/CreatePreset.svg"
            icon.color: "transparent"
            text: qsTr("create preset")
            display: AbstractButton.TextBesideIcon
            enabled: toolbar.imageEditor.captureKnown
            ToolTip.visible: hovered
            ToolTip.text: qsTr("Save photo adjustments as a preset")
            onClicked: toolbar.createPreset()
        }
    }

    Item {
        Layout.fillHeight: true
    }

    // A tutorial: its pictures and texts one page at a time.
    Popup {
        id: tutorial
        objectName: "tutorial"
        property var pages: ({ images: [], texts: [] })
        property int page: 0
        parent: Overlay.overlay
        x: parent ? (parent.width - width) / 2 : 0
        y: parent ? (parent.height - height) / 2 : 0
        width: 440
        modal: true
        background: Rectangle {
            color: "#2b2b2b"
            radius: 6
        }
        contentItem: ColumnLayout {
            spacing: 8
            Image {
                objectName: "tutorialImage"
                Layout.alignment: Qt.AlignHCenter
                source: tutorial.page < tutorial.pages.images.length
                        ? "qrc:/Depth_Tool_Tutorials_HTML/img/" + tutorial.pages.images[tutorial.page] : ""
                sourceSize: Qt.size(400, 250)
            }
            Text {
                objectName: "tutorialText"
                Layout.fillWidth: true
                wrapMode: Text.Wrap
                color: "#dfdfdf"
                text: tutorial.pages.texts[tutorial.page] || ""
            }
            RowLayout {
                Layout.fillWidth: true
                Button {
                    text: qsTr("back")
                    enabled: tutorial.page > 0
                    onClicked: --tutorial.page
                }
                Item {
                    Layout.fillWidth: true
                }
                Button {
                    text: tutorial.page + 1 < tutorial.pages.texts.length ? qsTr("next") : qsTr("done")
                    onClicked: {
                        if (tutorial.page + 1 < tutorial.pages.texts.length)
                            ++tutorial.page
                        else
                            tutorial.close()
                    }
                }
            }
        }
    }
}
