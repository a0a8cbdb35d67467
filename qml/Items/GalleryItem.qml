import QtQuick 2.15
import com.quelt.ostra 2.0

// One cell of the gallery: the picture's thumbnail, cropped and turned as the picture is
// shown, with a word while it loads or when it cannot be shown.
Item {
    id: cell

    property alias locator: image.locator
    property string location: ""
    property alias imageMatrix: image.imageMatrix
    property rect imageCrop: Qt.rect(0, 0, 1, 1)
    property int realWidth: 4
    property int realHeight: 3
    property bool invalid: false
    property bool incompatible: false
    // Why the file cannot be shown (empty when it can).
    property string problem: ""
    // The file's name, as the cell names it when it cannot be shown.
    readonly property string fileName: decodeURIComponent(location.substring(location.lastIndexOf("/") + 1))
    property bool current: false
    property bool selected: false
    // The picture's rating, 0 to 5; -1 hides the stars.
    property int rating: -1
    // The picture's state could not be written next to it.
    property bool unoptimized: false
    property alias offscreen: image.offscreen
    readonly property alias loading: image.loading
    readonly property alias valid: image.valid

    signal clicked(int modifiers)
    signal doubleClicked()
    // A right click: the gallery's menu for this cell.
    signal contextRequested()
    signal rated(int stars)

    Item {
        id: frame
        anchors.fill: parent
        anchors.margins: 3
        clip: true

        // The cropped part as it is shown (turned), fitted into the frame and centred; the
        // image item draws exactly that part.
        readonly property size shown: image.shownSize
        readonly property real fit: Math.min(width / Math.max(shown.width, 1e-6), height / Math.max(shown.height, 1e-6))

        ImageItem {
            id: image
            objectName: "galleryImage"
            anchors.centerIn: parent
            width: Math.round(frame.shown.width * frame.fit)
            height: Math.round(frame.shown.height * frame.fit)
            location: cell.location
            imageCrop: cell.imageCrop
            imageAspect: Qt.size(cell.realWidth, cell.realHeight)
        }
    }

    Text {
        objectName: "cellWord"
        anchors.centerIn: frame
        // Within the placeholder drawn for the file (square for a file that is no picture,
        // in a cell laid out for a picture).
        width: Math.max(Math.min(frame.width, image.width), 96) - 12
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
        color: "#dfdfdf"
        font.pixelSize: 12
        text: cell.incompatible ? qsTr("This image needs a newer version of Ostra to open.")
            : cell.invalid ? (cell.problem !== ""
                ? qsTr("Ostra cannot show %1: %2").arg(cell.fileName).arg(cell.problem)
                : qsTr("Ostra cannot show %1.").arg(cell.fileName))
            : cell.unoptimized ? qsTr("This image file could not be optimized.") + "\n"
                + qsTr("Make sure the disk is writable,") + "\n"
                + qsTr("free up some space and double click to retry")
            : image.loading ? qsTr("Wait...") : ""
    }

    Rectangle {
        anchors.fill: parent
        color: "transparent"
        border.width: 3
        border.color: cell.current ? "#00b1ed" : cell.selected ? "#7fd6f5" : "transparent"
    }

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onClicked: {
            if (mouse.button === Qt.RightButton)
                cell.contextRequested()
            else
                cell.clicked(mouse.modifiers)
        }
        onDoubleClicked: {
            if (mouse.button === Qt.LeftButton)
                cell.doubleClicked()
        }
    }

    // A dark plate under the stars keeps them readable on a light picture.
    Rectangle {
        anchors.fill: stars
        anchors.margins: -2
        radius: 3
        color: Qt.rgba(0, 0, 0, 0.75)
        visible: stars.visible
    }
    Row {
        id: stars
        objectName: "ratingStars"
        anchors.left: parent.left
        anchors.bottom: parent.bottom
        anchors.margins: 6
        // A file that is not a picture (or not one this version opens) cannot be rated.
        readonly property bool rateable: cell.rating >= 0 && !cell.invalid && !cell.incompatible
        visible: rateable && (cell.rating > 0 || starsArea.containsMouse || cell.selected)
        Repeater {
            model: 5
            Text {
                required property int index
                text: index < cell.rating ? "\u2605" : "\u2606"
                color: "#f2c230"
                font.pixelSize: 14
                style: Text.Outline
                styleColor: "#80000000"
                MouseArea {
                    anchors.fill: parent
                    onClicked: cell.rated(cell.rating === index + 1 ? 0 : index + 1)
                }
            }
        }
    }

    MouseArea {
        id: starsArea
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: 26
        hoverEnabled: true
        acceptedButtons: Qt.NoButton
    }
}
