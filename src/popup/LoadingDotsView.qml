import QtQuick
import "../ui"

// Three dots; the highlighted one walks 0, 1, 2, 0, ... every 0.4 s.
Row {
    id: dots
    required property CardTheme theme
    property int phase: 0

    spacing: 6

    Repeater {
        model: 3
        // A 7 x 7 frame; the current dot grows to 1.2 times its size about the centre. The size is animated
        // rather than the scale, which the software renderer draws poorly for tiny circles.
        Item {
            id: slot
            required property int index
            readonly property bool current: index === dots.phase
            width: 7
            height: 7

            Rectangle {
                anchors.centerIn: parent
                width: slot.current ? 8.4 : 7
                height: width
                radius: width / 2
                antialiasing: true
                color: dots.theme.primary
                opacity: slot.current ? 1.0 : 0.3
                Behavior on opacity { NumberAnimation { duration: 300; easing.type: Easing.InOutQuad } }
                Behavior on width { NumberAnimation { duration: 300; easing.type: Easing.InOutQuad } }
            }
        }
    }

    Timer {
        interval: 400
        repeat: true
        running: dots.visible
        onTriggered: dots.phase = (dots.phase + 1) % 3
    }
}
