import QtQuick 2.15
import QtQuick.Controls 2.15

// Sections stacked in one scrolling column, with a scroll bar to drag across long ones.
// The bar sits over the column's right edge: sections take `availableWidth`, the width
// left beside it (kept whether the bar shows or not, so the rows never reflow as it comes).
Flickable {
    id: collection

    default property alias sections: column.data
    property real sectionSpacing: 6
    readonly property real availableWidth: Math.max(0, width - scrollBar.width)

    contentWidth: width
    contentHeight: column.height + 8
    boundsBehavior: Flickable.StopAtBounds
    clip: true
    ScrollBar.vertical: ScrollBar {
        id: scrollBar
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

    // Whether the cell at the top of the view stays where it is while rows are added,
    // removed or move before it (pictures still arriving, sorted). A view at the very top
    // or following the end stays there instead.
    property bool holdView: false
    function holdTop() {
        var holding = holdView && !keepAtEnd && contentY > 0
        for (var i = 0; i < column.children.length; ++i) {
            var section = column.children[i]
            if (section.holdRowAt === undefined)
                continue
            var here = holding && contentY < section.y + section.height
            section.holdRowAt(here ? contentY - section.y : -1)
            holding = holding && !here
        }
    }
    // The held picture stays held while the view follows it (whenever the view tells of
    // that move): it keeps its place on the screen however the rows around it are laid
    // out again (the view may round the move to whole pixels). Any other move of the view
    // holds what is at its top then.
    property real followedY: -1
    function shiftView(dy) {
        if (!holdView || keepAtEnd || contentY <= 0)
            return
        followedY = Math.max(0, contentY + dy)
        contentY = followedY
    }
    onContentYChanged: {
        if (holdView && Math.abs(contentY - followedY) >= 1)
            holdTop()
    }
    onHoldViewChanged: holdTop()
    onKeepAtEndChanged: {
        if (holdView)
            holdTop()
    }
    Component.onCompleted: {
        for (var i = 0; i < column.children.length; ++i) {
            if (column.children[i].heldRowShifted !== undefined)
                column.children[i].heldRowShifted.connect(shiftView)
        }
    }

    Column {
        id: column
        width: collection.availableWidth
        spacing: collection.sectionSpacing
    }
}
