import QtQuick 2.15
import QtMultimedia 5.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// Plays one video over whatever is below; a click on the play button starts it again once
// it stopped.
Item {
    id: player

    function show() {
        visible = true
        forceActiveFocus()
    }
    function open(path) {
        media.source = path.toString().indexOf(":") > 1 ? path : Utils.fileUrl(path)
        show()
        media.play()
    }
    function close() {
        media.stop()
        media.source = ""
        visible = false
    }

    visible: false
    Keys.onEscapePressed: close()

    Rectangle {
        anchors.fill: parent
        color: "black"
    }
    MediaPlayer {
        id: media
        objectName: "mediaPlayer"
        onError: console.warn("player: " + errorString)
    }
    VideoOutput {
        anchors.fill: parent
        source: media
    }
    // A file the player cannot play says why instead of offering to play it.
    readonly property string problem: media.error !== MediaPlayer.NoError
                                      ? (media.errorString !== "" ? media.errorString : qsTr("This video cannot be played."))
                                      : media.status === MediaPlayer.InvalidMedia ? qsTr("This video cannot be played.")
                                      : media.status === MediaPlayer.Loaded && !media.hasVideo && !media.hasAudio
                                        ? qsTr("This file holds no stream the player can play.") : ""
    Column {
        objectName: "playerError"
        anchors.centerIn: parent
        width: Math.min(parent.width - 40, 520)
        spacing: 8
        visible: player.problem !== ""
        Text {
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            color: StyleConstants.mainText
            font.pixelSize: StyleConstants.fontSizeTitle
            text: qsTr("Can't play this video")
        }
        Text {
            objectName: "playerErrorText"
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.Wrap
            color: StyleConstants.mainText
            font.pixelSize: StyleConstants.fontSizeNormal
            text: player.problem
        }
    }
    Image {
        objectName: "playButton"
        anchors.centerIn: parent
        visible: media.playbackState === MediaPlayer.StoppedState && player.problem === ""
        source: "qrc:/images/video/play_normal.png"
        MouseArea {
            anchors.fill: parent
            onClicked: {
                if (media.playbackState === MediaPlayer.StoppedState)
                    media.play()
            }
        }
    }
    ItemCircleButton {
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.margins: StyleConstants.margin
        text: "\u00d7"
        toolTipText: qsTr("close")
        onClicked: player.close()
    }
}
