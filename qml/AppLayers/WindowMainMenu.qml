import QtQuick 2.15
import QtQuick.Controls 2.15

// The main window's menus; each item calls into the window (`shell`), which knows what the
// gallery and the editor can do right now.
WindowDecor {
    id: menus

    // The main window.
    required property var shell

    WindowMenu {
        title: qsTr("File")
        WindowMenuItem {
            text: qsTr("Open files...")
            shortcut: "Ctrl+O"
            onTriggered: menus.shell.chooseFiles()
        }
        WindowMenuItem {
            text: qsTr("Open folder...")
            shortcut: "Shift+Ctrl+O"
            onTriggered: menus.shell.chooseFolder()
        }
        WindowMenuItem {
            text: qsTr("Close all images")
            shortcut: "Ctrl+N"
            onTriggered: menus.shell.closeAll()
        }
        WindowMenuSeparator {}
        WindowMenuItem {
            text: qsTr("Save")
            shortcut: "Ctrl+S"
            enabled: menus.shell.editorCan("save")
            onTriggered: menus.shell.editorDo("save")
        }
        WindowMenuItem {
            text: qsTr("Export")
            shortcut: "Ctrl+X"
            enabled: menus.shell.isCanvasLoaded || menus.shell.isImagesSelected
            onTriggered: menus.shell.exportPictures()
        }
        WindowMenuItem {
            text: qsTr("Preferences")
            shortcut: "Ctrl+,"
            onTriggered: menus.shell.openPreferences()
        }
        WindowMenuItem {
            text: qsTr("Exit")
            shortcut: "Ctrl+Q"
            onTriggered: menus.shell.close()
        }
    }

    WindowMenu {
        title: qsTr("Edit")
        WindowMenuItem {
            text: qsTr("Select all images")
            shortcut: "Ctrl+A"
            enabled: !menus.shell.isCanvasLoaded && menus.shell.imageCount > 0
            onTriggered: menus.shell.selectAll()
        }
        WindowMenuItem {
            text: qsTr("Click to focus")
            shortcut: "f"
            viewKey: true
            enabled: menus.shell.editorCan("clickToFocus")
            onTriggered: menus.shell.editorDo("clickToFocus")
        }
        WindowMenuItem {
            text: qsTr("Toggle focal region")
            shortcut: "h"
            enabled: menus.shell.editorCan("toggleFocalRegion")
            onTriggered: menus.shell.editorDo("toggleFocalRegion")
        }
        WindowMenuItem {
            text: qsTr("Refine edge")
            shortcut: "e"
            viewKey: true
            enabled: menus.shell.editorCan("refineEdge")
            onTriggered: menus.shell.editorDo("refineEdge")
        }
        WindowMenuItem {
            text: qsTr("Blend area")
            shortcut: "b"
            viewKey: true
            enabled: menus.shell.editorCan("blendArea")
            onTriggered: menus.shell.editorDo("blendArea")
        }
        WindowMenuItem {
            text: qsTr("Match depth")
            shortcut: "m"
            enabled: menus.shell.editorCan("matchDepth")
            onTriggered: menus.shell.editorDo("matchDepth")
        }
        WindowMenuItem {
            text: qsTr("Undo depth edit")
            shortcut: "Ctrl+Z"
            viewKey: true
            enabled: menus.shell.editorCan("undoDepthEdit")
            onTriggered: menus.shell.editorDo("undoDepthEdit")
        }
        WindowMenuItem {
            text: qsTr("Redo depth edit")
            shortcut: "Shift+Ctrl+Z,Ctrl+Y"
            viewKey: true
            enabled: menus.shell.editorCan("redoDepthEdit")
            onTriggered: menus.shell.editorDo("redoDepthEdit")
        }
        WindowMenuItem {
            text: qsTr("Reset depth edits")
            shortcut: "Ctrl+R"
            enabled: menus.shell.editorCan("resetDepthEdits")
            onTriggered: menus.shell.editorDo("resetDepthEdits")
        }
        WindowMenuItem {
            text: qsTr("Reset image edits")
            shortcut: "Shift+R"
            enabled: menus.shell.editorCan("resetImageEdits")
            onTriggered: menus.shell.editorDo("resetImageEdits")
        }
        WindowMenuItem {
            text: qsTr("Revert to original")
            shortcut: "Ctrl+Shift+R"
            enabled: menus.shell.isCanvasLoaded ? menus.shell.editorCan("revertToOriginal")
                                                : menus.shell.isImagesSelected
            onTriggered: menus.shell.revertToOriginal()
        }
        WindowMenuItem {
            text: qsTr("Copy Adjustments")
            shortcut: "Ctrl+C"
            viewKey: true
            enabled: menus.shell.editorCan("copyAdjustments")
            onTriggered: menus.shell.editorDo("copyAdjustments")
        }
        WindowMenuItem {
            text: qsTr("Paste Adjustments...")
            shortcut: "Ctrl+V"
            viewKey: true
            enabled: menus.shell.canPaste
            onTriggered: menus.shell.pasteAdjustments()
        }
        WindowMenuItem {
            text: qsTr("Reset Adjustments...")
            enabled: menus.shell.editorCan("resetAdjustments")
            onTriggered: menus.shell.editorDo("resetAdjustments")
        }
    }

    WindowMenu {
        title: qsTr("View")
        WindowMenuItem {
            text: qsTr("Zoom out")
            shortcut: "Ctrl+-"
            enabled: menus.shell.editorCan("zoomOut")
            onTriggered: menus.shell.editorDo("zoomOut")
        }
        WindowMenuItem {
            text: qsTr("Zoom in")
            shortcut: "Ctrl+="
            enabled: menus.shell.editorCan("zoomIn")
            onTriggered: menus.shell.editorDo("zoomIn")
        }
        WindowMenuItem {
            text: qsTr("Minimum zoom")
            shortcut: "Shift+Ctrl+-"
            enabled: menus.shell.editorCan("zoomMinimum")
            onTriggered: menus.shell.editorDo("zoomMinimum")
        }
        WindowMenuItem {
            text: qsTr("Maximum zoom")
            shortcut: "Shift+Ctrl+="
            enabled: menus.shell.editorCan("zoomMaximum")
            onTriggered: menus.shell.editorDo("zoomMaximum")
        }
        WindowMenuItem {
            text: qsTr("Fit in window")
            shortcut: "Ctrl+0"
            enabled: menus.shell.editorCan("fitInWindow")
            onTriggered: menus.shell.editorDo("fitInWindow")
        }
        WindowMenuItem {
            text: qsTr("Center in window")
            shortcut: "Ctrl+\\"
            enabled: menus.shell.editorCan("centerInWindow")
            onTriggered: menus.shell.editorDo("centerInWindow")
        }
        WindowMenuItem {
            text: qsTr("Toggle EXIF info")
            shortcut: "Ctrl+I"
            enabled: menus.shell.editorCan("toggleExif")
            onTriggered: menus.shell.editorDo("toggleExif")
        }
        WindowMenuItem {
            text: qsTr("Toggle filmstrip")
            shortcut: "Ctrl+F"
            enabled: menus.shell.editorCan("toggleFilmstrip")
            onTriggered: menus.shell.editorDo("toggleFilmstrip")
        }
    }

    WindowMenu {
        title: qsTr("Help")
        WindowMenuItem {
            text: qsTr("Quelt Support")
            shortcut: "Ctrl+F1"
            onTriggered: Qt.openUrlExternally(menus.shell.supportUrl)
        }
        WindowMenuItem {
            text: qsTr("View License Agreement")
            shortcut: "Ctrl+Alt+L"
            onTriggered: menus.shell.showLicense()
        }
        WindowMenuItem {
            text: qsTr("View Privacy Policy")
            shortcut: "Ctrl+Alt+P"
            onTriggered: menus.shell.showPrivacy()
        }
        WindowMenuItem {
            text: qsTr("Send Feedback")
            shortcut: "Ctrl+Alt+F"
            onTriggered: menus.shell.openReport()
        }
        WindowMenuItem {
            role: "about"
            shortcut: "Shift+F1"
            onTriggered: menus.shell.openAbout()
        }
        WindowMenuItem {
            text: qsTr("Check for updates")
            shortcut: "Ctrl+Shift+F5"
            onTriggered: menus.shell.checkForUpdates()
        }
    }
}
