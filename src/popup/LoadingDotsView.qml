import QtQuick

// Three dots; the highlighted one walks 0, 1, 2, 0, ... every 0.4 s.
Row {
    id: dots
    required property CardTheme theme
    property int phase: 0

    spacing: 6

    Repeater {
        model: 3
        Rectangle {
            required property int index
            readonly property bool current: index === dots.phase
            width: 7
            height: 7
            radius: 3.5
            color: dots.theme.primary
            opacity: current ? 1.0 : 0.3
            scale: current ? 1.2 : 1.0
            Behavior on opacity { NumberAnimation { duration: 300; easing.type: Easing.InOutQuad } }
            Behavior on scale { NumberAnimation { duration: 300; easing.type: Easing.InOutQuad } }
        }
    }

    Timer {
        interval: 400
        repeat: true
        running: dots.visible
        onTriggered: dots.phase = (dots.phase + 1) % 3
    }
}
