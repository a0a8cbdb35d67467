import QtQuick 2.15

// The header of one gallery section: its title, how many pictures and sections it holds,
// its rating when the gallery is sorted by rating, and its buttons. A title too long for
// the row (a deep folder) is shortened in its middle, before the buttons.
Rectangle {
    id: header

    property string titleText: ""
    property string subtitleText: ""
    // The section's rating (0 to 5), or -1 when it has none.
    property int stars: -1
    property int ownItemCount: 0
    property int ownChildCount: 0
    property int depth: 1
    property bool flattened: false
    property bool collapsed: false
    property bool closable: false

    signal selectClicked()
    signal deselectClicked()
    signal flattenClicked()
    signal collapseClicked()
    signal closeClicked()

    implicitHeight: 34
    color: depth <= 1 ? "#1c1c1c" : "#161616"

    Row {
        id: left
        anchors.left: parent.left
        anchors.leftMargin: 8 + (header.depth - 1) * 14
        anchors.verticalCenter: parent.verticalCenter
        spacing: 10

        Text {
            id: title
            objectName: "sectionTitle"
            // What the row leaves beside the stars, the count and the buttons.
            readonly property real room: header.width - left.anchors.leftMargin - buttons.width - 8 - 10
                                         - (starRow.visible ? starRow.width + left.spacing : 0)
                                         - (subtitle.text !== "" ? subtitle.width + left.spacing : 0)
            width: Math.min(implicitWidth, Math.max(60, room))
            text: header.titleText
            elide: Text.ElideMiddle
            color: "#f0f0f0"
            font.pixelSize: header.depth <= 1 ? 16 : 14
            font.bold: true
            anchors.verticalCenter: parent.verticalCenter
        }
        Row {
            id: starRow
            visible: header.stars >= 0
            anchors.verticalCenter: parent.verticalCenter
            Repeater {
                model: 5
                Text {
                    required property int index
                    text: index < header.stars ? "\u2605" : "\u2606"
                    color: "#f2c230"
                    font.pixelSize: 14
                }
            }
        }
        Text {
            id: subtitle
            objectName: "sectionSubtitle"
            text: header.subtitleText
            color: "#9a9a9a"
            font.pixelSize: 12
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Row {
        id: buttons
        anchors.right: parent.right
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        spacing: 4

        SectionButton {
            objectName: "sectionButton"
            text: qsTr("Select")
            visible: header.ownItemCount > 0
            onClicked: header.selectClicked()
        }
        SectionButton {
            objectName: "sectionButton"
            text: qsTr("Deselect")
            visible: header.ownItemCount > 0
            onClicked: header.deselectClicked()
        }
        SectionButton {
            objectName: "sectionButton"
            text: header.flattened ? qsTr("Unflatten") : qsTr("Flatten")
            visible: header.ownChildCount > 0 || header.flattened
            onClicked: header.flattenClicked()
        }
        SectionButton {
            objectName: "sectionButton"
            text: header.collapsed ? qsTr("Expand") : qsTr("Collapse")
            onClicked: header.collapseClicked()
        }
        SectionButton {
            objectName: "sectionButton"
            text: qsTr("Close")
            visible: header.closable
            onClicked: header.closeClicked()
        }
    }
}
