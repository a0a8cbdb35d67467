import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Items"

// The editor's right column: the histogram of the cropped picture, what the camera
// recorded, the crop, turn and mirror tools, and a slider per tone and colour value.
ColumnLayout {
    id: bar

    required property ImageEditItem imageEditor
    readonly property GeometryEdits geometryEdits: imageEditor.geometryEdits
    readonly property ImageProperties properties: imageEditor.properties
    // The crop presets shown: portrait ones while true.
    property bool portrait: false
    // The INFO section is shown (for a picture whose capture is known).
    property bool showInfo: true

    spacing: 2

    // Four lists of 256 counts (red, green, blue, mean); anything else is not drawn.
    function histogramValid(h) {
        if (!h || h.length !== 4)
            return false
        for (var c = 0; c < 4; ++c) {
            if (!h[c] || h[c].length !== 256)
                return false
            for (var i = 0; i < 256; ++i) {
                if (typeof h[c][i] !== "number" || !isFinite(h[c][i]) || h[c][i] < 0)
                    return false
            }
        }
        return true
    }

    // Turns or mirrors the picture: "rotateLeft", "rotateRight", "mirrorHorizontal" or
    // "mirrorVertical".
    function reorient(action) {
        if (!bar.imageEditor.captureKnown)
            return
        switch (action) {
        case "rotateLeft": bar.geometryEdits.rotateLeft(); break
        case "rotateRight": bar.geometryEdits.rotateRight(); break
        case "mirrorHorizontal": bar.geometryEdits.mirrorHorizontal(); break
        case "mirrorVertical": bar.geometryEdits.mirrorVertical(); break
        }
    }

    component Section: ColumnLayout {
        id: section
        property string title
        property bool expanded: true
        // Shown beside the title when set; clicked resets the section.
        property bool resettable: false
        property bool resetEnabled: true
        signal reset()
        default property alias content: body.data
        Layout.fillWidth: true
        spacing: 4
        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: 6
            ToolButton {
                text: (section.expanded ? "\u25be " : "\u25b8 ") + section.title
                font.bold: true
                onClicked: section.expanded = !section.expanded
                Layout.fillWidth: true
                contentItem: Text {
                    text: parent.text
                    font: parent.font
                    color: "#dfdfdf"
                    horizontalAlignment: Text.AlignLeft
                }
            }
            ToolButton {
                visible: section.resettable
                enabled: section.resetEnabled
                text: qsTr("reset")
                onClicked: section.reset()
            }
        }
        ColumnLayout {
            id: body
            visible: section.expanded
            Layout.fillWidth: true
            Layout.leftMargin: 8
            Layout.rightMargin: 8
        }
    }

    component InfoLine: Text {
        color: "#cfcfcf"
        font.pixelSize: 12
        Layout.fillWidth: true
        elide: Text.ElideRight
    }

    Section {
        title: qsTr("HISTOGRAM")
        Rectangle {
            id: histogramFrame
            objectName: "histogramFrame"
            Layout.fillWidth: true
            Layout.preferredHeight: 110
            color: "transparent"
            border.color: "#88ffffff"
            // The lines of the chosen view: [channel index, colour].
            readonly property var views: [
                [[0, "red"], [1, "green"], [2, "blue"]],
                [[3, "white"]],
                [[0, "red"]], [[1, "green"]], [[2, "blue"]],
                [[0, "red"], [1, "green"]], [[0, "red"], [2, "blue"]], [[1, "green"], [2, "blue"]],
                [[3, "gray"]]
            ]
            property var counts: []
            property real peak: 1
            // The lines drawn now (after the last valid histogram).
            property int drawnLines: 0
            function refresh() {
                var h = bar.imageEditor.histogram
                if (!bar.histogramValid(h)) {
                    console.warn("Histogram is broken. Skip paiting.")
                    counts = []
                    drawnLines = 0
                    return
                }
                var top = 1
                for (var c = 0; c < 4; ++c)
                    for (var i = 1; i < 255; ++i) // the clipped ends would flatten the rest
                        top = Math.max(top, h[c][i])
                peak = top
                counts = h
                drawnLines = views[comboBoxHistogram.currentIndex].length
            }
            Connections {
                target: bar.imageEditor
                function onHistogramChanged() { histogramFrame.refresh() }
            }
            Component.onCompleted: refresh()
            Repeater {
                model: histogramFrame.counts.length === 4 ? histogramFrame.views[comboBoxHistogram.currentIndex] : []
                Canvas {
                    required property var modelData
                    anchors.fill: parent
                    anchors.margins: 1
                    readonly property var line: histogramFrame.counts[modelData[0]]
                    onLineChanged: requestPaint()
                    onWidthChanged: requestPaint()
                    onPaint: {
                        var ctx = getContext("2d")
                        ctx.reset()
                        if (!line)
                            return
                        ctx.globalCompositeOperation = "lighter"
                        ctx.fillStyle = modelData[1]
                        ctx.globalAlpha = 0.7
                        ctx.beginPath()
                        ctx.moveTo(0, height)
                        for (var i = 0; i < 256; ++i)
                            ctx.lineTo(i * width / 255, height - Math.min(1, line[i] / histogramFrame.peak) * height)
                        ctx.lineTo(width, height)
                        ctx.closePath()
                        ctx.fill()
                    }
                }
            }
        }
        ComboBox {
            id: comboBoxHistogram
            objectName: "comboBoxHistogram"
            Layout.fillWidth: true
            model: [qsTr("RGB"), qsTr("luminance"), qsTr("red"), qsTr("green"), qsTr("blue"), qsTr("yellow"),
                qsTr("magenta"), qsTr("cyan"), qsTr("gray")]
            onActivated: histogramFrame.refresh()
        }
    }

    Section {
        title: qsTr("INFO")
        visible: bar.imageEditor.captureKnown && bar.showInfo
        InfoLine {
            objectName: "infoDate"
            text: bar.imageEditor.captureDate.toLocaleDateString() + "\n"
                  + bar.imageEditor.captureDate.toLocaleTimeString(Qt.locale(), "h:mm:ss AP")
        }
        InfoLine {
            objectName: "infoResolution"
            text: qsTr("Resolution") + ": " + bar.imageEditor.resolution.width + " × " + bar.imageEditor.resolution.height
        }
        InfoLine {
            objectName: "infoFocalLength"
            text: qsTr("Focal length") + ": " + bar.imageEditor.focalLength + qsTr("mm")
        }
        InfoLine {
            objectName: "infoEv"
            text: qsTr("EV") + ": " + Math.round(bar.imageEditor.evOffset)
        }
        InfoLine {
            objectName: "infoExposure"
            text: qsTr("Exposure") + ": " + bar.imageEditor.exposure + qsTr("s")
        }
        InfoLine {
            objectName: "infoIso"
            text: qsTr("ISO") + ": " + bar.imageEditor.isoFilmSpeed
        }
    }

    Section {
        title: qsTr("GEOMETRY")
        resettable: true
        resetEnabled: bar.geometryEdits.hasEdits
        enabled: bar.imageEditor.captureKnown
        onReset: bar.imageEditor.resetGeometry()
        // Rows as wide as the column: a row wider than its content would widen the whole
        // column past the window's edge.
        RowLayout {
            Layout.fillWidth: true
            ToolButton {
                objectName: "cropButton"
                icon.source: "qrc:/images/toolbar/crop.svg"
                checkable: true
                checked: bar.imageEditor.editorMode === ImageEdit.Crop
                ToolTip.visible: hovered
                ToolTip.text: qsTr("crop")
                onClicked: {
                    if (checked) {
                        bar.imageEditor.editorMode = ImageEdit.Crop
                    } else {
                        bar.geometryEdits.applyCrop()
                        bar.imageEditor.editorMode = ImageEdit.None
                    }
                }
            }
            Item {
                Layout.fillWidth: true
            }
            ToolButton {
                objectName: "landscapeButton"
                icon.source: bar.portrait ? "qrc:/images/toolbar/landscape.svg" : "qrc:/images/toolbar/landscape_emphasized.svg"
                icon.color: "transparent"
                onClicked: aspect.choose(false)
            }
            ToolButton {
                objectName: "portraitButton"
                icon.source: bar.portrait ? "qrc:/images/toolbar/portrait_emphasized.svg" : "qrc:/images/toolbar/portrait.svg"
                icon.color: "transparent"
                onClicked: aspect.choose(true)
            }
        }
        RowLayout {
            Layout.fillWidth: true
            ComboBox {
                id: aspect
                objectName: "aspectRatio"
                Layout.fillWidth: true
                enabled: bar.imageEditor.editorMode === ImageEdit.Crop
                readonly property var landscapeModes: [
                    { text: qsTr("free"), mode: GeometryEdits.Free }, { text: "4:3", mode: GeometryEdits.Preset_4_3 },
                    { text: "16:9", mode: GeometryEdits.Preset_16_9 }, { text: "3:2", mode: GeometryEdits.Preset_3_2 },
                    { text: "2:1", mode: GeometryEdits.Preset_2_1 }, { text: "1:1", mode: GeometryEdits.Preset_1_1 }
                ]
                readonly property var portraitModes: [
                    { text: qsTr("free"), mode: GeometryEdits.Free }, { text: "3:4", mode: GeometryEdits.Preset_3_4 },
                    { text: "9:16", mode: GeometryEdits.Preset_9_16 }, { text: "2:3", mode: GeometryEdits.Preset_2_3 },
                    { text: "1:2", mode: GeometryEdits.Preset_1_2 }
                ]
                model: bar.portrait ? portraitModes : landscapeModes
                textRole: "text"
                displayText: qsTr("aspect ratio: ") + currentText
                onActivated: bar.geometryEdits.setCropMode(model[index].mode)
                // Switches between the landscape and portrait presets, keeping the matching one.
                function choose(portrait) {
                    var i = currentIndex
                    if (portrait === bar.portrait || (portrait && i >= portraitModes.length))
                        return
                    bar.portrait = portrait
                    currentIndex = i
                    bar.geometryEdits.setCropMode(model[i].mode)
                }
                Connections {
                    target: bar.geometryEdits
                    function onResetCropMode() { aspect.currentIndex = 0 }
                    function onToggleCropMode() { aspect.choose(!bar.portrait) }
                }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Repeater {
                // Plain values only: a function kept in a model entry does not reach the
                // delegate as a callable role.
                model: [
                    { icon: "rotate_left", tip: qsTr("rotate left"), action: "rotateLeft" },
                    { icon: "rotate_right", tip: qsTr("rotate right"), action: "rotateRight" },
                    { icon: "flip_horizontal", tip: qsTr("flip horizontal"), action: "mirrorHorizontal" },
                    { icon: "flip_vertical", tip: qsTr("flip vertical"), action: "mirrorVertical" }
                ]
                ToolButton {
                    required property var modelData
                    objectName: modelData.icon
                    // Four buttons share the row, narrower than their background would be.
                    Layout.fillWidth: true
                    icon.source: "qrc:/images/toolbar/" + modelData.icon + ".svg"
                    icon.color: "transparent"
                    ToolTip.visible: hovered
                    ToolTip.text: modelData.tip
                    onClicked: bar.reorient(modelData.action)
                }
            }
        }
    }

    Section {
        title: qsTr("TONE & COLOR")
        enabled: bar.imageEditor.captureKnown
        Repeater {
            model: bar.properties ? bar.properties.tuneToneProperties : []
            ColumnLayout {
                id: row
                required property var modelData
                readonly property var ends: modelData.name === "temp" ? ["#535ffe", "#fbf247"]
                                          : modelData.name === "tint" ? ["#7bfe6e", "#f480fe"] : []
                Layout.fillWidth: true
                spacing: 0
                RowLayout {
                    Layout.fillWidth: true
                    Text {
                        text: row.modelData.name
                        color: "#cfcfcf"
                        font.pixelSize: 12
                        Layout.fillWidth: true
                    }
                    Text {
                        text: Number(row.modelData.currentValue).toFixed(row.modelData.max - row.modelData.min > 10 ? 0 : 2)
                        color: "#cfcfcf"
                        font.pixelSize: 12
                    }
                }
                OstraSlider {
                    id: toneSlider
                    objectName: "tone_" + row.modelData.name
                    Layout.fillWidth: true
                    from: row.modelData.min
                    to: row.modelData.max
                    // A double click puts back the value the picture was loaded with.
                    defaultValue: row.modelData.originalValue === undefined ? 0 : row.modelData.originalValue
                    stepSize: (to - from) > 10 ? 1 : 0.01
                    onMoved: row.modelData.currentValue = value
                    // Kept on the picture's value even after the reset's assignment.
                    Binding on value {
                        value: row.modelData.currentValue === undefined ? 0 : row.modelData.currentValue
                    }
                    background: Rectangle {
                        x: toneSlider.leftPadding
                        y: toneSlider.topPadding + toneSlider.availableHeight / 2 - height / 2
                        width: toneSlider.availableWidth
                        height: row.ends.length ? 4 : 2
                        radius: 2
                        gradient: Gradient {
                            orientation: Gradient.Horizontal
                            GradientStop { position: 0; color: row.ends.length ? row.ends[0] : "#5a5a5a" }
                            GradientStop { position: 1; color: row.ends.length ? row.ends[1] : "#5a5a5a" }
                        }
                    }
                }
            }
        }
        Button {
            objectName: "revertToOriginal"
            text: qsTr("revert to original")
            Layout.alignment: Qt.AlignHCenter
            enabled: bar.properties && !bar.properties.isTuneToneOriginal
            onClicked: bar.properties.resetTuneTone()
        }
    }

}
