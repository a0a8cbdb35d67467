import QtQuick 2.15

// The header of one gallery section: its title, how many pictures and sections it holds,
// its rating when the gallery is sorted by rating, and its buttons.
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
        anchors.left: parent.left
        anchors.leftMargin: 8 + (header.depth - 1) * 14
        anchors.verticalCenter: parent.verticalCenter
        spacing: 10

        Text {
            objectName: "sectionTitle"
            text: header.titleText
            color: "#f0f0f0"
            font.pixelSize: header.depth <= 1 ? 16 : 14
            font.bold: true
            anchors.verticalCenter: parent.verticalCenter
        }
        Row {
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
            text: header.subtitleText
            color: "#9a9a9a"
            font.pixelSize: 12
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    Row {
        anchors.right: parent.right
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        spacing: 4

        SectionButton {
            text: qsTr("Select")
            visible: header.ownItemCount > 0
            onClicked: header.selectClicked()
        }
        SectionButton {
            text: qsTr("Deselect")
            visible: header.ownItemCount > 0
            onClicked: header.deselectClicked()
        }
        SectionButton {
            text: header.flattened ? qsTr("Unflatten") : qsTr("Flatten")
            visible: header.ownChildCount > 0 || header.flattened
            onClicked: header.flattenClicked()
        }
        SectionButton {
            text: header.collapsed ? qsTr("Expand") : qsTr("Collapse")
            onClicked: header.collapseClicked()
        }
        SectionButton {
            text: qsTr("Close")
            visible: header.closable
            onClicked: header.closeClicked()
        }
    }
}
