import QtQuick 2.15
import com.quelt.ostra 2.0
import "../Items"

// The gallery of the open session as a grid of thumbnails. A double click or Enter on a
// picture asks for it to be opened.
FocusScope {
    id: gallery

    // The gallery model and the image service that draws its cells.
    required property ActiveSession model
    required property ImageLocator locator
    readonly property alias count: grid.count
    readonly property alias currentIndex: grid.currentIndex

    signal openRequested(url location)

    function openCurrent() {
        // A file that cannot be shown is not opened either; its cell says why.
        if (grid.currentItem && grid.currentItem.location !== "" && !grid.currentItem.invalid)
            gallery.openRequested(grid.currentItem.location)
    }

    Rectangle {
        anchors.fill: parent
        color: "#0E0E0E"
    }

    GridView {
        id: grid
        objectName: "galleryGrid"
        anchors.fill: parent
        anchors.margins: 4
        focus: true
        clip: true
        model: gallery.model
        currentIndex: -1
        keyNavigationEnabled: true
        boundsBehavior: Flickable.StopAtBounds

        readonly property int columns: Math.max(1, Math.floor(width / 240))
        cellWidth: Math.floor(width / columns)
        cellHeight: Math.round(cellWidth * 3 / 4)
        cacheBuffer: cellHeight * 2

        delegate: GalleryItem {
            width: grid.cellWidth
            height: grid.cellHeight
            locator: gallery.locator
            location: model.filePath
            imageMatrix: model.matrix
            imageCrop: model.crop
            realWidth: model.realWidth
            realHeight: model.realHeight
            invalid: model.invalid
            incompatible: model.incompatible
            problem: model.problem || ""
            current: GridView.isCurrentItem
            // Cells kept beyond the visible rows hold no textures.
            offscreen: y + height <= grid.contentY || y >= grid.contentY + grid.height
            onClicked: {
                grid.currentIndex = index
                grid.forceActiveFocus()
            }
            onDoubleClicked: {
                grid.currentIndex = index
                gallery.openCurrent()
            }
        }

        Keys.onReturnPressed: gallery.openCurrent()
        Keys.onEnterPressed: gallery.openCurrent()
    }
}
