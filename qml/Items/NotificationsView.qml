import QtQuick 2.15
import "../Utils"

// The notifications of NotificationsManager, stacked upwards from the bottom of this item,
// each fading in when shown and out when it expires.
ListView {
    id: view

    interactive: false
    spacing: 6
    verticalLayoutDirection: ListView.BottomToTop
    model: NotificationsManager.notifications
    implicitWidth: 420
    implicitHeight: contentHeight

    delegate: Rectangle {
        required property string text
        width: Math.min(view.width, label.implicitWidth + 24)
        height: label.implicitHeight + 14
        anchors.horizontalCenter: parent ? parent.horizontalCenter : undefined
        radius: 4
        color: StyleConstants.semiTransparentLabel
        Text {
            id: label
            objectName: "notificationText"
            anchors.centerIn: parent
            width: Math.min(implicitWidth, view.width - 24)
            text: parent.text
            wrapMode: Text.WordWrap
            color: StyleConstants.statusText
            font.family: StyleConstants.fontRegular
            font.pixelSize: StyleConstants.fontSizeNormal
        }
    }

    add: Transition {
        NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 200 }
    }
    remove: Transition {
        NumberAnimation { property: "opacity"; to: 0; duration: 400 }
    }
    displaced: Transition {
        NumberAnimation { properties: "y"; duration: 200 }
    }
}
