import QtQuick 2.15
import QtQuick.Controls 2.15

// Sections stacked in one scrolling column, with a scroll bar to drag across long ones.
Flickable {
    id: collection

    default property alias sections: column.data
    property real sectionSpacing: 6

    contentWidth: width
    contentHeight: column.height + 8
    boundsBehavior: Flickable.StopAtBounds
    clip: true
    ScrollBar.vertical: ScrollBar {
        objectName: "collectionScrollBar"
        policy: collection.contentHeight > collection.height ? ScrollBar.AlwaysOn : ScrollBar.AsNeeded
        minimumSize: 0.04
    }

    // To the top or the bottom of the column. Sections far from the view only estimate
    // their height, so the bottom is followed while they settle, until the user scrolls.
    property bool keepAtEnd: false
    function scrollToStart() {
        keepAtEnd = false
        contentY = 0
    }
    function scrollToEnd() {
        keepAtEnd = true
        contentY = Math.max(0, contentHeight - height)
    }
    onContentHeightChanged: {
        if (keepAtEnd)
            contentY = Math.max(0, contentHeight - height)
    }
    onMovementStarted: keepAtEnd = false

    Column {
        id: column
        width: collection.width
        spacing: collection.sectionSpacing
    }
}
