import QtQuick 2.15

// Sections stacked in one scrolling column.
Flickable {
    id: collection

    default property alias sections: column.data
    property real sectionSpacing: 6

    contentWidth: width
    contentHeight: column.height + 8
    boundsBehavior: Flickable.StopAtBounds
    clip: true

    Column {
        id: column
        width: collection.width
        spacing: collection.sectionSpacing
    }
}
