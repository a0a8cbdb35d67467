import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Items"
import "../Utils"

// A page of the application's own (the licence, the privacy policy) read from its
// resources and shown in the window; links in it open in the browser.
Dialog {
    id: page

    // The page's file, a resource path such as ":/pages/license.html".
    property string path: ""
    readonly property string text: loader.text

    function show(pagePath) {
        path = pagePath
        open()
    }

    modal: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(640, parent ? parent.width - 40 : 640)
    // As tall as the page, within the window.
    height: Math.min(implicitHeight, parent ? parent.height - 40 : 560)
    padding: 24
    closePolicy: Popup.CloseOnEscape

    TextLoader {
        id: loader
        path: page.path
    }

    background: Rectangle {
        color: StyleConstants.dialogBackground
        border.color: StyleConstants.dialogAccent
        radius: 4
    }

    contentItem: ColumnLayout {
        spacing: 16
        ScrollView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            ItemLabel {
                objectName: "htmlText"
                width: page.availableWidth
                textFormat: Text.RichText
                text: page.text
            }
        }
        ItemRoundButton {
            objectName: "htmlClose"
            Layout.alignment: Qt.AlignRight
            primary: true
            text: qsTr("Close")
            onClicked: page.close()
        }
    }
}
