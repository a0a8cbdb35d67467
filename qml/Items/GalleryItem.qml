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
    property alias offscreen: image.offscreen
    readonly property alias loading: image.loading
    readonly property alias valid: image.valid

    signal clicked(int modifiers)
    signal doubleClicked()

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
        anchors.centerIn: frame
        width: frame.width - 12
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
        color: "#dfdfdf"
        font.pixelSize: 12
        text: cell.incompatible ? qsTr("This image needs a newer version of Ostra to open.")
            : cell.invalid ? (cell.problem !== ""
                ? qsTr("Ostra cannot show %1: %2").arg(cell.fileName).arg(cell.problem)
                : qsTr("Ostra cannot show %1.").arg(cell.fileName))
            : image.loading ? qsTr("Wait...") : ""
    }

    Rectangle {
        anchors.fill: parent
        color: "transparent"
        border.width: 3
        border.color: cell.current ? "#00b1ed" : "transparent"
    }

    MouseArea {
        anchors.fill: parent
        onClicked: cell.clicked(mouse.modifiers)
        onDoubleClicked: cell.doubleClicked()
    }
}
