import QtQuick 2.15
import com.quelt.ostra 2.0

// One section's pictures in justified rows. The partitioner places every picture from the
// model alone; cells exist only for the rows between viewTop and viewBottom (in the
// section's own coordinates), so a section of thousands of pictures makes a few screens
// of cells. A cell's `index` counts from `first`, the model row of the first cell.
Item {
    id: fair

    property alias model: cells.sourceModel
    property alias delegate: repeater.delegate
    property real baseRowHeight: 220
    property real spacing: 4
    property real expansionism: 0.5
    property real capUpscaling: 2.0
    property real itemMargins: 0
    // The part of the section that needs cells; all of it unless told.
    property real viewTop: -Infinity
    property real viewBottom: Infinity
    readonly property alias first: cells.first
    readonly property alias count: repeater.count

    // The held row's cell moved by `dy` in the last layout (see holdRowAt).
    signal heldRowShifted(real dy)
    // Holds the row of the first cell that reaches below `y` (this item's coordinates) in
    // place while rows come, go or move before it; a negative `y` holds none.
    function holdRowAt(y) {
        partitioner.holdRowAt(y < 0 ? -1 : Math.max(0, y - placed.y))
    }

    implicitHeight: partitioner.contentHeight

    CellWindow {
        id: cells
    }

    Item {
        id: placed
        objectName: "fairCells"
        x: fair.itemMargins
        width: fair.width - 2 * fair.itemMargins
        height: partitioner.contentHeight

        Repeater {
            id: repeater
            model: cells
            onItemAdded: partitioner.place()
        }
    }

    FairPartitioner {
        id: partitioner
        model: cells.sourceModel
        window: cells
        repeater: repeater
        target: placed
        itemParent: placed
        width: placed.width
        spacing: fair.spacing
        baseRowHeight: fair.baseRowHeight
        expansionism: fair.expansionism
        capUpscaling: fair.capUpscaling
        onHeldRowShifted: fair.heldRowShifted(dy)
        viewTop: fair.viewTop
        viewBottom: fair.viewBottom
    }
}
