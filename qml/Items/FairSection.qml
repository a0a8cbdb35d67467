import QtQuick 2.15
import com.quelt.ostra 2.0

// One section's pictures in justified rows: the partitioner sizes the cells, the Flow
// places them.
Item {
    id: fair

    property alias model: repeater.model
    property alias delegate: repeater.delegate
    property real baseRowHeight: 220
    property real spacing: 4
    property real expansionism: 0.5
    property real capUpscaling: 2.0
    property real itemMargins: 0
    readonly property alias count: repeater.count

    // The held row's cell moved by `dy` in the last layout (see holdRowAt).
    signal heldRowShifted(real dy)
    // Holds the row of the first cell that reaches below `y` (this item's coordinates) in
    // place while rows come, go or move before it; a negative `y` holds none.
    function holdRowAt(y) {
        partitioner.holdRowAt(y < 0 ? -1 : Math.max(0, y - flow.y))
    }

    implicitHeight: flow.height

    // Lays the cells out again; calls in one turn of the event loop are run once.
    function doLayout() {
        layoutTimer.restart()
    }

    Flow {
        id: flow
        x: fair.itemMargins
        width: fair.width - 2 * fair.itemMargins
        spacing: fair.spacing

        Repeater {
            id: repeater
            onItemAdded: fair.doLayout()
            onItemRemoved: fair.doLayout()
        }
    }

    FairPartitioner {
        id: partitioner
        model: repeater.model
        target: flow
        itemParent: flow
        width: flow.width
        spacing: fair.spacing
        baseRowHeight: fair.baseRowHeight
        expansionism: fair.expansionism
        capUpscaling: fair.capUpscaling
        onHeldRowShifted: fair.heldRowShifted(dy)
    }

    Timer {
        id: layoutTimer
        interval: 0
        onTriggered: partitioner.partition()
    }
}
