pragma Singleton
import QtQuick 2.15

// Short messages that stack up and fade away by themselves; a NotificationsView shows them.
// show(text) adds one at the bottom of the stack; the oldest goes first when too many wait.
QtObject {
    id: manager

    // How long a message stays, and how many are shown at once.
    property int lifetimeMs: 4000
    property int maxCount: 4
    // The messages shown, oldest first: {serial, text}.
    readonly property ListModel notifications: ListModel {}
    readonly property int count: notifications.count
    // The last message shown, for those who only want one line.
    readonly property string lastText: notifications.count > 0 ? notifications.get(notifications.count - 1).text : ""

    property int serial: 0

    function show(text) {
        if (text === undefined || text === null || String(text) === "")
            return
        while (notifications.count >= Math.max(1, maxCount))
            notifications.remove(0)
        serial += 1
        notifications.append({ "serial": serial, "text": String(text), "born": Date.now() })
        ticker.start()
    }

    // Removes the message of this serial, if it is still shown.
    function dismiss(serialNumber) {
        for (var i = 0; i < notifications.count; ++i) {
            if (notifications.get(i).serial === serialNumber) {
                notifications.remove(i)
                return
            }
        }
    }

    function clear() {
        notifications.clear()
    }

    readonly property Timer ticker: Timer {
        interval: 200
        repeat: true
        onTriggered: {
            var now = Date.now()
            while (manager.notifications.count > 0 && now - manager.notifications.get(0).born >= manager.lifetimeMs)
                manager.notifications.remove(0)
            if (manager.notifications.count === 0)
                stop()
        }
    }
}
