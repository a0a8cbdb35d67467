import QtQuick 2.15
import QtQuick.Layouts 1.15
import "../Utils"

// A band across the top of a view holding a row of its controls, with a line under it.
Rectangle {
    id: collar

    default property alias contents: row.data
    property int padding: StyleConstants.margin

    implicitHeight: row.implicitHeight + 2 * padding
    color: StyleConstants.sortBar

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: collar.padding
        spacing: StyleConstants.spacing
    }
    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: StyleConstants.footerLine
    }
}
