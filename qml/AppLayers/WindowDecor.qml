import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import com.quelt.ostra 2.0
import "../Utils"

// The window's menu bar. The menus declared in it are handed to the window frame once, and
// the bar the frame attaches is drawn here; a click runs the item through the frame, and the
// items' shortcuts work anywhere in the window.
MenuBar {
    id: decor

    // The menus (WindowMenu), in order.
    default property list<QtObject> declared
    readonly property WindowFrame frame: WindowFrame {}
    // The command id of each item drawn, and its control.
    property var drawn: ({})
    // How many of the bar's menus are open. Only while one is, hovering a title opens its
    // menu: a menu closed with Escape under the pointer would otherwise leave the bar opening
    // menus on hover, and the next click on a title would close the menu it had just opened.
    property int openMenus: 0

    // What the frame is given for an item.
    function titleOf(item) {
        if (item.role === "about")
            return qsTr("About") + " " + Qt.application.displayName
        if (item.role === "aboutQt")
            return qsTr("About Qt")
        return item.text
    }

    function isMenu(entry) {
        return entry.entries !== undefined
    }

    function isSeparator(entry) {
        return entry.separator === true
    }

    function declare(entries) {
        for (var i = 0; i < entries.length; ++i) {
            var entry = entries[i]
            if (isSeparator(entry)) {
                frame.addSeparator()
            } else if (isMenu(entry)) {
                frame.pushItem()
                declare(entry.entries)
                frame.popItem(entry.title)
            } else {
                frame.addItem(entry, titleOf(entry), entry.shortcut, entry.enabled)
                watch(entry)
                if (entry.shortcut !== "" && !entry.viewKey)
                    shortcutMaker.createObject(decor, { "item": entry })
            }
        }
    }

    // The frame follows each item's state.
    function watch(item) {
        item.enabledChanged.connect(function () { decor.frame.setEnabled(item, item.enabled) })
    }

    function build() {
        frame.startMenu()
        for (var i = 0; i < declared.length; ++i) {
            frame.pushItem()
            declare(declared[i].entries)
            frame.popItem(declared[i].title)
        }
        frame.closeMenu()
    }

    // Draws the attached bar again.
    function draw() {
        while (count > 0) {
            var old = takeMenu(0)
            old.destroy()
        }
        drawn = {}
        openMenus = 0
        var model = frame.menuModel
        for (var row = 0; row < model.rowCount(); ++row) {
            var at = model.index(row, 0)
            var menu = menuMaker.createObject(decor, { "title": model.data(at, WindowMenuModel.TitleRole) })
            fill(menu, at)
            addMenu(menu)
        }
    }

    function fill(menu, parentIndex) {
        var model = frame.menuModel
        for (var row = 0; row < model.rowCount(parentIndex); ++row) {
            var at = model.index(row, 0, parentIndex)
            var kind = model.data(at, WindowMenuModel.KindRole)
            if (kind === 2) {
                menu.addItem(separatorMaker.createObject(menu.contentItem))
            } else if (kind === 0) {
                var sub = menuMaker.createObject(menu, { "title": model.data(at, WindowMenuModel.TitleRole) })
                fill(sub, at)
                menu.addMenu(sub)
            } else {
                var id = model.data(at, WindowMenuModel.CommandIdRole)
                var item = itemMaker.createObject(menu.contentItem, {
                    "commandId": id,
                    "text": model.data(at, WindowMenuModel.TitleRole),
                    "shortcutText": model.data(at, WindowMenuModel.ShortcutRole),
                    "enabled": model.data(at, WindowMenuModel.EnabledRole)
                })
                menu.addItem(item)
                drawn[id] = item
            }
        }
    }

    // "Shift+Ctrl+Z,Ctrl+Y" are two shortcuts, "Ctrl+," one.
    function sequencesOf(text) {
        return text.split(/,(?!$)/)
    }

    Connections {
        target: decor.frame.menuModel
        function onModelReset() {
            decor.draw()
        }
        function onDataChanged(topLeft, bottomRight, roles) {
            var model = decor.frame.menuModel
            for (var row = topLeft.row; row <= bottomRight.row; ++row) {
                var at = model.index(row, 0, model.parent(topLeft))
                var item = decor.drawn[model.data(at, WindowMenuModel.CommandIdRole)]
                if (item)
                    item.enabled = model.data(at, WindowMenuModel.EnabledRole)
            }
        }
    }

    background: Rectangle {
        implicitHeight: 32
        color: StyleConstants.sortBar
        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: StyleConstants.footerLine
        }
    }

    delegate: MenuBarItem {
        id: barItem
        // The bar keeps its last item highlighted once its menu closes: it is drawn so
        // only while a menu is open.
        readonly property bool lit: highlighted && decor.openMenus > 0
        hoverEnabled: decor.openMenus > 0
        font.family: StyleConstants.fontRegular
        contentItem: Text {
            text: barItem.text
            font: barItem.font
            verticalAlignment: Text.AlignVCenter
            color: barItem.lit ? StyleConstants.mainTextHover : StyleConstants.mainText
        }
        background: Rectangle {
            color: barItem.lit ? StyleConstants.tertiaryButtonHover : "transparent"
        }
    }

    Component {
        id: menuMaker
        Menu {
            onOpened: decor.openMenus++
            onClosed: decor.openMenus = Math.max(0, decor.openMenus - 1)
            background: Rectangle {
                implicitWidth: 320
                color: StyleConstants.dialogBackground
                border.color: StyleConstants.dialogAccent
            }
        }
    }
    Component {
        id: separatorMaker
        MenuSeparator {
            // The menu's own background shows through, as between any two items.
            background: null
            contentItem: Rectangle {
                implicitHeight: 1
                color: StyleConstants.footerLine
            }
        }
    }
    Component {
        id: itemMaker
        MenuItem {
            id: menuItem
            property int commandId
            property string shortcutText
            objectName: "menuItem" + commandId
            onTriggered: decor.frame.triggerCommand(commandId)
            background: Rectangle {
                color: menuItem.highlighted && menuItem.enabled ? StyleConstants.tertiaryButtonHover : "transparent"
            }
            contentItem: RowLayout {
                spacing: 24
                Text {
                    Layout.fillWidth: true
                    leftPadding: menuItem.indicator && menuItem.checkable ? menuItem.indicator.width + menuItem.spacing : 0
                    text: menuItem.text
                    font: menuItem.font
                    color: menuItem.enabled ? StyleConstants.mainText : StyleConstants.disabledText
                }
                Text {
                    text: menuItem.shortcutText
                    font: menuItem.font
                    color: menuItem.enabled ? StyleConstants.dimText : StyleConstants.disabledText
                }
            }
        }
    }
    Component {
        id: shortcutMaker
        Shortcut {
            property QtObject item
            sequences: decor.sequencesOf(item.shortcut)
            enabled: item.enabled
            onActivated: item.triggered()
        }
    }

    Component.onCompleted: build()
}
