import QtQuick 2.15
import QtQuick.Layouts 1.15
import "../Utils"

// The bar under the gallery and the editor: the actions its user puts in it on the left,
// the zoom slider on the right.
Rectangle {
    id: bar

    property real minZoom: 0.0
    property real maxZoom: 1.0
    property real zoom: 0.0
    property real defaultZoom: minZoom
    property bool zoomVisible: true
    // The user's actions, laid out in a row.
    default property alias actions: actionRow.data
    readonly property alias zoomSlider: zoomSlider

    // The user moved the slider (or double-clicked it back to `defaultZoom`).
    signal zoomMoved(real zoom)

    implicitHeight: StyleConstants.bottomBarHeight
    color: StyleConstants.sortBar

    Rectangle {
        anchors.top: parent.top
        width: parent.width
        height: 1
        color: StyleConstants.footerLine
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: StyleConstants.margin
        anchors.rightMargin: StyleConstants.margin
        spacing: StyleConstants.spacing

        RowLayout {
            id: actionRow
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: StyleConstants.spacing
        }

        OstraSlider {
            id: zoomSlider
            objectName: "zoomSlider"
            visible: bar.zoomVisible
            Layout.preferredWidth: 180
            from: bar.minZoom
            to: bar.maxZoom
            defaultValue: bar.defaultZoom
            onMoved: bar.zoomMoved(value)
        }
        // Kept up to date also after the slider's own reset wrote its value.
        Binding {
            target: zoomSlider
            property: "value"
            value: bar.zoom
        }
    }
}
